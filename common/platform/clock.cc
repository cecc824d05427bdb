#include "common/platform/clock.h"

#include <atomic>
#include <cmath>
#include <ctime>
#ifdef _WIN32
#include <windows.h>
#endif

namespace {
std::atomic<TNowSource> g_source{nullptr};
std::atomic<TNowSource> g_steadySource{nullptr};
// Days from 1899-12-30 to 1970-01-01.
constexpr int64_t kUnixEpochDays = 25569;
constexpr int64_t kMsPerDay = 86400000;
}  // namespace

int64_t SystemNowMs() {
#ifdef _WIN32
  // Local time straight from the system (FILETIME counts 100 ns from 1601-01-01).
  FILETIME utc, local;
  GetSystemTimeAsFileTime(&utc);
  FileTimeToLocalFileTime(&utc, &local);
  const int64_t ticks = int64_t((uint64_t(local.dwHighDateTime) << 32) | local.dwLowDateTime);
  constexpr int64_t kFileTimeToUnixMs = 11644473600000;
  return kUnixEpochDays * kMsPerDay + ticks / 10000 - kFileTimeToUnixMs;
#else
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  localtime_r(&ts.tv_sec, &local);
  const int64_t localSec = int64_t(ts.tv_sec) + local.tm_gmtoff;
  return (kUnixEpochDays * 86400 + localSec) * 1000 + ts.tv_nsec / 1000000;
#endif
}

int64_t NowMs() {
  TNowSource s = g_source.load(std::memory_order_acquire);
  return s ? s() : SystemNowMs();
}

void SetNowSource(TNowSource source) { g_source.store(source, std::memory_order_release); }

double MsToDateTime(int64_t ms) { return double(ms) / double(kMsPerDay); }
int64_t DateTimeToMs(double dt) { return int64_t(std::llround(dt * double(kMsPerDay))); }
double NowDateTime() { return MsToDateTime(NowMs()); }

int64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t SteadyMs() {
  TNowSource s = g_steadySource.load(std::memory_order_acquire);
  // One added day keeps the real clock clear of 0 ("never") right after boot.
  return s ? s() : MonotonicMs() + kMsPerDay;
}

void SetSteadySource(TNowSource source) { g_steadySource.store(source, std::memory_order_release); }

int64_t SteadyToWallMs(int64_t steady) { return steady == 0 ? 0 : NowMs() - (SteadyMs() - steady); }
int64_t WallToSteadyMs(int64_t wall) { return wall == 0 ? 0 : SteadyMs() - (NowMs() - wall); }
