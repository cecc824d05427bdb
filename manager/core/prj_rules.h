// Rules of the project editor that need no window: the device number's check digit, the
// display-name suggestion and the display-name character rule.
#pragma once
#include <string>

// The 11-digit device number with its last digit replaced by the check digit; empty when
// the input is not exactly 11 decimal digits.
std::string DeviceNumberFix(const std::string& number);
// 11 characters that equal their own DeviceNumberFix.
bool IsValidDeviceNumber(const std::string& number);
// The suggestion for a new project's display name: `base` (UTF-8) cut to 25 UTF-16 units,
// its trailing decimal number (0 when none) plus one. "Pump9" -> "Pump10", "" -> "1".
std::string NextDisplayName(const std::string& base);
// Empty when `name` (UTF-8) is a valid display name, else the message to show.
std::string CheckDisplayName(const std::string& name);
