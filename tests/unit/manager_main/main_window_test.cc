// The manager's main window on the offscreen platform: tree texts and images for every
// error case, the root count, the start options and the start-up checks, refresh and
// delete at their edges, and the window channel under requesters that misbehave.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QApplication>
#include <QDialog>
#include <QTreeWidget>
#include <filesystem>
#include <future>

#include "common/config/app_paths.h"
#include "common/link/link_state.h"
#include "common/log/link_texts.h"
#include "common/platform/paths.h"
#include "common/platform/window_channel.h"
#include "common/settings/sys_config.h"
#include "manager/core/mgr_process.h"
#include "manager/core/opc_cfg_mgr.h"
#include "manager/core/prj_rules.h"
#include "manager/ui/main_window.h"
#include "tests/common/manager_window.h"
#include "tests/common/test_env.h"

namespace {
class MgrWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureLeakedOffscreenApp("manager_main_test");
    ResetAppPathsForTest();
    ASSERT_TRUE(InitAppPaths());
    previous_ = SetMessageBoxes(std::unique_ptr<TMessageBoxes>(boxes_ = new TScriptedBoxes));
  }
  void TearDown() override { SetMessageBoxes(std::move(previous_)); }
  TOpcPrj& AddPrj(TfrmOpcMgr3Main& form, const std::string& disp, const std::string& name, int err = 0,
                  int http = 0, int vars = 0) {
    auto p = form.Cfg().NewPrj();
    p->DispName = disp;
    p->Name = name;
    p->ErrCode = err;
    p->HttpCode = http;
    p->DevName = "Dev" + disp;
    p->Vars.resize(size_t(vars));
    form.Cfg().Prjs.push_back(std::move(p));
    return *form.Cfg().Prjs.back();
  }
  std::string ExeDir() const { return ExtractFileDir(ExecutablePath()); }

  TTempDir dir_;
  TScopedEnv root_{"ZELOPC_DATA_ROOT", dir_.path()};
  TScopedEnv runtime_{"XDG_RUNTIME_DIR", dir_.path()};
  TScriptedBoxes* boxes_ = nullptr;
  std::unique_ptr<TMessageBoxes> previous_;
};
}  // namespace

TEST_F(MgrWindow, ProjectNodeTextAndImageForEveryErrorCase) {
  struct Case {
    int err, http;
    std::string suffix;
    int image;
  } cases[] = {
      {0, 0, "", imgPrj},
      {0, -12029, "", imgPrj},  // a code without an error shows nothing
      {-1, 0, "", imgPrj},
      {1, 0, "(网络通讯故障)", imgPrjErr},
      {1, -12, "(网络通讯故障#12)", imgPrjErr},
      {1, 403, "(网络通讯故障#403)", imgPrjErr},
      {2, 0, "(设备序号错误或不存在)", imgPrjErr},
      {3, 0, "(序号密码错误)", imgPrjErr},
      {4, 0, "(变量配置错误)", imgPrjErr},
      {5, 0, "(不支持此功能)", imgPrjErr},
      {6, 0, "(当前是透传模式)", imgPrjErr},
      {7, 0, "(连接数过多)", imgPrjErr},
      {8, 500, "(设备连接故障)", imgPrjErr},  // the HTTP code belongs to the network error only
      {9, 0, "(#错误)", imgPrjErr},
  };
  TfrmOpcMgr3Main form;
  for (const Case& c : cases) AddPrj(form, "泵站", "12345678901", c.err, c.http);
  form.RefreshTree();
  ASSERT_EQ(form.PrjTree->topLevelItemCount(), 1);
  QTreeWidgetItem* root = form.PrjTree->topLevelItem(0);
  EXPECT_EQ(root->text(0).toStdString(), "ZelOpcServer(14设备)");
  EXPECT_EQ(TfrmOpcMgr3Main::NodeImage(root), imgRoot);
  ASSERT_EQ(root->childCount(), int(std::size(cases)));
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(std::to_string(cases[i].err) + "," + std::to_string(cases[i].http));
    QTreeWidgetItem* n = root->child(int(i));
    EXPECT_EQ(n->text(0).toStdString(), "泵站[12345678901]" + cases[i].suffix);
    EXPECT_EQ(TfrmOpcMgr3Main::NodeImage(n), cases[i].image);
    EXPECT_EQ(TfrmOpcMgr3Main::NodeProject(n), form.Cfg().Prjs[i].get());
    EXPECT_EQ(n->childCount(), 0);  // no variables, no summary node
  }
}

TEST_F(MgrWindow, SummaryNodeAndRootCount) {
  TfrmOpcMgr3Main form;
  form.RefreshTree();
  EXPECT_EQ(form.PrjTree->topLevelItem(0)->text(0).toStdString(), "ZelOpcServer");
  TOpcPrj& a = AddPrj(form, "A", "12345678901", 0, 0, 3);
  AddPrj(form, "B", "12345678902");
  form.RefreshTree();
  QTreeWidgetItem* root = form.PrjTree->topLevelItem(0);
  EXPECT_EQ(root->text(0).toStdString(), "ZelOpcServer(2设备)");
  EXPECT_TRUE(root->isExpanded());
  ASSERT_EQ(root->child(0)->childCount(), 1);
  QTreeWidgetItem* sum = root->child(0)->child(0);
  EXPECT_EQ(sum->text(0).toStdString(), "DevA(3个变量)");
  EXPECT_EQ(TfrmOpcMgr3Main::NodeImage(sum), imgVars);
  EXPECT_EQ(TfrmOpcMgr3Main::NodeProject(sum), &a);
  // The summary node stands for its project in the pop-up and the editor.
  form.PrjTree->setCurrentItem(sum);
  EXPECT_EQ(form.SelectedProject(), &a);
  form.PrjTree->setCurrentItem(root);
  EXPECT_EQ(form.SelectedProject(), nullptr);
}

TEST_F(MgrWindow, ManagerProjectHidesTheVariableConfigurationError) {
  TOpcCfgMgr cfg;
  auto p = cfg.NewPrj();
  p->SID = "s";
  SetProjectError(*p, nceVarConfig);
  EXPECT_EQ(p->ErrCode, nceNone);
  EXPECT_EQ(p->NetState, ncsIdle);
  SetProjectError(*p, nceNetwork);
  EXPECT_EQ(p->ErrCode, nceNetwork);
  EXPECT_EQ(p->NetState, ncsError);
}

TEST_F(MgrWindow, ActionsCaptionsAndMenuPlaces) {
  TfrmOpcMgr3Main form;
  std::vector<std::string> menus;
  for (QAction* m : form.menuBar()->actions()) {
    std::string line = m->text().toStdString() + ":";
    for (QAction* a : m->menu()->actions()) line += a->isSeparator() ? "|" : "[" + a->text().toStdString() + "]";
    menus.push_back(line);
  }
  EXPECT_EQ(menus, (std::vector<std::string>{
                       "文件:[导入工程配置文件][导出工程配置文件]|[退出 ZEL OPC 管理器]",
                       "操作:[添加ZEL设备][强制刷新全部]|[OPCUA配置][启动OPCUA Server]|[打开OPC配置文件位置][打开本程序所在位置]",
                       "帮助:[关于]"}));
  std::string pop;
  for (QAction* a : form.popPrjGroup->actions()) pop += "[" + a->text().toStdString() + "]";
  EXPECT_EQ(pop, "[ZEL设备设置][删除ZEL设备][添加ZEL设备]");
  EXPECT_EQ(form.btnAddNet->text().toStdString(), "添加ZEL设备");
  EXPECT_EQ(form.btnUpdateAll->text().toStdString(), "刷新全部");
  EXPECT_EQ(form.actStopServer->text().toStdString(), "停止服务器");
  EXPECT_FALSE(form.muStartUA->isVisible());
}

TEST_F(MgrWindow, RefreshWithoutProjectsLeavesTheWindowUnlocked) {
  TfrmOpcMgr3Main form;
  form.actUpdateAllPrj->trigger();
  EXPECT_FALSE(form.Refreshing());
  EXPECT_TRUE(form.PrjTree->isEnabled());
  EXPECT_TRUE(form.actPrjAddNet->isEnabled());
}

TEST_F(MgrWindow, DeletingTheLastProjectAsksAndSaves) {
  TfrmOpcMgr3Main form;
  AddPrj(form, "Solo", "12345678901");
  form.RefreshTree();
  form.PrjTree->setCurrentItem(form.PrjTree->topLevelItem(0)->child(0));
  boxes_->Answers = {false};
  form.actPrjDel->trigger();
  EXPECT_EQ(form.Cfg().Prjs.size(), 1u);
  boxes_->Answers = {true};
  form.actPrjDel->trigger();
  EXPECT_EQ(boxes_->Shown.back(), "ask:是否要删除该设备?\n设备序号: 12345678901\n显示名:Solo");
  EXPECT_TRUE(form.Cfg().Prjs.empty());
  EXPECT_EQ(form.PrjTree->topLevelItem(0)->text(0).toStdString(), "ZelOpcServer");
  TOpcCfgMgr saved;
  ASSERT_TRUE(saved.LoadPrjFile(g_PrjFileName));
  EXPECT_TRUE(saved.Prjs.empty());
}

TEST(MgrOptions, SwitchesFromTheOptionFileAndTheCommandLine) {
  struct Case {
    std::vector<std::string> entries;
    bool zelid, xml, gencert;
  } cases[] = {
      {{"-xml"}, false, true, false},
      {{" /GenCert \r"}, false, false, true},
      {{"-ZELID", "/xml"}, true, true, false},
      {{"xml", "-XMLX", "-", "--xml", ""}, false, false, false},  // no leading sign, other words
  };
  for (const Case& c : cases) {
    const TMgrOptions o = ParseMgrOptions(c.entries);
    EXPECT_EQ(o.ZelId, c.zelid);
    EXPECT_EQ(o.Xml, c.xml);
    EXPECT_EQ(o.GenCert, c.gencert);
  }
  TTempDir dir;
  dir.Write("OpcMgrParam.ini", "-ZELID\r\n\r\n-xml");
  EXPECT_EQ(MgrOptionEntries(dir / "OpcMgrParam.ini", {"/GENCERT"}),
            (std::vector<std::string>{"-ZELID\r", "\r", "-xml", "/GENCERT"}));
  EXPECT_EQ(MgrOptionEntries(dir / "missing.ini", {"-a"}), std::vector<std::string>{"-a"});
}

TEST_F(MgrWindow, StartupChecksTheServerRegistration) {
  struct Case {
    const char* name;
    std::string registered;  // program path written to the registry, empty for none
    bool continues;
    std::vector<std::string> shown;
  } cases[] = {
      {"none", "", false, {"error:OPC未注册!"}},
      {"other", "/opt/zel-other/ZelOpcServer3", false,
       {"error:这个Opc管理器不是已注册的OPC管理器！\n已注册的OPC管理器目录是:/opt/zel-other",
        "ask:是否需要打开已注册的OPC管理器?"}},
      {"this", ExeDir() + "/ZelOpcServer3", true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(RegistryFileName());
    if (!c.registered.empty()) RegisterServerProgram(c.registered);
    dir_.Write("ZelOPC3/config.ini", "[OPCUA]\nEnable=1\nKeepUARun=0\n");
    boxes_->Shown.clear();
    ResetAppPathsForTest();
    TfrmOpcMgr3Main form;
    EXPECT_EQ(form.Startup({}), c.continues);
    EXPECT_EQ(boxes_->Shown, c.shown);
    EXPECT_EQ(form.tmRunUA.isActive(), c.continues);
    if (c.continues) {
      EXPECT_TRUE(form.muStartUA->isVisible() || !form.isVisible());
      EXPECT_EQ(form.windowTitle().toStdString(), "ZEL OPC 管理器 V3.5  (" + g_PrjFileName + ")");
      EXPECT_EQ(form.ServerProgram, ExeDir() + "/ZelOpcServer3");
    }
  }
}

TEST_F(MgrWindow, GenCertWithACertificateEndsAtOnceAndTouchesNothing) {
  dir_.Write("ZelOPC3/cert/self/localhost.crt", "kept");
  ResetAppPathsForTest();
  TfrmOpcMgr3Main form;
  EXPECT_FALSE(form.Startup({"/gencert"}));
  EXPECT_TRUE(boxes_->Shown.empty());
  std::string text;
  ASSERT_TRUE(ReadFileBytes(dir_ / "ZelOPC3/cert/self/localhost.crt", text));
  EXPECT_EQ(text, "kept");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "ZelOPC3/cert/self/localhost_key.der"));
}

TEST_F(MgrWindow, CtrlClickOnThePanelChecksADeviceNumber) {
  TfrmOpcMgr3Main form;
  QMouseEvent plain(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QCoreApplication::sendEvent(form.pnlRight, &plain);
  EXPECT_TRUE(boxes_->Shown.empty());
  // With Ctrl the input box asks for a number; a wrong check digit is corrected.
  bool typed = false;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* dlg = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (!dlg || typed) return;
    typed = true;
    if (auto* edit = dlg->findChild<QLineEdit*>()) edit->setText("20240517330");
    dlg->accept();
  });
  poll.start(20);
  QMouseEvent ctrl(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton, Qt::LeftButton,
                   Qt::ControlModifier);
  QCoreApplication::sendEvent(form.imgServer, &ctrl);
  EXPECT_TRUE(typed);
  ASSERT_EQ(boxes_->Shown.size(), 1u);
  EXPECT_EQ(boxes_->Shown[0], "info:正确的序号是： " + DeviceNumberFix("20240517330"));
}

// The manager's channel serves a well-behaved signal while others hold connections
// open, send endless lines or flood it with connections.
TEST_F(MgrWindow, WindowChannelSurvivesMisbehavingRequesters) {
  TMgrWindowChannel channel;
  ASSERT_TRUE(channel.Listen());
  const std::string path = WindowSocketPath(kMgrWindowClass, kMgrChannelCaption);
  auto connectRaw = [&path] {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  };
  std::vector<int> hostile;
  int shows = 0;
  const std::string endless(4096, 'x');
  for (int i = 0; i < 40; ++i) {
    hostile.push_back(connectRaw());  // idle, never finishing
    if (i % 4 == 0 && hostile.back() >= 0)
      (void)!write(hostile.back(), endless.data(), endless.size());  // a line without end
    shows += channel.PollNow();
  }
  auto good = std::async(std::launch::async, [] {
    for (int i = 0; i < 200; ++i) {
      std::string answer;
      if (SendWindowMessage(kMgrWindowClass, kMgrChannelCaption, kMsgShowManager, &answer, 2000) && answer == "0")
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  });
  while (good.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) shows += channel.PollNow();
  EXPECT_TRUE(good.get());
  EXPECT_EQ(shows, 1);
  // Other messages are answered but show nothing.
  auto other = std::async(std::launch::async, [] {
    std::string answer;
    return SendWindowMessage(kMgrWindowClass, kMgrChannelCaption, 1034, &answer, 5000) && answer == "0";
  });
  while (other.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) shows += channel.PollNow();
  EXPECT_TRUE(other.get());
  EXPECT_EQ(shows, 1);
  for (int fd : hostile)
    if (fd >= 0) close(fd);
}
