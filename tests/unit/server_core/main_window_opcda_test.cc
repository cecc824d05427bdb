// The main window's timers against live OPC DA server objects made in-process through
// the server class, with the program's namespace builder over gp_Main.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "com/com.h"
#include "common/config/app_paths.h"
#include "common/link/data_server.h"
#include "common/settings/sys_config.h"
#include "server/core/command_line.h"
#include "server/core/main_window.h"
#include "server/core/opc_registration.h"
#include "common/helpers/file_helpers.h"
#include "common/platform/paths.h"
#include "server/opcda/type_library.h"
#include "server/namespace/name_space.h"
#include "server/opcda/da2.h"
#include "server/runtime/zel_main.h"
#include "tests/unit/server_core/server_process_fixture.h"

namespace {

struct TFakeShell : TMainShell {
  std::vector<std::string> daLabels;
  bool quit = false;
  void SetMessageLabel(const std::string&) override {}
  void SetStatusText(const std::string&) override {}
  void SetClientLabel(bool ua, const std::string& t) override {
    if (!ua) daLabels.push_back(t);
  }
  void EnableSecondTimer(bool) override {}
  void HideToTray() override {}
  void Quit() override { quit = true; }
};

int g_scans = 0;
void CountScan(TValueProxy*) { ++g_scans; }

class MainWindowOpcDaTest : public TServerProcessTest {
 protected:
  void SetUp() override {
    TServerProcessTest::SetUp();
    MakeRuntime();
    g_TimersBlocked = true;
    g_scans = 0;
  }
  // A server object as a connecting client gets it; its variable counts scans.
  static TNxBaseOPCServer* Connect() {
    TNxBaseOPCServer* s = TNxBaseOPCServer::Create();
    for (auto& [key, proxy] : s->AllItems)
      if (proxy->Tag == gp_Main->SPrj(0).Vars[0].get()) proxy->pScan = CountScan;
    return s;
  }
};

}  // namespace

TEST_F(MainWindowOpcDaTest, ScanTickScansEveryServerObjectOnceTimersRun) {
  TFakeShell shell;
  TMainWindow w(*gp_Main, shell);
  TNxBaseOPCServer* a = Connect();
  TNxBaseOPCServer* b = Connect();
  w.ScanTick();  // still blocked: the window is not created yet
  EXPECT_EQ(g_scans, 0);
  w.Create();
  w.ScanTick();
  EXPECT_EQ(g_scans, 2);  // the namespace was built, and both objects were scanned
  b->Release();
  w.ScanTick();
  EXPECT_EQ(g_scans, 3);
  a->Release();
  w.ScanTick();
  EXPECT_EQ(g_scans, 3);
}

TEST_F(MainWindowOpcDaTest, ClientCountFollowsServerObjectsAndKeepsProcessWhileOneLives) {
  TFakeShell shell;
  TMainWindow w(*gp_Main, shell);
  w.Create();
  w.Lang.ClientConn = "clients";
  TNxBaseOPCServer* s = nullptr;
  // Each step: connect or disconnect one client, then one 500 ms tick.
  struct Step {
    int delta;
    const char* label;  // the OPC DA label after the tick; nullptr when unchanged
    bool closes;
  } steps[] = {
      {+1, "OPCDA:1 clients", false},  // a change: never closes on this tick
      {0, nullptr, false},             // a live object keeps the process
      {0, nullptr, false},
      {-1, "OPCDA:0 clients", false},  // the change itself does not close yet
      {0, nullptr, true},              // no client, no OPC UA, no "-K": close
  };
  for (const Step& st : steps) {
    if (st.delta > 0) s = Connect();
    if (st.delta < 0) s->Release();
    const size_t before = shell.daLabels.size();
    w.ClientCountTick();
    if (st.label) {
      ASSERT_EQ(shell.daLabels.size(), before + 1) << st.label;
      EXPECT_EQ(shell.daLabels.back(), st.label);
    } else {
      EXPECT_EQ(shell.daLabels.size(), before);
    }
    EXPECT_EQ(shell.quit, st.closes) << (st.label ? st.label : "");
    EXPECT_EQ(w.LastDaCount, GetServersCount());
  }
}

TEST_F(MainWindowOpcDaTest, KillOPCServersEndsLiveObjectsAndTheCount) {
  TFakeShell shell;
  TMainWindow w(*gp_Main, shell);
  w.Create();
  Connect();
  Connect();
  EXPECT_EQ(GetServersCount(), 2);
  KillOPCServers();  // the program end, with clients still holding references
  EXPECT_EQ(GetServersCount(), 0);
  w.ScanTick();
  EXPECT_EQ(g_scans, 0);
}

// The process's end with its clients: started by COM ("-EMBEDDING") it ends when the last
// server object and group are released, through the main loop (the window is destroyed,
// saving the login cache); with "-K" it keeps running and serving; started for other
// reasons without "-K" the automatic close ends it one client-count tick after the count
// reached zero.
TEST_F(MainWindowOpcDaTest, LifetimeWithTheLastClientPerStartMode) {
  const struct {
    const char* what;
    TComStartMode mode;
    bool embedding, keepRunning;
    bool endsByLastRelease, endsByTick;
  } cases[] = {
      {"-EMBEDDING", TComStartMode::Embedding, true, false, true, false},
      {"-K", TComStartMode::Normal, true, true, false, false},
      {"neither", TComStartMode::Normal, false, false, false, true},
  };
  for (const auto& c : cases) {
    ResetCommandLineFlags();
    g_Embedding = c.embedding;
    g_KeepRunning = c.keepRunning;
    std::remove(g_RegCacheFileName.c_str());
    TFakeShell shell;
    TMainWindow w(*gp_Main, shell);
    w.Create();
    std::vector<std::function<void()>> posted;
    TOpcComServer com(c.mode, [&] { posted.push_back([&w] { w.Destroy(); }); });
    const auto runPosted = [&] {
      for (auto& task : posted) task();
      posted.clear();
    };

    IOPCServer* server = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_ZELOPC, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                               reinterpret_cast<void**>(&server)),
              S_OK) << c.what;
    OPCHANDLE h = 0;
    DWORD rate = 0;
    IUnknown* group = nullptr;
    ASSERT_EQ(server->AddGroup(u"G", TRUE, 1000, 1, nullptr, nullptr, 0, &h, &rate, IID_IUnknown, &group), S_OK);
    w.ClientCountTick();
    EXPECT_EQ(shell.daLabels.back(), "OPCDA:有1个客户端连接") << c.what;

    server->Release();  // the client count drops; its group still holds the process
    runPosted();
    w.ClientCountTick();
    EXPECT_EQ(shell.daLabels.back(), "OPCDA:有0个客户端连接") << c.what;
    EXPECT_FALSE(shell.quit) << c.what;

    group->Release();
    runPosted();
    EXPECT_EQ(shell.quit, c.endsByLastRelease) << c.what;
    EXPECT_EQ(FileExists(g_RegCacheFileName), c.endsByLastRelease) << c.what;
    if (!c.endsByLastRelease) {
      w.ClientCountTick();
      EXPECT_EQ(shell.quit, c.endsByTick) << c.what;
    }
    if (shell.quit) continue;
    // Still running: the next client is served and counted.
    ASSERT_EQ(CoCreateInstance(CLSID_ZELOPC, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                               reinterpret_cast<void**>(&server)),
              S_OK) << c.what;
    w.ClientCountTick();
    EXPECT_EQ(shell.daLabels.back(), "OPCDA:有1个客户端连接") << c.what;
    server->Release();
    runPosted();
    EXPECT_FALSE(shell.quit) << c.what;
  }
}
