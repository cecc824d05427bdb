// The holding-register map of the Modbus server: every device variable is a pair of
// registers (low word first, each word big-endian on the wire), every device's error code
// a status register from 64001 on. Slot sizes come from the device count at start.
// The pair functions run on the main thread, which owns projects and variables.
#pragma once
#include <cstdint>
#include <span>
#include <string>

#include "server/runtime/zel_var_item.h"

class TZelMain;

inline constexpr int kStatusRegister = 64001;  // register of device 0's error code
inline constexpr int kVariableRegisters = 64000;

// `VarsPerDevice` and `MaxDevices` for n devices; their product is always 32000 pairs.
struct TModbusSlots {
  int VarsPerDevice = 2000;
  int MaxDevices = 16;
  static constexpr TModbusSlots ForDevices(size_t n) {
    if (n <= 16) return {2000, 16};
    if (n <= 32) return {1000, 32};
    if (n <= 64) return {500, 64};
    if (n <= 160) return {200, 160};
    if (n <= 320) return {100, 320};
    return {40, 800};
  }
  // 1-based register of variable j of device k.
  int Register(int k, int j) const { return (k * VarsPerDevice + j) * 2 + 1; }
};

// "FLOAT32", "BOOL32" or "INT32" by the variable's data type.
constexpr const char* RegisterType(int dataType) {
  return dataType == VAR_ANALOG ? "FLOAT32" : dataType == VAR_DISC ? "BOOL32" : "INT32";
}
// A value as its register pair: [0] the low 16 bits, [1] the high 16 bits.
void EncodePair(int dataType, double value, uint16_t pair[2]);
double DecodePair(int dataType, const uint16_t pair[2]);

// Register work on the main thread. Pair p is variable p mod VarsPerDevice of device
// p / VarsPerDevice. The result is a Modbus exception code, 0 for success; the loop goes
// on after an error and the last one is reported.
class TModbusRegisterMap {
 public:
  TModbusRegisterMap(TZelMain& main, TModbusSlots slots, bool noError) : main_(&main), slots_(slots), noError_(noError) {}

  [[nodiscard]] uint8_t ReadPairs(int first, int count, std::span<uint16_t> words) const;
  // Values go through the project's SetValue, so they join its write queue.
  [[nodiscard]] uint8_t WritePairs(int first, int count, std::span<const uint16_t> words);
  // Status registers from device `first` on; registers beyond the last device stay 0.
  void ReadStatus(int first, int count, std::span<uint16_t> words) const;

  const TModbusSlots& Slots() const { return slots_; }

 private:
  bool Mapped(int k) const;

  TZelMain* main_;  // not owned
  TModbusSlots slots_;
  bool noError_;
};
