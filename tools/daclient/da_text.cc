// The texts of ZelDaClient: values, qualities, time stamps and result codes.
#include "tools/daclient/da_text.h"

#include <charconv>
#include <cstdio>

namespace daclient {
namespace {

template <class T>
std::string Shortest(T v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

std::string Hex(unsigned long v, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*lX", digits, v);
  return buf;
}

// Elements of a one-dimensional array, each by ValueText.
std::string ArrayText(const VARIANT& v) {
  SAFEARRAY* psa = (v.vt & VT_BYREF) ? (v.pparray ? *v.pparray : nullptr) : v.parray;
  const VARTYPE base = v.vt & VT_TYPEMASK;
  LONG lo = 0, hi = -1;
  if (!psa || SafeArrayGetDim(psa) != 1 || FAILED(SafeArrayGetLBound(psa, 1, &lo)) ||
      FAILED(SafeArrayGetUBound(psa, 1, &hi)) || (base != VT_VARIANT && SafeArrayGetElemsize(psa) > sizeof(LONGLONG)))
    return "(array)";
  std::string out = "[";
  for (LONG i = lo; i <= hi; ++i) {
    VARIANT e;
    VariantInit(&e);
    // The element is copied into the value union; BSTRs and VARIANTs come as copies.
    HRESULT hr = base == VT_VARIANT ? SafeArrayGetElement(psa, &i, &e) : SafeArrayGetElement(psa, &i, &e.llVal);
    if (base != VT_VARIANT && SUCCEEDED(hr)) e.vt = base;
    if (i > lo) out += ", ";
    out += SUCCEEDED(hr) ? ValueText(e) : "?";
    VariantClear(&e);
  }
  return out + "]";
}

// Substatus words of the quality word (bits QQSSSS..).
const char* SubstatusText(WORD q) {
  switch (q & 0xFC) {
    case 0x04: return "configuration error";
    case 0x08: return "not connected";
    case 0x0C: return "device failure";
    case 0x10: return "sensor failure";
    case 0x14: return "last known value";
    case 0x18: return "comm failure";
    case 0x1C: return "out of service";
    case 0x20: return "waiting for initial data";
    case 0x44: return "last usable value";
    case 0x50: return "sensor not accurate";
    case 0x54: return "engineering units exceeded";
    case 0x58: return "sub-normal";
    case 0xD8: return "local override";
    default: return nullptr;
  }
}

bool SameWord(std::string_view a, const char* b) {
  std::string_view bv(b);
  if (a.size() != bv.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if ((a[i] >= 'A' && a[i] <= 'Z' ? a[i] - 'A' + 'a' : a[i]) != bv[i]) return false;
  return true;
}

// Numbers as an operator types them: digits, a sign, and for floating types a '.' and an
// exponent. A ',' is refused rather than read as the thousands separator ("1,5" is not
// 15), and a fraction for an integer item rather than rounded away.
bool NumberShaped(std::string_view text, VARTYPE type) {
  bool integer = false;
  switch (type) {
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4:
    case VT_I8: case VT_UI8: case VT_INT: case VT_UINT:
      integer = true;
      break;
    case VT_R4: case VT_R8: case VT_CY: case VT_DECIMAL:
      break;
    default:
      return true;  // not a number: the system's conversion judges
  }
  if (text.empty()) return false;
  for (char c : text) {
    const bool digit = c >= '0' && c <= '9';
    const bool sign = c == '+' || c == '-';
    const bool fraction = c == '.' || c == 'e' || c == 'E';
    if (!digit && !sign && !(fraction && !integer)) return false;
  }
  return true;
}

}  // namespace

std::string Narrow(const wchar_t* s) {
  if (!s || !*s) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, s, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string out(static_cast<size_t>(n - 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, s, -1, out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring Widen(std::string_view s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

std::string ValueText(const VARIANT& v) {
  if (v.vt & VT_ARRAY) return ArrayText(v);
  switch (v.vt) {
    case VT_EMPTY: return "(empty)";
    case VT_NULL: return "(null)";
    case VT_BOOL: return v.boolVal ? "true" : "false";
    case VT_I1: return std::to_string(static_cast<int>(v.cVal));
    case VT_UI1: return std::to_string(v.bVal);
    case VT_I2: return std::to_string(v.iVal);
    case VT_UI2: return std::to_string(v.uiVal);
    case VT_I4: return std::to_string(v.lVal);
    case VT_UI4: return std::to_string(v.ulVal);
    case VT_INT: return std::to_string(v.intVal);
    case VT_UINT: return std::to_string(v.uintVal);
    case VT_I8: return std::to_string(v.llVal);
    case VT_UI8: return std::to_string(v.ullVal);
    case VT_R4: return Shortest(v.fltVal);
    case VT_R8: return Shortest(v.dblVal);
    case VT_BSTR: return Narrow(v.bstrVal);
    case VT_ERROR: return "error " + Hex(static_cast<unsigned long>(v.scode), 8);
    default: break;
  }
  // Dates, currency and the rest: the system's own text in the invariant form.
  VARIANT s;
  VariantInit(&s);
  std::string out = "(type " + std::to_string(v.vt) + ")";
  if (SUCCEEDED(VariantChangeTypeEx(&s, const_cast<VARIANT*>(&v), LOCALE_INVARIANT, 0, VT_BSTR)))
    out = Narrow(s.bstrVal);
  VariantClear(&s);
  return out;
}

std::string QualityText(WORD q) {
  if (q == 0xC0) return "good";
  std::string out;
  switch (q & 0xC0) {
    case 0xC0: out = "good"; break;
    case 0x40: out = "uncertain"; break;
    case 0x00: out = "bad"; break;
    default: out = "invalid"; break;
  }
  if (const char* sub = SubstatusText(q)) out += std::string(", ") + sub;
  static const char* const kLimits[] = {nullptr, "low limited", "high limited", "constant"};
  if (const char* limit = kLimits[q & 0x03]) out += std::string(", ") + limit;
  return out + " (" + Hex(q, q > 0xFF ? 4 : 2) + ")";
}

std::string TimeText(const FILETIME& ft) {
  SYSTEMTIME st;
  if ((ft.dwLowDateTime == 0 && ft.dwHighDateTime == 0) || !FileTimeToSystemTime(&ft, &st)) return "-";
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", st.wYear, st.wMonth, st.wDay, st.wHour,
                st.wMinute, st.wSecond, st.wMilliseconds);
  return buf;
}

std::string HresultText(HRESULT hr) {
  std::string out = Hex(static_cast<unsigned long>(hr), 8);
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (n && text) {
    std::string s = Narrow(text);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    if (!s.empty()) out += " " + s;
  }
  if (text) LocalFree(text);
  return out;
}

HRESULT ParseValue(std::string_view text, VARTYPE type, VARIANT* out) {
  VariantInit(out);
  if (type == VT_BOOL) {
    // "-1" is VARIANT_TRUE as other tools print it.
    static const char* const kTrue[] = {"true", "1", "-1", "on", "yes"};
    static const char* const kFalse[] = {"false", "0", "off", "no"};
    for (const char* t : kTrue)
      if (SameWord(text, t)) return out->vt = VT_BOOL, out->boolVal = VARIANT_TRUE, S_OK;
    for (const char* f : kFalse)
      if (SameWord(text, f)) return out->vt = VT_BOOL, out->boolVal = VARIANT_FALSE, S_OK;
    return DISP_E_TYPEMISMATCH;
  }
  if (!NumberShaped(text, type)) return DISP_E_TYPEMISMATCH;
  const std::wstring wide = Widen(text);
  VARIANT s;
  VariantInit(&s);
  s.vt = VT_BSTR;
  s.bstrVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  if (!s.bstrVal) return E_OUTOFMEMORY;
  if (type == VT_EMPTY || type == VT_BSTR) {
    *out = s;
    return S_OK;
  }
  HRESULT hr = VariantChangeTypeEx(out, &s, LOCALE_INVARIANT, 0, type);
  VariantClear(&s);
  return hr;
}

}  // namespace daclient
