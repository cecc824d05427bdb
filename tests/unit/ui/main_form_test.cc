// The desktop main window on the offscreen platform: its close rules (close box, menu
// exit with the exit password, Ctrl, message 1034), the texts it shows, and the menus
// and status bar that depend on the OPC UA server.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMenuBar>
#include <QTimer>
#include <thread>

#include "common/config/app_paths.h"
#include "common/helpers/message_boxes.h"
#include "common/platform/paths.h"
#include "common/platform/window_channel.h"
#include "common/settings/sys_config.h"
#include "server/core/command_line.h"
#include "server/runtime/zel_main.h"
#include "server/ui/qt_shell.h"
#include "tests/common/test_env.h"
#include "tests/unit/ui/offscreen_app.h"

namespace {
// Answers the exit-password question from a script and records what was shown.
struct TScriptedBoxes : TMessageBoxes {
  bool confirm = false;
  std::string answer;
  int asked = 0;
  std::vector<std::string> errors;
  void Info(const std::string&, const std::string&) override {}
  void Error(const std::string& text, const std::string&) override { errors.push_back(text); }
  bool AskText(const std::string& prompt, const std::string& caption, std::string& value) override {
    ++asked;
    if (whileAsking) whileAsking();
    EXPECT_EQ(prompt, "请输入退出密码");
    EXPECT_EQ(caption, "询问");
    value = answer;
    return confirm;
  }
  bool AskYesNo(const std::string&, const std::string&) override { return false; }
  std::function<void()> whileAsking;  // what happens while the dialog is open
};

struct TFakeUa : TUaServerHost {
  bool Start() override { return true; }
  void RunStep() override {}
  int ClientCount() override { return clients; }
  int Port() const override { return 48400; }
  int clients = 0;
};

// A main window with its shell and logic, created and with its timers started.
struct TRunningForm {
  explicit TRunningForm(TZelMain& main) : shell(form, main), w(main, shell) {
    form.TrayProbe = [] { return true; };  // the offscreen platform has no notification area
    w.Create();
    shell.Start(w);
  }
  TfrmOpcServer3Main form;
  TQtShell shell;
  TMainWindow w;
};

class MainFormTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { EnsureOffscreenApp(); }
  void SetUp() override {
    ResetAppPathsForTest();
    InitAppPaths();
    TSysOP = TSysOPRecord{};
    ResetCommandLineFlags();
    g_KeepRunning = true;  // no automatic close while a case runs
    auto owned = std::make_unique<TScriptedBoxes>();
    boxes = owned.get();
    previous_ = SetMessageBoxes(std::move(owned));
  }
  void TearDown() override {
    SetMessageBoxes(std::move(previous_));
    ResetAppPathsForTest();
    ResetCommandLineFlags();
  }
  // Runs the event loop until `done` holds (bounded, so a fault fails instead of hanging).
  static bool ProcessUntil(const std::function<bool()>& done) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < 20000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
  }

  TTempDir dir_;
  TScopedEnv root_{"ZELOPC_DATA_ROOT", dir_.path()};
  TScopedEnv runtime_{"XDG_RUNTIME_DIR", dir_.path()};
  TScriptedBoxes* boxes = nullptr;
  std::unique_ptr<TMessageBoxes> previous_;
  TZelMain main_;
};
}  // namespace

TEST_F(MainFormTest, CloseBoxHidesToTrayAndKeepsRunning) {
  TRunningForm r(main_);
  auto& [form, shell, w] = r;
  form.show();
  EXPECT_FALSE(form.close());
  EXPECT_FALSE(form.isVisible());
  EXPECT_TRUE(form.Tray->isVisible());
  EXPECT_FALSE(w.Closed);
  EXPECT_EQ(boxes->asked, 0);
  // A tray click brings the window back and takes the icon away.
  emit form.Tray->activated(QSystemTrayIcon::Trigger);
  EXPECT_TRUE(form.isVisible());
  EXPECT_FALSE(form.Tray->isVisible());
}

TEST_F(MainFormTest, MenuExitAsksForThePasswordUnlessCtrlIsHeld) {
  struct Case {
    const char* pass;
    bool confirm;
    const char* answer;
    bool ctrl;
    bool closes;
    int asked;
  } cases[] = {
      {"", false, "", false, true, 0},              // no password set
      {"1234", true, "1234", false, true, 1},       // right password
      {"1234", true, "12345", false, false, 1},     // wrong password
      {"1234", true, "1234 ", false, false, 1},     // exact comparison
      {"1234", false, "1234", false, false, 1},     // cancelled
      {"1234", false, "", true, true, 0},           // Ctrl held: no question
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.pass) + "/" + c.answer + (c.ctrl ? "/ctrl" : ""));
    boxes->asked = 0;
    boxes->errors.clear();
    boxes->confirm = c.confirm;
    boxes->answer = c.answer;
    TSysOP.ClosePass = c.pass;
    TfrmOpcServer3Main form;
    form.TrayProbe = [] { return true; };
    TQtShell shell(form, main_);
    shell.CtrlProbe = [&] { return c.ctrl; };
    TMainWindow w(main_, shell);
    w.Create(std::make_unique<TFakeUa>());
    form.ApplyCreate(w.Lang, true);
    shell.Start(w);
    form.show();
    QAction* exit = form.menuBar()->actions().at(0)->menu()->actions().at(0);
    EXPECT_EQ(exit->text().toStdString(), "退出程序(&x)");
    exit->trigger();
    EXPECT_EQ(w.Closed, c.closes);
    EXPECT_EQ(shell.Quitting(), c.closes);
    EXPECT_EQ(boxes->asked, c.asked);
    EXPECT_EQ(form.isVisible(), false);  // closed, or hidden to the tray
    if (c.closes) {
      EXPECT_TRUE(boxes->errors.empty());
    } else {
      EXPECT_EQ(boxes->errors, std::vector<std::string>{"密码错误!"});
      EXPECT_EQ(w.CloseMode, 0);
      EXPECT_TRUE(form.Tray->isVisible());
    }
  }
}

TEST_F(MainFormTest, CtrlOnTheCloseBoxExits) {
  TRunningForm r(main_);
  auto& [form, shell, w] = r;
  shell.CtrlProbe = [] { return true; };
  TSysOP.ClosePass = "1234";
  form.show();
  EXPECT_TRUE(form.close());
  EXPECT_TRUE(w.Closed);
  EXPECT_EQ(boxes->asked, 0);
}

TEST_F(MainFormTest, Message1034ClosesWithoutAQuestion) {
  TSysOP.ClosePass = "1234";
  TRunningForm r(main_);
  auto& [form, shell, w] = r;
  std::atomic<bool> sent{false}, answered{false};
  std::thread t([&] {
    answered = SendWindowMessage(kMainWindowClass, kMainWindowCaption, kMsgCloseServer);
    sent = true;
  });
  EXPECT_TRUE(ProcessUntil([&] { return sent.load(); }));
  t.join();
  EXPECT_TRUE(answered);
  EXPECT_TRUE(w.Closed);
  EXPECT_EQ(boxes->asked, 0);
}

TEST_F(MainFormTest, StatusAndWindowRequestsAreAnsweredWhileTheWindowRuns) {
  TRunningForm r(main_);
  auto& [form, shell, w] = r;
  w.ClientCountTick();
  form.lbMessage->setText("line one\nline two");
  form.HideToTray();
  for (const char* request : {"status", "window"}) {
    SCOPED_TRACE(request);
    std::atomic<bool> done{false}, ok{false};
    std::vector<std::string> lines;
    std::thread t([&] {
      ok = WindowRequest(kMainWindowClass, kMainWindowCaption, request, lines);
      done = true;
    });
    EXPECT_TRUE(ProcessUntil([&] { return done.load(); }));
    t.join();
    EXPECT_TRUE(ok);
    if (std::string(request) == "window") {
      const std::vector<std::string> want = {"state\ttray", "message\tline one line two",
                                             "opcda\tOPCDA:有0个客户端连接", "opcua\t", "status\t"};
      EXPECT_EQ(lines, want);
    }
  }
  EXPECT_FALSE(w.Closed);
}

// The tray: hiding starts the icon's animation; a click or a double click brings the
// window back and takes the icon away, other activations leave it in the tray. Without
// a notification area the window minimises instead of hiding for good.
TEST_F(MainFormTest, TrayActivationsAndTheDesktopWithoutTray) {
  TRunningForm r(main_);
  auto& form = r.form;
  struct Case {
    QSystemTrayIcon::ActivationReason reason;
    bool shows;
  } cases[] = {{QSystemTrayIcon::Trigger, true},
               {QSystemTrayIcon::DoubleClick, true},
               {QSystemTrayIcon::Context, false},
               {QSystemTrayIcon::MiddleClick, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.reason));
    form.show();
    form.HideToTray();
    EXPECT_TRUE(form.isHidden());
    EXPECT_TRUE(form.Tray->isVisible());
    EXPECT_TRUE(form.TrayAnimating());
    emit form.Tray->activated(c.reason);
    EXPECT_EQ(form.isVisible(), c.shows);
    EXPECT_EQ(form.Tray->isVisible(), !c.shows);
    EXPECT_EQ(form.TrayAnimating(), !c.shows);
    EXPECT_EQ(form.View().State, c.shows ? "shown" : "tray");
  }

  form.TrayProbe = [] { return false; };
  form.show();
  form.HideToTray();
  EXPECT_FALSE(form.isHidden());
  EXPECT_TRUE(form.isMinimized());
  EXPECT_FALSE(form.Tray->isVisible());
  EXPECT_FALSE(form.TrayAnimating());
  EXPECT_EQ(form.View().State, "minimized");
}

// The icon's frames: drawn (not blank), each different, repeating after the last; the
// animation's tick steps through them and puts each on the tray icon.
TEST_F(MainFormTest, TrayIconFramesCycle) {
  std::vector<QImage> frames;
  for (int i = 0; i < kTrayFrames; ++i) {
    const QImage img = TrayIconFrame(i).toImage();
    EXPECT_EQ(img.size(), QSize(32, 32));
    EXPECT_NE(qAlpha(img.pixel(16, 16)), 0) << i;  // the badge covers the middle
    EXPECT_EQ(qAlpha(img.pixel(0, 0)), 0) << i;    // rounded corners stay clear
    for (const QImage& before : frames) EXPECT_NE(img, before) << i;
    frames.push_back(img);
  }
  EXPECT_EQ(TrayIconFrame(kTrayFrames).toImage(), frames[0]);
  TfrmOpcServer3Main form;
  std::vector<int> seen;
  for (int i = 0; i < kTrayFrames + 1; ++i) {
    form.NextTrayFrame();
    seen.push_back(form.TrayFrameIndex());
    EXPECT_EQ(form.Tray->icon().pixmap(32, 32).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied),
              frames[size_t(seen.back())].convertToFormat(QImage::Format_ARGB32_Premultiplied));
  }
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 0, 1}));
}

// An exception that escapes a window event (here a timer's) takes the window's path
// (its log line is the runtime's test): an entry in ErrorLog.txt, the 20 s timed close
// and an error box.
TEST_F(MainFormTest, ExceptionInAWindowEventStartsTheTimedClose) {
  TRunningForm r(main_);
  auto& [form, shell, w] = r;
  QTimer::singleShot(0, &form, [] { throw std::runtime_error("broken handler"); });
  EXPECT_TRUE(ProcessUntil([&] { return !boxes->errors.empty(); }));
  ASSERT_EQ(boxes->errors.size(), 1u);
  EXPECT_EQ(boxes->errors[0], "broken handler");
  std::string text;
  ASSERT_TRUE(ReadFileBytes(g_DataDir + "/ErrorLog.txt", text));
  EXPECT_NE(text.find("broken handler"), std::string::npos);
  EXPECT_EQ(w.Countdown, 20);
  EXPECT_NE(form.lbMessage->text().toStdString().find("20"), std::string::npos);
  EXPECT_FALSE(w.Closed);
}

TEST_F(MainFormTest, TextsFollowUiInfoAndTheOpcUaServer) {
  g_AppDir = dir_.path();  // the texts are read from beside the program
  WriteFileAtomic(g_AppDir + "/uiinfo.ini",
                  "[Lang]\nCompName=某某自动化公司\nViewServerState=设备状态\nClientConn=clients\n");
  struct Case {
    bool ua;
    bool user;
    const char* status;
  } cases[] = {{false, false, ""}, {true, false, "OPCUA端口:48400"}, {true, true, "OPCUA端口:48400(User/Pass)"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    TfrmOpcServer3Main form;
    TQtShell shell(form, main_);
    TMainWindow w(main_, shell);
    auto ua = std::make_unique<TFakeUa>();
    ua->clients = 2;
    w.Create(c.ua ? std::move(ua) : nullptr, c.user);
    form.ApplyCreate(w.Lang, c.ua);
    w.ClientCountTick();
    EXPECT_EQ(form.lbCompany->text().toStdString(), "某某自动化公司");
    EXPECT_EQ(form.btnStatus->text().toStdString(), "设备状态");
    EXPECT_EQ(form.lbOpcDa->text().toStdString(), "OPCDA:0 clients");
    EXPECT_EQ(form.lbOpcUa->text().toStdString(), c.ua ? "OPCUA:2 clients" : "");
    EXPECT_EQ(form.sbPanel0->text().toStdString(), c.status);
    // The menu and the tray's pop-up menu belong to a server with OPC UA.
    EXPECT_EQ(!form.menuBar()->isHidden(), c.ua);
    EXPECT_EQ(form.Tray->contextMenu() != nullptr, c.ua);
    EXPECT_EQ(form.windowTitle().toStdString(), "$ZEL_OPC_SERVER3$");
  }
}

TEST_F(MainFormTest, CloseDuringThePasswordQuestionStands) {
  // The timers run while the dialog is open; a close they make (message 1034, the
  // countdown) is not undone by the dialog's answer.
  TSysOP.ClosePass = "1234";
  TRunningForm r(main_);
  auto& [form, shell, w] = r;
  boxes->whileAsking = [&] { w.RequestClose(2); };
  w.RequestClose(1);
  EXPECT_TRUE(w.Closed);
  EXPECT_TRUE(shell.Quitting());
  EXPECT_TRUE(boxes->errors.empty());
}

TEST_F(MainFormTest, CountdownShowsInTheMessageLabelThenTheSaveText) {
  g_AppDir = dir_.path();
  WriteFileAtomic(g_AppDir + "/uiinfo.ini", "[Lang]\nIOCfgModify=closing in %d s\nSaveIOCfg=saving\n");
  TRunningForm r(main_);
  auto& [form, shell, w] = r;
  w.ScheduleClose(2);
  std::vector<std::string> seen{form.lbMessage->text().toStdString()};
  for (int i = 0; i < 2; ++i) {
    w.SecondTick();
    seen.push_back(form.lbMessage->text().toStdString());
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"(closing in 2 s)", "(closing in 1 s)", "(saving)"}));
  EXPECT_TRUE(w.Closed);
}
