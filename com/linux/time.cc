// FILETIME, SYSTEMTIME and DATE conversions. Local time is the machine's time zone at
// the moment converted (the platform uses the bias of the present moment; the moment's
// own offset keeps summer and winter stamps right the whole year).
#include <ctime>

#include "com/linux/api.h"
#include "com/linux/calendar.h"

namespace {
using namespace zelcom::internal;

// FILETIME ticks of 100 ns between 1601-01-01 and 1970-01-01.
constexpr int64_t kUnixEpochTicks = 116444736000000000LL;
constexpr int64_t kTicksPerSecond = 10000000;

int64_t Ticks(const FILETIME& ft) {
  return static_cast<int64_t>((uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime);
}
bool SetTicks(int64_t ticks, FILETIME* ft) {
  if (ticks < 0) return false;
  ft->dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks));
  ft->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
  return true;
}

// Seconds east of UTC of the local time zone at a UTC moment.
int64_t OffsetAtUtc(int64_t unixSeconds) {
  time_t t = static_cast<time_t>(unixSeconds);
  struct tm local;
  if (!localtime_r(&t, &local)) return 0;
  return local.tm_gmtoff;
}
}  // namespace

void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  SetTicks(kUnixEpochTicks + ts.tv_sec * kTicksPerSecond + ts.tv_nsec / 100,
           lpSystemTimeAsFileTime);
}

BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME st) {
  if (!lpFileTime || !st) return FALSE;
  int64_t ticks = Ticks(*lpFileTime);
  if (ticks < 0) return FALSE;  // the platform refuses the upper half of the range
  int64_t days = ticks / (86400 * kTicksPerSecond) + DaysFromCivil(1601, 1, 1);
  int64_t rest = ticks % (86400 * kTicksPerSecond);
  int64_t y;
  unsigned m, d;
  CivilFromDays(days, &y, &m, &d);
  if (y > 30827) return FALSE;
  st->wYear = static_cast<WORD>(y);
  st->wMonth = static_cast<WORD>(m);
  st->wDay = static_cast<WORD>(d);
  st->wDayOfWeek = static_cast<WORD>(((days % 7) + 7 + 4) % 7);
  st->wHour = static_cast<WORD>(rest / (3600 * kTicksPerSecond));
  st->wMinute = static_cast<WORD>(rest / (60 * kTicksPerSecond) % 60);
  st->wSecond = static_cast<WORD>(rest / kTicksPerSecond % 60);
  st->wMilliseconds = static_cast<WORD>(rest / 10000 % 1000);
  return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* st, LPFILETIME lpFileTime) {
  if (!st || !lpFileTime) return FALSE;
  if (st->wYear < 1601 || st->wYear > 30827 || !ValidCivil(st->wYear, st->wMonth, st->wDay) ||
      st->wHour > 23 || st->wMinute > 59 || st->wSecond > 59 || st->wMilliseconds > 999)
    return FALSE;
  int64_t days = DaysFromCivil(st->wYear, st->wMonth, st->wDay) - DaysFromCivil(1601, 1, 1);
  int64_t seconds = days * 86400 + st->wHour * 3600 + st->wMinute * 60 + st->wSecond;
  return SetTicks(seconds * kTicksPerSecond + st->wMilliseconds * 10000, lpFileTime);
}

BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime) {
  if (!lpFileTime || !lpLocalFileTime) return FALSE;
  int64_t ticks = Ticks(*lpFileTime);
  int64_t offset = OffsetAtUtc((ticks - kUnixEpochTicks) / kTicksPerSecond);
  return SetTicks(ticks + offset * kTicksPerSecond, lpLocalFileTime);
}

BOOL LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime, LPFILETIME lpFileTime) {
  if (!lpLocalFileTime || !lpFileTime) return FALSE;
  int64_t ticks = Ticks(*lpLocalFileTime);
  int64_t localSeconds = (ticks - kUnixEpochTicks) / kTicksPerSecond;
  // The offset at the local moment read as UTC, then again at the corrected moment,
  // settles on the right side of a change of offset.
  int64_t offset = OffsetAtUtc(localSeconds);
  offset = OffsetAtUtc(localSeconds - offset);
  return SetTicks(ticks - offset * kTicksPerSecond, lpFileTime);
}

INT VariantTimeToSystemTime(DOUBLE vtime, LPSYSTEMTIME st) {
  DateParts p;
  if (!st || !SplitDate(vtime, &p)) return FALSE;
  st->wYear = static_cast<WORD>(p.year);
  st->wMonth = static_cast<WORD>(p.month);
  st->wDay = static_cast<WORD>(p.day);
  st->wDayOfWeek = static_cast<WORD>(p.dayOfWeek);
  st->wHour = static_cast<WORD>(p.hour);
  st->wMinute = static_cast<WORD>(p.minute);
  st->wSecond = static_cast<WORD>(p.second);
  st->wMilliseconds = 0;
  return TRUE;
}

INT SystemTimeToVariantTime(LPSYSTEMTIME st, DOUBLE* pvtime) {
  if (!st || !pvtime) return FALSE;
  if (st->wYear < 100 || st->wYear > 9999 || !ValidCivil(st->wYear, st->wMonth, st->wDay) ||
      st->wHour > 23 || st->wMinute > 59 || st->wSecond > 59)
    return FALSE;
  *pvtime = MakeDate(st->wYear, st->wMonth, st->wDay, st->wHour, st->wMinute, st->wSecond);
  return TRUE;
}
