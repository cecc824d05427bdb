// Text conversions used everywhere. Strings are UTF-8 inside the programs; UTF-16 only
// where a format carries it. Where a rule counts characters, it counts UTF-16 code units.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

std::u16string Utf8ToUtf16(std::string_view s);
std::string Utf16ToUtf8(std::u16string_view s);
// Number of UTF-16 code units of a UTF-8 text.
size_t Utf16Length(std::string_view s);
// The first n UTF-16 code units of a UTF-8 text (a surrogate pair is not split).
std::string Utf16Left(std::string_view s, size_t n);

std::string Trim(std::string_view s);
std::string UpperCase(std::string_view s);  // ASCII letters only, like the platform's
std::string LowerCase(std::string_view s);
bool SameText(std::string_view a, std::string_view b);  // ASCII case-insensitive

// 32-bit integer as the platform's string-to-int reads it: optional sign, decimal, or
// hexadecimal with "$", "0x" or "0X". Surrounding blanks or any other character fail.
std::optional<int32_t> TryStrToInt(std::string_view s);
int32_t StrToIntDef(std::string_view s, int32_t def);
// Decimal only (the command line's port and ClosePass checks).
std::optional<int32_t> TryDecimalToInt(std::string_view s);

// printf-style formatting into a std::string.
std::string Format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
