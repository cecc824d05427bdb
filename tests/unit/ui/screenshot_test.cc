// Screenshots of the desktop windows under Xvfb with the CJK font, written to
// <build>/screenshots for a person to look at; the test checks they were made and are
// not blank.
#include <gtest/gtest.h>

#include <QApplication>

#include "common/config/app_paths.h"
#include "server/core/command_line.h"
#include "server/runtime/zel_main.h"
#include "common/log/link_texts.h"
#include "server/ui/qt_shell.h"
#include "server/ui/server_info_form.h"
#include "server/modbus/modbus_window.h"
#include "server/ui/modbus_form.h"
#include "tests/common/free_port.h"
#include "tests/common/screenshot.h"
#include "tests/common/test_env.h"

namespace {
struct TFakeUa : TUaServerHost {
  bool Start() override { return true; }
  void RunStep() override {}
  int ClientCount() override { return 1; }
  int Port() const override { return 48400; }
};
}  // namespace

TEST(Screenshot, MainWindow) {
  int argc = 1;
  char name[] = "screenshot_test";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  TTempDir dir;
  TScopedEnv root("ZELOPC_DATA_ROOT", dir.path());
  TScopedEnv runtime("XDG_RUNTIME_DIR", dir.path());
  ResetAppPathsForTest();
  InitAppPaths();
  g_KeepRunning = true;
  TZelMain main;
  TfrmOpcServer3Main form;
  TQtShell shell(form, main);
  TMainWindow w(main, shell);
  w.Create(std::make_unique<TFakeUa>(), true);
  form.ApplyCreate(w.Lang, true);
  w.ClientCountTick();
  w.ScheduleClose(10);
  form.show();
  EXPECT_TRUE(Shoot(form, "main_window.png"));

  // Without OPC UA: no menu, no status text.
  {
    TfrmOpcServer3Main plain;
    TQtShell shell3(plain, main);
    plain.ApplyCreate(w.Lang, false);
    plain.lbOpcDa->setText(form.lbOpcDa->text());
    plain.show();
    EXPECT_TRUE(Shoot(plain, "main_window_no_ua.png"));
  }

  // The main window with a running Modbus listener in its right panel.
  {
    TfrmOpcServer3Main withModbus;
    TQtShell shell2(withModbus, main);
    TfrmModbusTCP modbus(main, [](std::function<void()> t) { t(); });
    TModbusOptions options;
    options.Bind = "127.0.0.1";
    EXPECT_TRUE(modbus.Create(FreePort(), false, options));
    modbus.Counters.ModbusReadCount = 12;
    withModbus.PlaceModbus(new TModbusPanel(modbus));
    withModbus.ApplyCreate(w.Lang, true);
    withModbus.lbOpcDa->setText(form.lbOpcDa->text());
    withModbus.lbOpcUa->setText(form.lbOpcUa->text());
    withModbus.sbPanel0->setText(form.sbPanel0->text());
    withModbus.lbMessage->setText(QString::fromStdString(modbus.StartText));
    withModbus.show();
    EXPECT_TRUE(Shoot(withModbus, "main_window_modbus.png"));
  }

  // The status window over three devices, one of them failing on the device side.
  const struct {
    const char* disp;
    const char* name;
    int state, err, writeOpt;
  } devices[] = {{"1号泵站", "10010001", ncsRunning, 0, 0},
                 {"2号泵站", "10010002", ncsError, nceDeviceConn, 2},
                 {"水厂出口", "10010003", ncsRunning, 0, 1}};
  for (const auto& d : devices) {
    auto p = main.NewPrj();
    p->DispName = d.disp;
    p->Name = d.name;
    p->DevName = "S7-200";
    p->NetState = d.state;
    p->ErrCode = d.err;
    p->WriteOpt = d.writeOpt;
    main.Prjs.push_back(std::move(p));
  }
  TfrmServerInfo info(main, w.Lang, form.btnStatus->text().toStdString());
  info.Refresh();
  info.show();
  EXPECT_TRUE(Shoot(info, "status_window.png"));
  info.hide();
  ResetAppPathsForTest();
}
