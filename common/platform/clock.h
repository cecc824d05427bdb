// The one clock of the programs: local wall-clock time in milliseconds since
// 1899-12-30 00:00 (0 means "never"), and the day-count date-time of archives and UI.
// Tests replace the time source so timers and caches can be driven without waiting.
#pragma once
#include <cstdint>

using TNowSource = int64_t (*)();

// Milliseconds since 1899-12-30 00:00 local time.
int64_t NowMs();
// Replaces the time source; nullptr restores the real clock. Test use only.
void SetNowSource(TNowSource source);
// The real clock, whatever source is set.
int64_t SystemNowMs();

// Day count since 1899-12-30 as a double (fraction = time of day).
double NowDateTime();
double MsToDateTime(int64_t ms);
int64_t DateTimeToMs(double dt);

// Monotonic milliseconds for intervals (never jumps with the wall clock).
int64_t MonotonicMs();
