// UTF-8 <-> UTF-16 for the wide Win32 API (Windows build only).
#pragma once
#include <string>
#include <string_view>

#include "common/platform/text.h"

inline std::wstring WideText(std::string_view s) {
  const std::u16string u = Utf8ToUtf16(s);
  return std::wstring(u.begin(), u.end());
}
inline std::string NarrowText(std::wstring_view s) {
  return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(s.data()), s.size()));
}
