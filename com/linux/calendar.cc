// Calendar arithmetic of the DATE and FILETIME functions.
#include "com/linux/calendar.h"

#include <cmath>

namespace zelcom::internal {

// Days from civil date, using eras of 400 years (146 097 days) so the arithmetic stays
// exact for every year.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

bool ValidCivil(int64_t y, unsigned m, unsigned d) {
  if (m < 1 || m > 12 || d < 1) return false;
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return d <= kDays[m - 1] + (m == 2 && leap ? 1 : 0);
}

bool SplitDate(double date, DateParts* out) {
  if (std::isnan(date) || date <= kDateMin - 1.0 || date >= kDateMax + 1.0) return false;
  double whole = std::trunc(date);
  int64_t days = static_cast<int64_t>(whole);
  int64_t seconds = std::llround(std::fabs(date - whole) * 86400.0);
  if (seconds >= 86400) {  // rounding reached the next midnight
    seconds -= 86400;
    ++days;
  }
  days -= kDateEpochDays;  // now relative to 1970-01-01
  CivilFromDays(days, &out->year, &out->month, &out->day);
  out->hour = static_cast<unsigned>(seconds / 3600);
  out->minute = static_cast<unsigned>(seconds / 60 % 60);
  out->second = static_cast<unsigned>(seconds % 60);
  out->dayOfWeek = static_cast<unsigned>(((days % 7) + 7 + 4) % 7);  // 1970-01-01 was a Thursday
  return true;
}

double MakeDate(int64_t y, unsigned m, unsigned d, unsigned hh, unsigned mm, unsigned ss,
                unsigned ms) {
  double days = static_cast<double>(DaysFromCivil(y, m, d) + kDateEpochDays);
  double time = (hh * 3600.0 + mm * 60.0 + ss + ms / 1000.0) / 86400.0;
  return days >= 0 ? days + time : days - time;
}

}  // namespace zelcom::internal
