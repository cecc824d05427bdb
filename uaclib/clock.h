// The server's clock as a small interface, so tests can drive time themselves.
#ifndef UACLIB_CLOCK_H
#define UACLIB_CLOCK_H

#include <chrono>
#include <cstdint>

#include "uaclib/encoding.h"

namespace uaclib {

class Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic milliseconds for timers.
  virtual int64_t NowMs() = 0;
  // Wall-clock time for time stamps.
  virtual DateTime UtcNow() = 0;
};

class SystemClock final : public Clock {
 public:
  int64_t NowMs() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  DateTime UtcNow() override {
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                  std::chrono::system_clock::now().time_since_epoch())
                  .count();
    return us * 10 + 116444736000000000LL;
  }
};

}  // namespace uaclib
#endif
