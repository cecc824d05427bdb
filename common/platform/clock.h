// The clocks of the programs: local wall-clock time in milliseconds since 1899-12-30
// 00:00 (0 means "never") and the day-count date-time of archives and UI, for time
// stamps; and the steady link clock for every interval and deadline, which never jumps
// when the wall clock is stepped. Tests replace either source so timers and caches can
// be driven without waiting.
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

// Monotonic milliseconds for intervals (never jumps with the wall clock). Always real:
// tests use it for their own time-outs.
int64_t MonotonicMs();

// The link clock: monotonic milliseconds, replaceable by tests. Values are only compared
// with each other; 0 still means "never" (the real source never gives 0).
int64_t SteadyMs();
// Replaces the link clock's source; nullptr restores the real one. Test use only.
void SetSteadySource(TNowSource source);
// A link-clock time as wall-clock NowMs time and back, through the present offset of
// the two clocks (time stamps of status lines, stored login times); 0 stays 0.
int64_t SteadyToWallMs(int64_t steady);
int64_t WallToSteadyMs(int64_t wall);
