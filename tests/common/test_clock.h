// Both clocks of the programs under a test's hand: the wall clock (time stamps, stored
// login times) and the link clock (every interval and deadline), each moved on its own,
// so a test can step the wall clock as NTP or the end of daylight saving time does.
#pragma once
#include <atomic>
#include <cstdint>

#include "common/platform/clock.h"

class TTestClocks {
 public:
  TTestClocks(int64_t wall, int64_t steady) {
    wall_ = wall;
    steady_ = steady;
    SetNowSource([] { return wall_.load(); });
    SetSteadySource([] { return steady_.load(); });
  }
  ~TTestClocks() {
    SetNowSource(nullptr);
    SetSteadySource(nullptr);
  }
  TTestClocks(const TTestClocks&) = delete;
  TTestClocks& operator=(const TTestClocks&) = delete;

  // Time passes: both clocks move.
  void Advance(int64_t ms) {
    wall_ += ms;
    steady_ += ms;
  }
  // The wall clock alone is set (negative: stepped back).
  void StepWall(int64_t ms) { wall_ += ms; }
  int64_t Wall() const { return wall_; }
  int64_t Steady() const { return steady_; }

 private:
  // Plain function pointers are the sources: the values live here.
  static inline std::atomic<int64_t> wall_{0};
  static inline std::atomic<int64_t> steady_{0};
};
