// Calendar arithmetic shared by the DATE and FILETIME functions: proleptic Gregorian
// days relative to 1970-01-01, and the split of an automation DATE into day and time.
#pragma once
#include <cstdint>

namespace zelcom::internal {

// Days between 1899-12-30 (DATE 0) and 1970-01-01.
constexpr int64_t kDateEpochDays = 25569;
// The DATE range the platform accepts: years 100 to 9999.
constexpr double kDateMin = -657434.0;
constexpr double kDateMax = 2958465.0;

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d);
void CivilFromDays(int64_t days, int64_t* y, unsigned* m, unsigned* d);
bool ValidCivil(int64_t y, unsigned m, unsigned d);

struct DateParts {
  int64_t year;
  unsigned month, day, hour, minute, second;
  unsigned dayOfWeek;  // 0 Sunday
};
// A DATE rounded to whole seconds; false outside the accepted range or for NaN.
bool SplitDate(double date, DateParts* out);
// The DATE of a calendar moment: for days before 1899-12-30 the time of day counts
// away from zero, as the format defines (-1.25 is 1899-12-29 06:00).
double MakeDate(int64_t y, unsigned m, unsigned d, unsigned hh, unsigned mm, unsigned ss,
                unsigned ms = 0);

}  // namespace zelcom::internal
