// Texts across the COM boundary: BSTRs and task-allocated OLE strings to and from the
// UTF-8 of the programs, through the one UTF-8/UTF-16 converter (common/platform/text.h).
// Portable: OLECHAR is 16 bits on both platforms (char16_t here, wchar_t on Windows).
#pragma once
#include <string>
#include <string_view>
#include <utility>

#include "com/com.h"

// A null pointer is the empty text.
std::string OleToUtf8(const OLECHAR* s);
// All SysStringLen characters, embedded zeros included.
std::string BstrToUtf8(BSTR s);
std::u16string OleToUtf16(const OLECHAR* s);
// nullptr when out of memory.
BSTR Utf8ToBstr(std::string_view s);
// A task-allocated, zero-terminated copy for an out-parameter; nullptr when out of memory.
LPWSTR Utf8ToTaskString(std::string_view s);
LPWSTR Utf16ToTaskString(std::u16string_view s);

namespace zelcom {

// Owns one BSTR.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(BSTR adopted) : b_(adopted) {}
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  Bstr(Bstr&& o) noexcept : b_(std::exchange(o.b_, nullptr)) {}
  Bstr& operator=(Bstr&& o) noexcept {
    std::swap(b_, o.b_);
    return *this;
  }
  ~Bstr() { SysFreeString(b_); }
  BSTR Get() const { return b_; }
  BSTR Detach() { return std::exchange(b_, nullptr); }

 private:
  BSTR b_ = nullptr;
};

}  // namespace zelcom
