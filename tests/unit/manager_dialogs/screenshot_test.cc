// Screenshots of the manager's dialogs under Xvfb with the CJK font, written to
// <build>/screenshots for a person to look at; the test checks they were made and are
// not blank.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>

#include "common/config/app_paths.h"
#include "common/config/cfg_file.h"
#include "common/settings/sys_config.h"
#include "manager/ui/about_dlg.h"
#include "manager/ui/opcua_dlg.h"
#include "manager/ui/prj_editor.h"
#include "tests/common/screenshot.h"
#include "tests/common/test_env.h"

namespace {
class TShotCfg : public TOpcCfgFile {
 public:
  std::unique_ptr<TOpcPrj> NewPrj() override { return std::make_unique<TOpcPrj>(); }
};
struct TShotEditor : TfrmNetPrjEditor {
  using TfrmNetPrjEditor::LoadProject;
  using TfrmNetPrjEditor::TfrmNetPrjEditor;
};
struct TShotOpcUA : TfrmOpcUA {
  using TfrmOpcUA::LoadSettings;
};
}  // namespace

TEST(MgrScreenshot, Dialogs) {
  int argc = 1;
  char name[] = "mgr_screenshot_test";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  TTempDir dir;
  TScopedEnv root("ZELOPC_DATA_ROOT", dir.path());
  TScopedEnv xdg("XDG_CONFIG_HOME", dir / "xdg");
  g_AppDir = dir / "app";

  {
    TShotCfg cfg;
    TMgrFlags flags;
    TShotEditor editor(cfg, flags);
    TOpcPrj prj;
    prj.Name = "31415926532";
    prj.Password = "pump-1";
    prj.DispName = "1号泵站";
    prj.CustServer = "https://127.0.0.1:7443";
    prj.WriteOpt = 1;
    prj.UseGroup = 1;
    editor.LoadProject(prj);
    editor.show();
    EXPECT_TRUE(Shoot(editor, "mgr_prj_editor.png"));
  }
  {
    TSysOP = TSysOPRecord{};
    TSysOP.Enable = 1;
    TSysOP.Port = 4866;
    TSysOP.DispAddFolder = 1;
    TSysOP.ClosePass = "807295";
    TSysOP.User = "operator";
    TSysOP.Pass = "secret";
    TShotOpcUA ua;
    ua.LoadSettings();
    ua.chkAutoStart->setChecked(true);
    ua.chkKeepUARun->setChecked(true);
    ua.show();
    EXPECT_TRUE(Shoot(ua, "mgr_opcua.png"));
  }
  {
    TfrmAboutDlg about;
    about.show();
    EXPECT_TRUE(Shoot(about, "mgr_about.png"));
  }
  g_AppDir.clear();
}
