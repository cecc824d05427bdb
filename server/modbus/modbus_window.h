// The Modbus window `TfrmModbusTCP` without widgets: it owns the engine's listener, the
// register map and the request counters, answers the register events (on the main
// thread: the listener hands its requests over in batches) and exports the address table. Also the [MODBUS] section of config.ini, our addition that lets a
// plant switch the listener on.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server/modbus/modbus_engine.h"
#include "server/modbus/modbus_listener.h"
#include "server/modbus/register_map.h"

class TZelMain;

// [MODBUS] of config.ini. Without Enable=1 the main window switches the listener off.
struct TModbusOptions {
  bool Enable = false;
  int32_t Port = 502;
  bool NoError = false;   // the file form of "-MBNOERROR"
  std::string Bind;       // one IPv4 address; empty: all
  int MaxConnections = 32;
  int IdleSeconds = 60;
};
TModbusOptions LoadModbusOptions(const std::string& cfgFile);
// The setting joins the command line: its Port when enabled and "-M" gave none, and
// NoError=1 as "-MBNOERROR".
void ApplyModbusOptions(const TModbusOptions& options, int32_t& port, int32_t& noError);

// Atomic: the window's timer thread and any reader share them with the main thread.
struct TModbusCounters {
  std::atomic<uint32_t> ModbusReadCount{0};
  std::atomic<uint32_t> ModbusWriteCount{0};
  std::atomic<uint32_t> ModbusReadErrorCount{0};
  std::atomic<uint32_t> ModbusWriteErrorCount{0};
  std::atomic<uint32_t> ModbusIdleSeconds{0};
};

class TfrmModbusTCP : public TModbusHandler {
 public:
  // `post` queues a task for the main loop (the shell's Post).
  TfrmModbusTCP(TZelMain& main, TModbusListener::TPost post);
  ~TfrmModbusTCP() override;  // main thread
  TfrmModbusTCP(const TfrmModbusTCP&) = delete;
  TfrmModbusTCP& operator=(const TfrmModbusTCP&) = delete;

  // Window creation (main thread): slot sizes from the device count; with a non-zero port
  // the listener starts. False only when it should have started and could not; StartText
  // says which ("st1").
  bool Create(int32_t port, bool noError, const TModbusOptions& options = {});
  std::string StartText;
  // The counter text ("stRW").
  std::string CounterText() const;
  // "btnClear": the four request counters to 0.
  void ClearCounters();
  // "Timer1", every 2 s: the idle seconds go up by 2. Runs on its own thread while the
  // listener runs; tests call it directly.
  void Timer1();
  // The address table as HTML, or as CSV for a ".csv" name (main thread).
  [[nodiscard]] bool Export(const std::string& fileName) const;

  const TModbusSlots& Slots() const { return map_.Slots(); }
  int Port() const { return listener_ ? listener_->Port() : 0; }
  const TModbusListener* Listener() const { return listener_.get(); }
  TModbusCounters Counters;

  // Engine events, on the main thread. RegNr is 1-based.
  uint8_t OnReadHoldingRegisters(int regNr, int count, std::span<uint16_t> data) override;
  uint8_t OnWriteRegisters(int regNr, int count, std::span<const uint16_t> data) override;
  uint8_t OnReadCoils(int regNr, int count, std::span<bool> data) override;
  uint8_t OnReadInputBits(int regNr, int count, std::span<bool> data) override;
  uint8_t OnWriteCoils(int regNr, int count, std::span<const bool> data) override;

 private:
  void StopTimer();

  TZelMain& main_;
  TModbusRegisterMap map_;
  size_t devices_ = 0;  // the device count at creation; projects change only with a restart
  TModbusListener::TPost post_;
  TModbusConfig config_;
  std::unique_ptr<TModbusListener> listener_;
  std::mutex timerMutex_;
  std::condition_variable timerWake_;
  bool timerStop_ = false;  // guarded by timerMutex_
  std::thread timer_;
};
