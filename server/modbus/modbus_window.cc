#include "server/modbus/modbus_window.h"

#include <cstdio>

#include "common/platform/ini_file.h"
#include "server/modbus/modbus_export.h"
#include "server/runtime/zel_main.h"

TModbusOptions LoadModbusOptions(const std::string& cfgFile) {
  TIniFile ini(cfgFile);
  TModbusOptions o;
  o.Enable = ini.ReadInteger("MODBUS", "Enable", 0) == 1;
  o.Port = ini.ReadInteger("MODBUS", "Port", o.Port);
  if (o.Port < 1 || o.Port > 65535) o.Port = 502;
  o.NoError = ini.ReadInteger("MODBUS", "NoError", 0) == 1;
  o.Bind = ini.ReadString("MODBUS", "Bind", "");
  o.MaxConnections = std::max(1, ini.ReadInteger("MODBUS", "MaxConnections", o.MaxConnections));
  o.IdleSeconds = std::max(1, ini.ReadInteger("MODBUS", "IdleSeconds", o.IdleSeconds));
  return o;
}

void ApplyModbusOptions(const TModbusOptions& options, int32_t& port, int32_t& noError) {
  if (options.Enable && port == 0) port = options.Port;
  if (options.NoError) noError = 1;
}

TfrmModbusTCP::TfrmModbusTCP(TZelMain& main, TModbusListener::TPost post)
    : main_(main), map_(main, {}, false), post_(std::move(post)) {}

TfrmModbusTCP::~TfrmModbusTCP() {
  listener_.reset();  // on the main thread: no batch is in progress
  StopTimer();
}

bool TfrmModbusTCP::Create(int32_t port, bool noError, const TModbusOptions& options) {
  devices_ = main_.PrjCount();
  map_ = TModbusRegisterMap(main_, TModbusSlots::ForDevices(devices_), noError);
  if (port == 0) return true;
  Counters.ModbusReadCount = Counters.ModbusWriteCount = 0;
  Counters.ModbusReadErrorCount = Counters.ModbusWriteErrorCount = 0;
  // Each batch of requests runs on the main thread, the events inside it.
  listener_ = std::make_unique<TModbusListener>(config_, *this,
                                                TListenerLimits{options.MaxConnections, options.IdleSeconds}, post_);
  if (!listener_->Start(options.Bind, port)) {
    listener_.reset();
    StartText = "服务器无法启动! 端口被占用:" + std::to_string(port);
    return false;
  }
  StartText = "服务器成功启动,端口:" + std::to_string(listener_->Port());
  timer_ = std::thread([this] {
    std::unique_lock lock(timerMutex_);
    while (!timerWake_.wait_for(lock, std::chrono::seconds(2), [this] { return timerStop_; })) Timer1();
  });
  return true;
}

void TfrmModbusTCP::StopTimer() {
  {
    std::lock_guard lock(timerMutex_);
    timerStop_ = true;
  }
  timerWake_.notify_all();
  if (timer_.joinable()) timer_.join();
}

std::string TfrmModbusTCP::CounterText() const {
  char text[128];
  std::snprintf(text, sizeof text, "读:%u,写:%u\n读错误:%u,写错误%u", Counters.ModbusReadCount.load(),
                Counters.ModbusWriteCount.load(), Counters.ModbusReadErrorCount.load(),
                Counters.ModbusWriteErrorCount.load());
  return text;
}

void TfrmModbusTCP::ClearCounters() {
  Counters.ModbusReadCount = Counters.ModbusWriteCount = 0;
  Counters.ModbusReadErrorCount = Counters.ModbusWriteErrorCount = 0;
}

void TfrmModbusTCP::Timer1() { Counters.ModbusIdleSeconds += 2; }

bool TfrmModbusTCP::Export(const std::string& fileName) const {
  std::vector<const TOpcPrj*> prjs;
  for (size_t i = 0; i < main_.PrjCount(); ++i) prjs.push_back(&main_.SPrj(i));
  return ExportModbusTable(fileName, prjs);
}

uint8_t TfrmModbusTCP::OnReadHoldingRegisters(int regNr, int count, std::span<uint16_t> data) {
  ++Counters.ModbusReadCount;
  Counters.ModbusIdleSeconds = 0;
  const int a = regNr - 1, c = count;
  if (a >= kVariableRegisters) {
    map_.ReadStatus(a - kVariableRegisters, c, data);
    return 0;
  }
  const int lastSlot = (a / 2 + c / 2 - 1) / Slots().VarsPerDevice;
  if (a % 2 || c % 2 || lastSlot >= Slots().MaxDevices || size_t(lastSlot) >= devices_) {
    ++Counters.ModbusReadErrorCount;
    return mbeIllegalDataAddress;
  }
  const uint8_t result = map_.ReadPairs(a / 2, c / 2, data);
  if (result) ++Counters.ModbusReadErrorCount;
  return result;
}

uint8_t TfrmModbusTCP::OnWriteRegisters(int regNr, int count, std::span<const uint16_t> data) {
  ++Counters.ModbusWriteCount;
  Counters.ModbusIdleSeconds = 0;
  const int a = regNr - 1, c = count;
  if (a % 2 || c % 2) {
    ++Counters.ModbusWriteErrorCount;
    return mbeIllegalDataAddress;
  }
  const uint8_t result = map_.WritePairs(a / 2, c / 2, data);
  if (result) ++Counters.ModbusWriteErrorCount;
  return result;
}

// Coils and input bits are not served: all bits read 0 and writes are acknowledged.
uint8_t TfrmModbusTCP::OnReadCoils(int, int, std::span<bool>) {
  ++Counters.ModbusReadErrorCount;
  return 0;
}
uint8_t TfrmModbusTCP::OnReadInputBits(int, int, std::span<bool>) {
  ++Counters.ModbusReadErrorCount;
  return 0;
}
uint8_t TfrmModbusTCP::OnWriteCoils(int, int, std::span<const bool>) {
  ++Counters.ModbusWriteErrorCount;
  return 0;
}
