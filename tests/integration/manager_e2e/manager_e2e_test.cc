// The manager's main window driven through its widgets (offscreen platform, in this
// process) against real peers: cloudsim as the cloud, the real server process, the node
// OPC UA client and zelcfg. A device added in the editor is refreshed into the tree and
// ZelOpc.Dat, the save stops the running server and tmRunUA starts it again with the new
// device; an imported BINZ file exports as XML with the same content.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <filesystem>
#include <sstream>

#include "common/config/app_paths.h"
#include "common/platform/named_mutex.h"
#include "common/platform/paths.h"
#include "manager/core/mgr_process.h"
#include "manager/core/prj_rules.h"
#include "manager/ui/main_window.h"
#include "manager/ui/prj_editor.h"
#include "tests/common/child_process.h"
#include "tests/common/cloudsim_fixture.h"
#include "tests/common/free_port.h"
#include "tests/common/log_receiver.h"
#include "tests/common/manager_window.h"
#include "tests/common/sim_plant.h"
#include "tests/common/test_env.h"

namespace {
const std::string kServer = std::string(ZEL_BIN_DIR) + "/ZelOpcServer3";
const std::string kNodeModules = std::string(ZEL_SOURCE_DIR) + "/tests/interop/node_modules";
const std::string kUaClient = std::string(ZEL_SOURCE_DIR) + "/tests/interop/gateway/ua_client.js";

class MgrE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureLeakedOffscreenApp("manager_e2e_test");
    previous_ = SetMessageBoxes(std::unique_ptr<TMessageBoxes>(boxes_ = new TScriptedBoxes));
    // The start-up check compares with this program's folder.
    RegisterServerProgram(ExtractFileDir(ExecutablePath()) + "/ZelOpcServer3");
    ResetAppPathsForTest();
  }
  void TearDown() override {
    // Whichever server the test or the manager started ends here.
    (void)CloseServerWindow(20000);
    server_.Kill();
    SetMessageBoxes(std::move(previous_));
  }
  std::vector<std::string> Run(const std::string& program, const std::vector<std::string>& args,
                               const std::vector<std::string>& env = {}) {
    TChildProcess p;
    if (!p.Start(program, args, env, dir_ / "run.txt") || !p.Wait(60000)) return {};
    std::vector<std::string> lines;
    std::istringstream in(p.Output());
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }
  // Drives the dialog `dlg` once it is shown: `fill` sets it up and closes it.
  void WhenShown(QWidget* dlg, std::function<void()> fill) {
    auto* t = new QTimer(dlg);
    t->setInterval(20);
    QObject::connect(t, &QTimer::timeout, dlg, [dlg, t, fill] {
      if (!dlg->isVisible()) return;
      t->stop();
      t->deleteLater();
      fill();
    });
    t->start();
  }

  TTempDir dir_;
  TScopedEnv root_{"ZELOPC_DATA_ROOT", dir_.path()};
  TScopedEnv runtime_{"XDG_RUNTIME_DIR", dir_.path()};
  TLogReceiver log_;
  TScopedEnv logPort_{"ZELOPC_LOG_PORT", std::to_string(log_.port())};
  TScriptedBoxes* boxes_ = nullptr;
  std::unique_ptr<TMessageBoxes> previous_;
  TCloudSim sim_;
  TChildProcess server_;
};
}  // namespace

TEST_F(MgrE2e, AddedDeviceIsRefreshedSavedAndServedByTheRestartedServer) {
  const std::string number = DeviceNumberFix("20240517330");
  ASSERT_EQ(number.size(), 11u);
  ASSERT_TRUE(sim_.Start(dir_, "{\"dataServers\":1,\"devices\":[{\"number\":\"" + number +
                                   "\",\"password\":\"pw1\",\"name\":\"Boiler\",\"refreshMs\":500,\"dataServer\":0,"
                                   "\"vars\":[" +
                                   SimVar("Temp", "F", "R", "Heat", "counter", 20) + "," +
                                   SimVar("Set", "F", "W", "Heat", "constant", 1.5) + "," +
                                   SimVar("On", "B", "W", "", "constant", 0) + "]}]}"));
  const int port = FreePort();
  dir_.Write("ZelOPC3/config.ini", "[OPCUA]\nEnable=1\nKeepUARun=0\nPort=" + std::to_string(port) +
                                       "\nDispAddFolder=1\nLogLevel=0\n");
  // A running server without devices.
  ASSERT_TRUE(server_.Start(kServer, {}, {}, dir_ / "server0.txt"));
  ASSERT_TRUE(PumpUntil([] { return ServerWindowExists(); }, 30000)) << server_.Output();
  // The server registers its own folder at start; the manager here runs from the tests'.
  RegisterServerProgram(ExtractFileDir(ExecutablePath()) + "/ZelOpcServer3");

  TfrmOpcMgr3Main form;
  ASSERT_TRUE(form.Startup({})) << (boxes_->Shown.empty() ? "" : boxes_->Shown[0]);
  form.ServerProgram = kServer;
  form.show();
  ASSERT_TRUE(form.frmPrjEditor);
  QDialog& ed = *form.frmPrjEditor;
  WhenShown(&ed, [&] {
    auto edit = [&ed](const char* name, const std::string& text) {
      if (auto* e = ed.findChild<QLineEdit*>(name)) e->setText(QString::fromStdString(text));
    };
    edit("edtZEL", number);
    edit("edtPass", "pw1");
    edit("edtDispName", "锅炉房");
    if (auto* c = ed.findChild<QCheckBox*>("chkDefServer")) c->setChecked(false);
    edit("edtServer", sim_.LoginUrl());
    for (QPushButton* b : ed.findChildren<QPushButton*>())
      if (b->text() == "确认") b->click();
  });
  form.btnAddNet->click();
  ASSERT_EQ(form.Cfg().Prjs.size(), 1u) << (boxes_->Shown.empty() ? "" : boxes_->Shown.back());
  // The save after the editor stopped the server.
  EXPECT_TRUE(server_.Wait(20000));
  EXPECT_TRUE(form.tmRunUA.isActive());

  // tmRefresh runs the refresh; its end shows the variables and saves them.
  auto summary = [&]() -> std::string {
    QTreeWidgetItem* root = form.PrjTree->topLevelItem(0);
    if (!root || root->childCount() != 1 || root->child(0)->childCount() != 1) return {};
    return root->child(0)->child(0)->text(0).toStdString();
  };
  ASSERT_TRUE(PumpUntil([&] { return !summary().empty() && !form.Refreshing(); }, 60000));
  EXPECT_EQ(summary(), "Boiler(3个变量)");
  EXPECT_EQ(form.PrjTree->topLevelItem(0)->child(0)->text(0).toStdString(), "锅炉房[" + number + "]");
  EXPECT_TRUE(form.PrjTree->isEnabled());
  TOpcCfgMgr saved;
  ASSERT_TRUE(saved.LoadPrjFile(g_PrjFileName));
  ASSERT_EQ(saved.Prjs.size(), 1u);
  EXPECT_EQ(saved.Prjs[0]->Vars.size(), 3u);
  EXPECT_EQ(saved.Prjs[0]->CustServer, sim_.LoginUrl());

  // tmRunUA starts the server again; an OPC UA client sees the new device's variables.
  ASSERT_TRUE(PumpUntil([] { return ServerWindowExists(); }, 30000));
  EXPECT_TRUE(PumpUntil([&] { return form.ServerPictureRunning(); }, 5000));
  if (!std::filesystem::exists(kNodeModules + "/node-opcua")) GTEST_SKIP() << "node-opcua is not installed";
  std::vector<std::string> vars;
  ASSERT_TRUE(PumpUntil(
      [&] {
        vars.clear();
        for (const std::string& l :
             Run("/usr/bin/env", {"node", kUaClient, "opc.tcp://127.0.0.1:" + std::to_string(port), "browse"},
                 {"NODE_PATH=" + kNodeModules, "HOME=" + dir_.path(), "XDG_CONFIG_HOME=" + dir_ / "config"}))
          if (l.rfind("var ", 0) == 0) vars.push_back(l.substr(4, l.find('\t') - 4));
        return vars.size() == 3;
      },
      60000));
  std::sort(vars.begin(), vars.end());
  // The editor leaves UseGroup off: the node ids carry no group.
  EXPECT_EQ(vars, (std::vector<std::string>{"锅炉房.On", "锅炉房.Set", "锅炉房.Temp"}));
}

TEST_F(MgrE2e, ImportedBinzFileExportsAsXmlWithTheSameContent) {
  dir_.Write("ZelOPC3/config.ini", "[OPCUA]\nEnable=0\n");
  const std::string in = dir_ / "plant.opccfg";
  {
    ASSERT_TRUE(InitAppPaths());
    TOpcCfgMgr cfg;
    for (int i = 0; i < 3; ++i) {
      auto p = cfg.NewPrj();
      p->Name = DeviceNumberFix("1357924680" + std::to_string(i));
      p->DispName = "站" + std::to_string(i);
      p->Password = "secret" + std::to_string(i);
      p->CustServer = "http://127.0.0.1:1";
      p->WriteOpt = i;
      p->UseGroup = i % 2;
      p->DevName = "Dev" + std::to_string(i);
      for (int k = 0; k < 3; ++k) p->Vars.push_back({"V" + std::to_string(k), k ? "G,H" : "", k + 1, k % 2});
      cfg.Prjs.push_back(std::move(p));
    }
    std::string error;
    ASSERT_TRUE(cfg.SavePrjFileAs(in, ObjArFormat::BINZ, error)) << error;
    ResetAppPathsForTest();
  }
  TfrmOpcMgr3Main form;
  ASSERT_TRUE(form.Startup({}));
  WhenShown(form.dlgOpen, [&] {
    form.dlgOpen->setDirectory(QString::fromStdString(dir_.path()));
    if (auto* name = form.dlgOpen->findChild<QLineEdit*>("fileNameEdit")) name->setText("plant.opccfg");
    static_cast<QDialog*>(form.dlgOpen)->done(QDialog::Accepted);
  });
  form.actImportCfg->trigger();
  ASSERT_EQ(form.Cfg().Prjs.size(), 3u) << (boxes_->Shown.empty() ? "" : boxes_->Shown.back());
  EXPECT_EQ(form.PrjTree->topLevelItem(0)->text(0).toStdString(), "ZelOpcServer(3设备)");
  WhenShown(form.dlgSave, [&] {
    // Typed into the name field, as a user would.
    if (auto* name = form.dlgSave->findChild<QLineEdit*>("fileNameEdit"))
      name->setText(QString::fromStdString(dir_ / "export"));
    static_cast<QDialog*>(form.dlgSave)->done(QDialog::Accepted);
  });
  form.actExportCfg->trigger();
  const std::string out = dir_ / "export.opccfg";
  ASSERT_TRUE(std::filesystem::exists(out));
  const std::string zelcfg = std::string(ZEL_BIN_DIR) + "/zelcfg";
  auto show = [&](const std::string& file) {
    std::vector<std::string> lines = Run(zelcfg, {"show", file, "--passwords"});
    return lines.size() > 2 ? std::vector<std::string>(lines.begin() + 2, lines.end()) : lines;
  };
  EXPECT_EQ(Run(zelcfg, {"show", in}).at(1), "Format: BINZ");
  EXPECT_EQ(Run(zelcfg, {"show", out}).at(1), "Format: XML");
  const std::vector<std::string> a = show(in), b = show(out);
  EXPECT_GT(a.size(), 20u);
  EXPECT_EQ(a, b);
  // The import was saved as the project file too.
  EXPECT_EQ(show(g_PrjFileName), a);
}
