// Text conversions used everywhere. Strings are UTF-8 inside the programs; UTF-16 only
// where a format carries it. Where a rule counts characters, it counts UTF-16 code units.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The one UTF-8/UTF-16 converter of the programs. Input that is not well-formed becomes
// U+FFFD, one per maximal subpart of an ill-formed UTF-8 sequence (a lead byte with the
// continuation bytes that still fit it; any other byte alone) and one per lone surrogate,
// so a text comes back the same from every format that stores it.

// Decodes the sequence at the front of s (not empty): its code point, or U+FFFD, and
// the number of bytes it takes.
size_t DecodeUtf8(std::string_view s, char32_t& cp);
std::u16string Utf8ToUtf16(std::string_view s);
std::string Utf16ToUtf8(std::u16string_view s);
// The same into raw little-endian UTF-16 for the formats that hold it at any alignment:
// out has room for 2 * s.size() bytes; returns the bytes written.
size_t Utf8ToUtf16Le(std::string_view s, char* out);
// units UTF-16LE units at p into out, which has room for 3 * units bytes; returns the
// bytes written.
size_t Utf16LeToUtf8(const char* p, size_t units, char* out);
// The text with every ill-formed part replaced as above (unchanged when well-formed).
std::string ValidUtf8(std::string_view s);
// Text files as Windows reads INI files: a UTF-16 file (little- or big-endian) is known
// by its byte-order mark, anything else is 8-bit text, where a UTF-8 mark is not part of
// the first line.
enum class TTextEncoding { Utf8, Utf8Bom, Utf16Le, Utf16Be };
// The file's text as UTF-8 without its mark; encoding, when given, receives the form.
std::string DecodeTextFile(std::string_view bytes, TTextEncoding* encoding = nullptr);
// UTF-8 text as a file of the given form, with its mark.
std::string EncodeTextFile(std::string_view text, TTextEncoding encoding);
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
