// Screenshot of the manager's main window under Xvfb with the CJK font: three devices,
// one of them failing, written to <build>/screenshots for a person to look at.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTreeWidget>

#include "common/config/app_paths.h"
#include "manager/ui/main_window.h"
#include "tests/common/screenshot.h"
#include "tests/common/test_env.h"

TEST(MgrMainScreenshot, ThreeDevicesOneFailing) {
  int argc = 1;
  char name[] = "mgr_main_screenshot_test";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  TTempDir dir;
  TScopedEnv root("ZELOPC_DATA_ROOT", dir.path());
  TScopedEnv runtime("XDG_RUNTIME_DIR", dir.path());
  ResetAppPathsForTest();
  ASSERT_TRUE(InitAppPaths());
  TfrmOpcMgr3Main form;
  form.setWindowTitle(QString("ZEL OPC 管理器 V3.5  (") + QString::fromStdString(g_PrjFileName) + ")");
  struct Dev {
    const char *disp, *number, *dev;
    int vars, err, http;
  } devs[] = {{"一号泵站", "20240517336", "PumpNorth", 12, 0, 0},
              {"锅炉房", "20240517344", "Boiler", 3, 0, 0},
              {"冷却塔", "20240517352", "", 0, 1, -12029}};
  for (const Dev& d : devs) {
    auto p = form.Cfg().NewPrj();
    p->DispName = d.disp;
    p->Name = d.number;
    p->DevName = d.dev;
    p->Vars.resize(size_t(d.vars));
    p->ErrCode = d.err;
    p->HttpCode = d.http;
    form.Cfg().Prjs.push_back(std::move(p));
  }
  form.RefreshTree();
  form.show();
  EXPECT_TRUE(Shoot(form, "manager_main_window.png"));
}
