// The main object's tick and the main window's timers, driven with a test clock.
#include <gtest/gtest.h>

#include "common/config/app_paths.h"
#include "common/link/data_server.h"
#include "common/log/link_texts.h"
#include "common/platform/clock.h"
#include "common/platform/paths.h"
#include "common/settings/sys_config.h"
#include "server/core/command_line.h"
#include "server/core/main_window.h"
#include "server/runtime/zel_main.h"
#include "tests/common/test_env.h"

namespace {
int64_t g_now = 1000000000;
int64_t TestNow() { return g_now; }

struct TFakeShell : TMainShell {
  std::vector<std::string> labels;
  bool secondTimer = false, quit = false;
  int hidden = 0;
  void SetMessageLabel(const std::string& t) override { labels.push_back(t); }
  void SetStatusText(const std::string& t) override { labels.push_back("status:" + t); }
  void SetClientLabel(bool ua, const std::string& t) override { labels.push_back((ua ? "ua:" : "da:") + t); }
  void EnableSecondTimer(bool on) override { secondTimer = on; }
  void HideToTray() override { ++hidden; }
  void Quit() override { quit = true; }
};

class MainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetNowSource(TestNow);
    SetSteadySource(TestNow);
    ResetAppPathsForTest();
    InitAppPaths();
    TSysOP = TSysOPRecord{};
    TSysOP.RetryAttempts = 1;
    g_DataServerMgr = std::make_unique<TDataServerMgr>();
    ResetCommandLineFlags();
  }
  void TearDown() override {
    g_DataServerMgr.reset();
    ResetAppPathsForTest();
    SetNowSource(nullptr);
    SetSteadySource(nullptr);
    ResetCommandLineFlags();
  }
  TTempDir dir_;
  TScopedEnv root_{"ZELOPC_DATA_ROOT", dir_.path()};
};
}  // namespace

TEST_F(MainTest, LoginRetryEvery20Seconds) {
  TZelMain main;
  auto p = main.NewPrj();
  p->Name = "1001";
  p->DispName = "Pump";
  p->CustServer = "http://127.0.0.1:1";  // refused at once
  main.Prjs.push_back(std::move(p));
  main.BuildRuntime();
  TOpcPrj& prj = *main.Prjs[0];

  main.RunTick(g_now);  // first tick: login fails, the project enters RetryList
  ASSERT_EQ(main.RetryList.size(), 1u);
  EXPECT_EQ(prj.NetState, ncsError);
  EXPECT_EQ(prj.ErrCode, nceNetwork);
  EXPECT_EQ(prj.HttpCode, -12029);
  EXPECT_EQ(prj.LinkMode, lmRun);
  const int64_t entered = g_now;

  struct Step {
    int64_t at;
    bool retried;
  } steps[] = {{10, false}, {19999, false}, {20010, true}, {20020, false}, {40019, false}, {40020, true}};
  for (const Step& s : steps) {
    g_now = entered + s.at;
    const int64_t before = prj.LastError;
    main.RunTick(g_now);
    EXPECT_EQ(prj.LastError != before, s.retried) << s.at;
    EXPECT_EQ(main.RetryList.size(), 1u);
  }
}

TEST_F(MainTest, ClientTextAndAutomaticClose) {
  TZelMain main;
  TFakeShell shell;
  TMainWindow w(main, shell);
  w.Create();
  w.Lang.ClientConn = "clients";
  w.ClientCountTick();  // first count: a change, so no close yet
  EXPECT_EQ(shell.labels.back(), "da:OPCDA:0 clients");
  EXPECT_FALSE(shell.quit);
  g_KeepRunning = true;
  w.ClientCountTick();
  EXPECT_FALSE(shell.quit);
  g_KeepRunning = false;
  w.ClientCountTick();
  EXPECT_TRUE(shell.quit);
}

TEST_F(MainTest, TimedCloseCountsDownSavesAndCloses) {
  TZelMain main;
  TFakeShell shell;
  TMainWindow w(main, shell);
  w.Create();
  w.ScheduleClose(10);
  EXPECT_TRUE(shell.secondTimer);
  EXPECT_EQ(shell.labels.back(), "(IO变量配置已修改,程序将在10秒钟后关闭)");
  for (int i = 0; i < 5; ++i) w.SecondTick();
  EXPECT_EQ(shell.labels.back(), "(IO变量配置已修改,程序将在5秒钟后关闭)");
  w.ScheduleClose(10);  // a second timed close starts the countdown again
  for (int i = 0; i < 9; ++i) w.SecondTick();
  EXPECT_FALSE(shell.quit);
  EXPECT_FALSE(FileExists(g_PrjFileName));
  w.SecondTick();
  EXPECT_EQ(shell.labels.back(), "(正在保存IO变量...)");
  EXPECT_TRUE(FileExists(g_PrjFileName));  // saved, then closed
  EXPECT_TRUE(FileExists(g_RegCacheFileName));
  EXPECT_TRUE(shell.quit);
}

TEST_F(MainTest, CloseModesAndPassword) {
  TZelMain main;
  struct Case {
    int mode;
    const char* pass;
    bool closes;
  } cases[] = {{0, "", false}, {1, "", true}, {1, "1234", false}, {2, "1234", true}};
  for (const Case& c : cases) {
    TFakeShell shell;
    TMainWindow w(main, shell);
    w.Create();
    TSysOP.ClosePass = c.pass;
    w.RequestClose(c.mode);  // headless: the password question answers "cancel"
    EXPECT_EQ(shell.quit, c.closes) << c.mode << "/" << c.pass;
    EXPECT_EQ(shell.hidden, c.closes ? 0 : 1);
    if (!c.closes) {
      EXPECT_EQ(w.CloseMode, 0);
    }
  }
}

TEST_F(MainTest, ExceptionIsLoggedToErrorLogAndClosesIn20s) {
  TZelMain main;
  TFakeShell shell;
  TMainWindow w(main, shell);
  w.Create();
  try {
    throw std::runtime_error("boom");
  } catch (const std::exception& e) {
    w.OnException(e.what());
  }
  std::string log;
  ASSERT_TRUE(ReadFileBytes(g_DataDir + "/ErrorLog.txt", log));
  EXPECT_NE(log.find("]:\nboom\n"), std::string::npos) << log;
  EXPECT_NE(log.find("runtime_test+0x"), std::string::npos) << log;  // the throw's stack
  EXPECT_EQ(w.Countdown, 20);
}
