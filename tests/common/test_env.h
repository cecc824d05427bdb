// Small helpers for tests: a fresh temporary folder that is removed afterwards, and a
// scoped environment variable.
#pragma once
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

class TTempDir {
 public:
  TTempDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "zeltest.XXXXXX").string();
    path_ = mkdtemp(templ.data()) ? templ : std::string();
  }
  ~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  void Write(const std::string& name, const std::string& bytes) const {
    std::filesystem::create_directories(std::filesystem::path(path_ + "/" + name).parent_path());
    std::ofstream(path_ + "/" + name, std::ios::binary) << bytes;
  }

 private:
  std::string path_;
};

class TScopedEnv {
 public:
  TScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old, had_ = true;
    setenv(name, value.c_str(), 1);
  }
  ~TScopedEnv() {
    if (had_) setenv(name_.c_str(), old_.c_str(), 1);
    else unsetenv(name_.c_str());
  }
  TScopedEnv(const TScopedEnv&) = delete;
  TScopedEnv& operator=(const TScopedEnv&) = delete;

 private:
  std::string name_, old_;
  bool had_ = false;
};
