// The texts ZelDaClient prints and parses: values, quality words, time stamps and
// result codes, all in UTF-8 for a console or a script reading the pipe.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <string>
#include <string_view>

namespace daclient {

std::string Narrow(const wchar_t* s);
std::wstring Widen(std::string_view s);

// A value as an operator reads it: numbers in the invariant form ("1.5", never "1,5"),
// booleans as true/false, texts as they are, arrays as [a, b]; "(empty)" for VT_EMPTY.
std::string ValueText(const VARIANT& v);
// The quality word: "good", or the main quality with its substatus and limit, e.g.
// "bad, not connected (0x08)".
std::string QualityText(WORD quality);
// UTC time stamp "2026-12-11T08:30:01.123Z"; "-" for a zero FILETIME.
std::string TimeText(const FILETIME& ft);
// "0x80070057" and the system's text for it when it has one.
std::string HresultText(HRESULT hr);

// Converts the text of the command line into a value of the item's type (VT_EMPTY: the
// text stays a string). Numbers in the invariant form; booleans from true/false/1/0/on/off.
HRESULT ParseValue(std::string_view text, VARTYPE type, VARIANT* out);

}  // namespace daclient
