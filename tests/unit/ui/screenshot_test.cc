// Screenshots of the desktop windows under Xvfb with the CJK font, written to
// <build>/screenshots for a person to look at; the test checks they were made and are
// not blank. The status window shows a real plant: three cloudsim devices, one refused
// for its password until the row menu gives it one.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QSet>
#include <QTableWidget>

#include <chrono>
#include <thread>

#include "common/config/app_paths.h"
#include "common/link/data_server.h"
#include "common/platform/clock.h"
#include "common/settings/sys_config.h"
#include "server/core/command_line.h"
#include "server/runtime/zel_main.h"
#include "common/log/link_texts.h"
#include "server/ui/qt_shell.h"
#include "server/ui/server_info_form.h"
#include "server/modbus/modbus_window.h"
#include "server/ui/modbus_form.h"
#include "tests/common/cloudsim_fixture.h"
#include "tests/common/free_port.h"
#include "tests/common/sim_plant.h"
#include "tests/common/screenshot.h"
#include "tests/common/test_env.h"

namespace {
struct TFakeUa : TUaServerHost {
  bool Start() override { return true; }
  void RunStep() override {}
  int ClientCount() override { return 1; }
  int Port() const override { return 48400; }
};

// The program's one application, on the X server the test runs under, and the data
// and runtime folders of a case.
class Screenshot : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "screenshot_test";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
  }
  void SetUp() override {
    ResetAppPathsForTest();
    InitAppPaths();
  }
  void TearDown() override { ResetAppPathsForTest(); }
  TTempDir dir_;
  TScopedEnv root_{"ZELOPC_DATA_ROOT", dir_.path()};
  TScopedEnv runtime_{"XDG_RUNTIME_DIR", dir_.path()};
};

// Runs the plant's ticks until `done` holds (bounded, so a fault fails instead of hanging).
bool Pump(TZelMain& main, const std::function<bool()>& done) {
  const int64_t until = MonotonicMs() + 30000;
  while (!done() && MonotonicMs() < until) {
    main.RunTick(NowMs());
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}
}  // namespace

TEST_F(Screenshot, MainWindow) {
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

  // The icon (the window's and the tray's) and the tray animation's frames, side by
  // side at twice their size on the window's background.
  {
    QWidget strip;
    strip.setFixedSize(kTrayFrames * 72 + 8, 80);
    strip.setAutoFillBackground(true);
    auto* row = new QHBoxLayout(&strip);
    for (int i = 0; i < kTrayFrames; ++i) {
      auto* l = new QLabel(&strip);
      l->setPixmap(TrayIconFrame(i).scaled(64, 64));
      row->addWidget(l);
    }
    strip.show();
    EXPECT_TRUE(Shoot(strip, "tray_icon_frames.png"));
  }

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
}

// The status window over a running cloudsim plant of three devices: two run (one with
// write optimisation off), the third has no password kept in the archive and is refused.
// The row menu's "输入密码" then gets it running.
TEST_F(Screenshot, StatusWindowOverACloudsimPlant) {
  TSysOP = TSysOPRecord{};
  g_DataServerMgr = std::make_unique<TDataServerMgr>();
  TCloudSim sim;
  ASSERT_TRUE(sim.Start(dir_, SimPlant(3), {"--write-config", dir_ / "plant.Dat"}));
  {
    TZelMain main;
    ASSERT_TRUE(main.LoadPrjFile(dir_ / "plant.Dat"));
    ASSERT_EQ(main.PrjCount(), 3u);
    const char* names[] = {"1号泵站", "2号泵站", "水厂出口流量计"};
    for (size_t i = 0; i < 3; ++i) main.SPrj(i).DispName = names[i];
    main.SPrj(1).WriteOpt = 2;
    TOpcSPrj& refused = main.SPrj(2);
    refused.NoSavePass = 1;
    refused.Password.clear();
    main.BuildRuntime();
    ASSERT_TRUE(Pump(main, [&] {
      return main.SPrj(0).NetState == ncsRunning && main.SPrj(1).NetState == ncsRunning &&
             refused.ErrCode == ncePassword;
    })) << main.SPrj(0).NetState << main.SPrj(1).NetState << refused.ErrCode;

    TfrmServerInfo info(main, TmyLangString{}, "查看服务器状态");
    info.Refresh();
    info.show();
    EXPECT_EQ(info.Grid->item(2, 2)->text().toStdString(), "错误");
    EXPECT_EQ(info.Grid->item(2, 4)->text().toStdString(), "序号密码错误");
    EXPECT_TRUE(Shoot(info, "status_window.png"));

    info.Grid->selectRow(2);
    info.PrepareRowMenu();
    EXPECT_TRUE(info.actEnterPassword->isVisible());
    info.AskPassword = [](const std::string&, std::string& value) {
      value = "pw3";
      return true;
    };
    info.actEnterPassword->trigger();
    EXPECT_TRUE(Pump(main, [&] { return refused.NetState == ncsRunning; })) << refused.ErrCode;
    info.hide();
  }
  g_DataServerMgr.reset();
}
