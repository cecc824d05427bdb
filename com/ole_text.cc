// OLE texts to and from UTF-8.
#include "com/ole_text.h"

#include <cstring>

#include "common/platform/text.h"

std::u16string OleToUtf16(const OLECHAR* s) {
  std::u16string out;
  if (s)
    for (; *s; ++s) out.push_back(static_cast<char16_t>(*s));
  return out;
}

std::string OleToUtf8(const OLECHAR* s) { return Utf16ToUtf8(OleToUtf16(s)); }

std::string BstrToUtf8(BSTR s) {
  UINT n = SysStringLen(s);
  std::u16string w(n, u'\0');
  for (UINT i = 0; i < n; ++i) w[i] = static_cast<char16_t>(s[i]);
  return Utf16ToUtf8(w);
}

BSTR Utf8ToBstr(std::string_view s) {
  std::u16string w = Utf8ToUtf16(s);
  BSTR b = SysAllocStringLen(nullptr, static_cast<UINT>(w.size()));
  if (!b) return nullptr;
  for (size_t i = 0; i < w.size(); ++i) b[i] = static_cast<OLECHAR>(w[i]);
  return b;
}

LPWSTR Utf16ToTaskString(std::u16string_view w) {
  auto* p = static_cast<LPWSTR>(CoTaskMemAlloc((w.size() + 1) * sizeof(OLECHAR)));
  if (!p) return nullptr;
  for (size_t i = 0; i < w.size(); ++i) p[i] = static_cast<OLECHAR>(w[i]);
  p[w.size()] = 0;
  return p;
}

LPWSTR Utf8ToTaskString(std::string_view s) { return Utf16ToTaskString(Utf8ToUtf16(s)); }
