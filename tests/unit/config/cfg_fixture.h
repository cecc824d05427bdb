// Shared fixture of the configuration tests: a temporary data root, a concrete
// configuration class and message boxes that record what they were asked to show.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "common/config/cfg_file.h"
#include "common/helpers/message_boxes.h"
#include "common/settings/sys_config.h"

class TTestCfg : public TOpcCfgFile {
 public:
  std::unique_ptr<TOpcPrj> NewPrj() override { return std::make_unique<TOpcPrj>(); }
};

class TRecordingBoxes : public TMessageBoxes {
 public:
  std::vector<std::string>* errors;
  explicit TRecordingBoxes(std::vector<std::string>* e) : errors(e) {}
  void Info(const std::string&, const std::string&) override {}
  void Error(const std::string& text, const std::string&) override { errors->push_back(text); }
  bool AskText(const std::string&, const std::string&, std::string&) override { return false; }
  bool AskYesNo(const std::string&, const std::string&) override { return false; }
};

class CfgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("zel_cfg_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    ::setenv("ZELOPC_DATA_ROOT", dir_.c_str(), 1);
    old_ = SetMessageBoxes(std::make_unique<TRecordingBoxes>(&errors_));
    TSysOP = TSysOPRecord{};
  }
  void TearDown() override {
    SetMessageBoxes(std::move(old_));
    std::filesystem::remove_all(dir_);
    TSysOP = TSysOPRecord{};
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  std::filesystem::path dir_;
  std::vector<std::string> errors_;
  std::unique_ptr<TMessageBoxes> old_;
};
