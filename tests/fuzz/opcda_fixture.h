// Shared opening of the OPC DA fuzz targets: the reader that turns the input into calls
// and arguments, and the runtime their server objects are made over.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/common/da_runtime.h"

// Reads the input front to back; past its end every read gives zeros, so a call sequence
// never needs to check the length.
class TFuzzBytes {
 public:
  TFuzzBytes(const uint8_t* d, size_t n) : d_(d), n_(n) {}
  bool more() const { return i_ < n_; }
  uint8_t u8() { return i_ < n_ ? d_[i_++] : 0; }
  uint32_t u32() { return u8() | (u8() << 8) | (u8() << 16) | (static_cast<uint32_t>(u8()) << 24); }
  // A length below `limit`, then that many bytes.
  std::string raw(size_t limit) {
    std::string s(u8() % limit, '\0');
    for (char& c : s) c = static_cast<char>(u8());
    return s;
  }

 private:
  const uint8_t* d_;
  size_t n_;
  size_t i_ = 0;
};

// The target's runtime, built at the first input and kept for the process's life: it
// is never destroyed, so no server object of a run can outlive it.
inline TDaTestRuntime& FuzzRuntime(const std::vector<TDaTestDevice>& devices, bool online) {
  static TDaTestRuntime* runtime = new TDaTestRuntime(devices, online);
  return *runtime;
}
