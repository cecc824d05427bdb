// Rules of the project editor that need no window: the device number's check digit, the
// display-name suggestion and the display-name character rule.
#include "manager/core/prj_rules.h"

#include <string_view>

#include "common/platform/text.h"

namespace {
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The forbidden characters of a display name: the ASCII punctuation and the space, which
// would clash with item-ID separators and file names. Full-width punctuation (U+3000,
// U+FF0C, U+3002, ...) stays accepted, as names typed with a Chinese input method carry
// it: the older rule listed those marks as their GB2312 byte pairs taken for UTF-16 code
// units (0xA1A1, 0xA3AC, ...), which are Yi syllables, so it never refused the marks
// themselves. Those syllables are letters and are not refused either.
constexpr std::string_view kForbidden = "`~!@#$%^&*()-=+[]{}|;:'\",<.>/? ";

// The decimal text of a digit run plus one, leading zeros dropped; any length, so a run
// beyond the 32-bit range still gives the next number instead of failing.
std::string Increment(std::string_view digits) {
  while (!digits.empty() && digits.front() == '0') digits.remove_prefix(1);
  std::string n(digits.empty() ? "0" : digits);
  for (size_t i = n.size(); i-- > 0;) {
    if (n[i] != '9') {
      ++n[i];
      return n;
    }
    n[i] = '0';
  }
  return "1" + n;
}
}  // namespace

std::string DeviceNumberFix(const std::string& number) {
  if (number.size() != 11) return {};
  for (char c : number)
    if (!IsDigit(c)) return {};
  int d[11];
  for (int i = 0; i < 11; ++i) d[i] = number[size_t(i)] - '0';
  const int s = (d[0] + d[3] + d[6] + d[9]) + 2 * (d[1] + d[4] + d[7]) + 3 * (d[2] + d[5] + d[8]);
  return number.substr(0, 10) + char('0' + 9 - s % 10);
}

bool IsValidDeviceNumber(const std::string& number) {
  return number.size() == 11 && DeviceNumberFix(number) == number;
}

std::string NextDisplayName(const std::string& base) {
  const std::string cut = Utf16Left(base, 25);
  size_t split = cut.size();
  while (split > 0 && IsDigit(cut[split - 1])) --split;
  return cut.substr(0, split) + Increment(std::string_view(cut).substr(split));
}

std::string CheckDisplayName(const std::string& name) {
  const std::string t = Trim(name);
  if (t.empty()) return "名称不可为空！";
  // Forbidden characters are all ASCII, so a byte scan finds the first one: no byte of a
  // multi-byte UTF-8 sequence is below 0x80.
  for (char c : t)
    if (kForbidden.find(c) != std::string_view::npos) return std::string("名称不可含有特殊字符\"") + c + "\"";
  if (IsDigit(t[0])) return "名称不可用数字开头！";
  return {};
}
