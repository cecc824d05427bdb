// The register map behind the Modbus window: slot sizes, addresses, value conversions,
// alignment and range rules, devices in error, writes into the write queue, counters,
// the hand-over's end, and the address-table export.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "common/platform/paths.h"
#include "server/modbus/modbus_export.h"
#include "server/modbus/modbus_window.h"
#include "server/modbus/register_map.h"
#include "server/runtime/zel_main.h"
#include "tests/common/test_env.h"

namespace {
// A plant of `devices` projects; project k has `vars` variables of the given types in turn.
void Plant(TZelMain& main, int devices, int vars, std::vector<int> types = {3, 1, 2}) {
  for (int k = 0; k < devices; ++k) {
    auto p = main.NewPrj();
    p->Name = std::to_string(1001 + k);
    p->DispName = "Dev" + std::to_string(k + 1);
    for (int j = 0; j < vars; ++j) p->Vars.push_back({"V" + std::to_string(j), "", types[size_t(j) % types.size()], 0});
    main.Prjs.push_back(std::move(p));
  }
  main.BuildRuntime();
}

// The window with a main loop that runs each task at once (the test is the main thread).
struct TWindow : TfrmModbusTCP {
  explicit TWindow(TZelMain& m, bool noError = false) : TfrmModbusTCP(m, [](std::function<void()> f) { f(); }) {
    EXPECT_TRUE(Create(0, noError));
  }
  uint8_t Read(int regNr, int count, std::vector<uint16_t>& out) {
    out.assign(size_t(count), 0xAAAA);
    return OnReadHoldingRegisters(regNr, count, out);
  }
  uint8_t Write(int regNr, std::vector<uint16_t> words) {
    return OnWriteRegisters(regNr, int(words.size()), words);
  }
};

TEST(ModbusMap, SlotSizesAndAddresses) {
  struct {
    size_t devices;
    int vars, max;
  } rows[] = {{0, 2000, 16},  {1, 2000, 16},   {16, 2000, 16},  {17, 1000, 32}, {32, 1000, 32}, {33, 500, 64},
              {64, 500, 64},  {65, 200, 160},  {160, 200, 160}, {161, 100, 320}, {320, 100, 320}, {321, 40, 800},
              {5000, 40, 800}};
  for (const auto& r : rows) {
    TModbusSlots s = TModbusSlots::ForDevices(r.devices);
    EXPECT_EQ(s.VarsPerDevice, r.vars) << r.devices;
    EXPECT_EQ(s.MaxDevices, r.max) << r.devices;
    EXPECT_EQ(s.VarsPerDevice * s.MaxDevices * 2, 64000) << r.devices;
  }
  EXPECT_EQ(TModbusSlots::ForDevices(20).Register(16, 0), 32001);
  EXPECT_EQ(TModbusSlots::ForDevices(800).Register(799, 0), 63921);
  EXPECT_EQ(TModbusSlots::ForDevices(1).Register(0, 2), 5);
}

TEST(ModbusMap, ConversionsBothWays) {
  struct {
    int type;
    double value;
    uint16_t lo, hi;
    double back;
  } rows[] = {
      {VAR_ANALOG, 1.0, 0x0000, 0x3F80, 1.0},
      {VAR_ANALOG, -2.5, 0x0000, 0xC020, -2.5},
      {VAR_LONG, -1.7, 0xFFFF, 0xFFFF, -1},
      {VAR_LONG, 65536 + 2, 0x0002, 0x0001, 65538},
      {VAR_LONG, 1e12, 0xFFFF, 0x7FFF, 2147483647},    // saturates, never wraps
      {VAR_LONG, -1e12, 0x0000, 0x8000, -2147483648.0},
      {VAR_LONG, NAN, 0, 0, 0},
      {VAR_DOUBLE, 3.9, 3, 0, 3},
      {VAR_STR, -0.5, 0, 0, 0},
      {VAR_DISC, 1, 1, 0, 1},
  };
  for (const auto& r : rows) {
    uint16_t pair[2];
    EncodePair(r.type, r.value, pair);
    EXPECT_EQ(pair[0], r.lo) << r.type << " " << r.value;
    EXPECT_EQ(pair[1], r.hi) << r.type << " " << r.value;
    EXPECT_EQ(DecodePair(r.type, pair), r.back) << r.type << " " << r.value;
  }
  EXPECT_STREQ(RegisterType(VAR_ANALOG), "FLOAT32");
  EXPECT_STREQ(RegisterType(VAR_DISC), "BOOL32");
  EXPECT_STREQ(RegisterType(VAR_LONG), "INT32");
  EXPECT_STREQ(RegisterType(VAR_DOUBLE), "INT32");
}

TEST(ModbusMap, ReadsVariablesAndStatusRegisters) {
  TZelMain main;
  Plant(main, 3, 3);
  main.SPrj(0).Vars[0]->Value = 1.0;    // FLOAT32
  main.SPrj(0).Vars[1]->Value = 1;      // BOOL32
  main.SPrj(0).Vars[2]->Value = -1.7;   // INT32
  main.SPrj(2).ErrCode = 2;
  TWindow w(main);
  std::vector<uint16_t> r;
  ASSERT_EQ(w.Read(1, 8, r), 0);
  EXPECT_EQ(r, (std::vector<uint16_t>{0x0000, 0x3F80, 1, 0, 0xFFFF, 0xFFFF, 0, 0}));
  // Status registers 64001..64010: three error codes, then zeros; any alignment.
  ASSERT_EQ(w.Read(64001, 10, r), 0);
  EXPECT_EQ(r, (std::vector<uint16_t>{0, 0, 2, 0, 0, 0, 0, 0, 0, 0}));
  ASSERT_EQ(w.Read(64003, 1, r), 0);
  EXPECT_EQ(r, std::vector<uint16_t>{2});
  EXPECT_EQ(w.Counters.ModbusReadCount, 3u);
  EXPECT_EQ(w.Counters.ModbusReadErrorCount, 0u);
}

TEST(ModbusMap, AlignmentAndRangeErrors) {
  TZelMain main;
  Plant(main, 1, 2000);
  TWindow w(main);
  std::vector<uint16_t> r;
  for (int start = 1; start < 4000; start += 124) ASSERT_EQ(w.Read(start, std::min(124, 4001 - start), r), 0) << start;
  ASSERT_EQ(w.Read(3877, 124, r), 0);  // ends at register 4000
  EXPECT_EQ(w.Counters.ModbusReadErrorCount, 0u);
  struct {
    const char* name;
    int regNr, count;
  } bad[] = {{"into register 4001", 3879, 124}, {"one register at 1", 1, 1}, {"two at 2", 2, 2},
             {"device 2 of 1", 4001, 2},      {"last slot of the map", 63999, 2}};
  uint32_t errors = 0;
  for (const auto& b : bad) {
    EXPECT_EQ(w.Read(b.regNr, b.count, r), 2) << b.name;
    EXPECT_EQ(w.Counters.ModbusReadErrorCount, ++errors) << b.name;
  }
  // Function 6 and any odd write: exception 2 and a write error.
  EXPECT_EQ(w.Write(1, {7}), 2);
  EXPECT_EQ(w.Write(2, {7, 8}), 2);
  EXPECT_EQ(w.Write(4001, {7, 8}), 2);  // no device 2
  EXPECT_EQ(w.Write(64001, {0, 0}), 2);  // status registers are read-only
  EXPECT_EQ(w.Counters.ModbusWriteErrorCount, 4u);
  EXPECT_EQ(w.Counters.ModbusWriteCount, 4u);
  EXPECT_TRUE(main.SPrj(0).WriteQ.empty());
}

TEST(ModbusMap, DevicesBeyondTheMapHaveOnlyStatusRegisters) {
  TZelMain main;
  Plant(main, 801, 1);
  main.SPrj(800).ErrCode = 7;
  TWindow w(main);
  std::vector<uint16_t> r;
  EXPECT_EQ(w.Read(63921, 2, r), 0);  // device 800 (k = 799)
  EXPECT_EQ(w.Read(64801, 1, r), 0);  // k = 800: its status register only
  EXPECT_EQ(r, std::vector<uint16_t>{7});
}

TEST(ModbusMap, WritesJoinTheWriteQueue) {
  TZelMain main;
  Plant(main, 2, 3);
  TWindow w(main);
  uint16_t f[2], i[2];
  EncodePair(VAR_ANALOG, 12.5, f);
  EncodePair(VAR_LONG, -70000, i);
  // Device 2 (k = 1): its FLOAT32 and its INT32 in one request of 6 registers.
  ASSERT_EQ(w.Write(4001, {f[0], f[1], 1, 0, i[0], i[1]}), 0);
  auto& q = main.SPrj(1).WriteQ;
  ASSERT_EQ(q.size(), 3u);
  EXPECT_EQ(q[0].pVar, main.SPrj(1).Vars[0].get());
  EXPECT_EQ(q[0].Value, 12.5);
  EXPECT_EQ(q[1].Value, 1);
  EXPECT_EQ(q[2].Value, -70000);
  // A pair beyond the variable list fails the request but the others are still written.
  EXPECT_EQ(w.Write(5, {7, 0, 9, 0}), 2);
  EXPECT_EQ(main.SPrj(0).Vars[2]->Value, 7);
  EXPECT_EQ(w.Counters.ModbusWriteErrorCount, 1u);
}

TEST(ModbusMap, DeviceInErrorAndNoErrorOption) {
  TZelMain main;
  Plant(main, 2, 3);
  main.SPrj(0).Vars[0]->Value = 4;
  main.SPrj(1).ErrCode = 3;
  main.SPrj(1).Vars[0]->Value = 4;
  for (bool noError : {false, true}) {
    SCOPED_TRACE(noError);
    TWindow w(main, noError);
    std::vector<uint16_t> r;
    // The healthy device's pair is still read; the failing one reads 0.
    EXPECT_EQ(w.Read(3999, 4, r), noError ? 0 : 4);
    EXPECT_EQ(r, (std::vector<uint16_t>{0, 0, 0, 0}));
    EXPECT_EQ(w.Read(1, 2, r), 0);
    EXPECT_EQ(r, (std::vector<uint16_t>{0, 0x4080}));
    EXPECT_EQ(w.Write(4001, {0, 0x4080}), noError ? 0 : 6);
    EXPECT_EQ(w.Write(7, {1, 0}), noError ? 0 : 2);  // beyond device 1's three variables
    EXPECT_TRUE(main.SPrj(1).WriteQ.empty());
    EXPECT_EQ(w.Counters.ModbusReadErrorCount, noError ? 0u : 1u);
    EXPECT_EQ(w.Counters.ModbusWriteErrorCount, noError ? 0u : 2u);
  }
}

TEST(ModbusMap, CoilsAndCountersAndIdleSeconds) {
  TZelMain main;
  Plant(main, 1, 1);
  TWindow w(main);
  bool bits[8] = {};
  EXPECT_EQ(w.OnReadCoils(1, 8, bits), 0);
  EXPECT_EQ(w.OnReadInputBits(1, 8, bits), 0);
  EXPECT_EQ(w.OnWriteCoils(1, 8, bits), 0);
  EXPECT_EQ(w.CounterText(), "读:0,写:0\n读错误:2,写错误1");
  w.Timer1();
  w.Timer1();
  EXPECT_EQ(w.Counters.ModbusIdleSeconds, 4u);
  std::vector<uint16_t> r;
  EXPECT_EQ(w.Read(1, 2, r), 0);
  EXPECT_EQ(w.Counters.ModbusIdleSeconds, 0u);
  w.ClearCounters();
  EXPECT_EQ(w.CounterText(), "读:0,写:0\n读错误:0,写错误0");
}

TEST(ModbusMap, OptionsJoinTheCommandLine) {
  TTempDir dir;
  dir.Write("off.ini", "[MODBUS]\nPort=1502\n");
  dir.Write("on.ini", "[MODBUS]\nEnable=1\nPort=1502\nNoError=1\nBind=127.0.0.1\nIdleSeconds=0\n");
  TModbusOptions off = LoadModbusOptions(dir / "off.ini");
  TModbusOptions on = LoadModbusOptions(dir / "on.ini");
  EXPECT_FALSE(off.Enable);
  EXPECT_TRUE(on.Enable);
  EXPECT_EQ(on.Bind, "127.0.0.1");
  EXPECT_EQ(on.IdleSeconds, 1);
  int32_t port = 0, noError = 0;
  ApplyModbusOptions(off, port, noError);
  EXPECT_EQ(port, 0);
  ApplyModbusOptions(on, port, noError);
  EXPECT_EQ(port, 1502);
  EXPECT_EQ(noError, 1);
  port = 602;  // "-M 602" wins over the setting
  ApplyModbusOptions(on, port, noError);
  EXPECT_EQ(port, 602);
}

TEST(ModbusExport, TablesForOneDevice) {
  TZelMain main;
  Plant(main, 2, 2);
  main.SPrj(0).DevName = "Pump <1>";
  main.SPrj(1).DispName = "";
  main.Prjs[1]->Vars[0].Name = "a,\"b\"";  // the configured list
  std::vector<const TOpcPrj*> prjs{&main.SPrj(0), &main.SPrj(1)};
  EXPECT_EQ(ModbusTableCsv(prjs),
            "地址,数据类型,变量,设备显示名,设备序号,变量完整名称\r\n"
            "1,FLOAT32,V0,Dev1,1001,Dev1.V0\r\n"
            "3,BOOL32,V1,Dev1,1001,Dev1.V1\r\n"
            "4001,FLOAT32,\"a,\"\"b\"\"\",(未连接),1002,\"(未连接).a,\"\"b\"\"\"\r\n"
            "4003,BOOL32,V1,(未连接),1002,(未连接).V1\r\n"
            "64001,UINT16,SYS_ERROR_CODE,Dev1,1001,Dev1.SYS_ERROR_CODE\r\n"
            "64002,UINT16,SYS_ERROR_CODE,(未连接),1002,(未连接).SYS_ERROR_CODE\r\n");
  std::string html = ModbusTableHtml(prjs);
  EXPECT_NE(html.find("<H1>Pump &lt;1&gt;,序号:1001</h1>\r\n<table border=1><tr><th>地址</th><th>数据类型</th><th>变量</th></tr>\r\n"
                      "<tr><td>1</td><td>FLOAT32</td><td>V0</td></tr>\r\n"),
            std::string::npos);
  EXPECT_NE(html.find("<H1>(未连接),序号:1002</h1>"), std::string::npos);
  EXPECT_NE(html.find("<tr><td>64002</td><td>UINT16</td><td>SYS_ERROR_CODE</td></tr>\r\n</table>"), std::string::npos);

  TTempDir dir;
  ASSERT_TRUE(ExportModbusTable(dir / "t.CsV", prjs));
  std::string bytes;
  ASSERT_TRUE(ReadFileBytes(dir / "t.CsV", bytes));
  EXPECT_EQ(bytes, ModbusTableCsv(prjs));
  ASSERT_TRUE(ExportModbusTable(dir / "t.htm", prjs));
  ASSERT_TRUE(ReadFileBytes(dir / "t.htm", bytes));
  EXPECT_EQ(bytes, html);
}
}  // namespace
