// The Modbus window's display: start text, counters and their clearing, the export.
#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>

#include "common/platform/paths.h"
#include "server/modbus/modbus_window.h"
#include "server/runtime/zel_main.h"
#include "server/ui/modbus_form.h"
#include "tests/common/free_port.h"
#include "tests/common/test_env.h"
#include "tests/unit/ui/offscreen_app.h"

TEST(ModbusPanel, ShowsStartCountersAndExports) {
  EnsureOffscreenApp();
  TTempDir dir;
  TZelMain main;
  TfrmModbusTCP modbus(main, [](std::function<void()> t) { t(); });
  TModbusOptions options;
  options.Bind = "127.0.0.1";
  const int port = FreePort();
  ASSERT_TRUE(modbus.Create(port, false, options));
  TModbusPanel panel(modbus);
  EXPECT_EQ(panel.title().toStdString(), "Modbus TCP Server");
  EXPECT_EQ(panel.st1->text().toStdString(), "服务器成功启动,端口:" + std::to_string(port));
  modbus.Counters.ModbusReadCount = 7;
  modbus.Counters.ModbusWriteErrorCount = 2;
  panel.RefreshCounters();
  EXPECT_EQ(panel.stRW->text().toStdString(), "读:7,写:0\n读错误:0,写错误2");
  panel.btnClear->click();
  EXPECT_EQ(panel.stRW->text().toStdString(), "读:0,写:0\n读错误:0,写错误0");
  const std::string file = dir.path() + "/table.csv";
  EXPECT_TRUE(panel.ExportTo(QString::fromStdString(file), false));
  std::string bytes;
  EXPECT_TRUE(ReadFileBytes(file, bytes));
  EXPECT_FALSE(bytes.empty());
}
