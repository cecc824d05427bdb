// The process state the server core's tests start from: a data root of their own, fresh
// paths, settings and command-line flags, and on request the runtime of one variable with
// the namespace builder, as start-up leaves them. TearDown ends every server object.
#pragma once
#include <gtest/gtest.h>

#include <memory>

#include "common/config/app_paths.h"
#include "common/link/data_server.h"
#include "common/settings/sys_config.h"
#include "server/core/command_line.h"
#include "server/namespace/name_space.h"
#include "server/opcda/da2.h"
#include "server/runtime/zel_main.h"
#include "tests/common/test_env.h"

class TServerProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetAppPathsForTest();
    InitAppPaths();
    TSysOP = TSysOPRecord{};
    ResetCommandLineFlags();
  }
  void TearDown() override {
    KillOPCServers();
    g_PInitServer = nullptr;
    gp_Main.reset();
    g_DataServerMgr.reset();
    ResetCommandLineFlags();
    ResetAppPathsForTest();
  }
  // Project "Pump" with the variable "Flow".
  static void MakeRuntime() {
    g_DataServerMgr = std::make_unique<TDataServerMgr>();
    gp_Main = std::make_unique<TZelMain>();
    auto p = gp_Main->NewPrj();
    p->DispName = "Pump";
    p->Vars = {{"Flow", "", 3, 0}};
    gp_Main->Prjs.push_back(std::move(p));
    gp_Main->BuildRuntime();
    g_PInitServer = InitServerFromMain;
  }
  TTempDir dir_;
  TScopedEnv root_{"ZELOPC_DATA_ROOT", dir_.path()};
};
