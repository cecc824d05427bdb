// VARIANT life cycle and VariantChangeType. The conversions follow the published
// VARIANT rules: integers from reals and currency round to nearest with ties to even,
// values outside the target's range are DISP_E_OVERFLOW, text that is no number (or
// no date) is DISP_E_TYPEMISMATCH, booleans are -1 and 0. Text is locale-free: '.' is
// the decimal separator and dates are written and read as ISO 8601, so a value
// converts the same way on every machine.
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "com/linux/calendar.h"
#include "com/linux/api.h"

namespace {

using zelcom::internal::DateParts;

bool IsScalarType(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY: case VT_NULL: case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_CY:
    case VT_DATE: case VT_BSTR: case VT_DISPATCH: case VT_ERROR: case VT_BOOL: case VT_UNKNOWN:
    case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4: case VT_I8: case VT_UI8: case VT_INT:
    case VT_UINT:
      return true;
    default:
      return false;
  }
}

// A source value reduced to one of four exact forms.
struct Number {
  enum Kind { kInt, kUInt, kReal, kCy } kind;
  int64_t i = 0;
  uint64_t u = 0;
  double d = 0;
};

struct IntRange {
  bool isSigned;
  int bits;
};

bool IntRangeOf(VARTYPE vt, IntRange* r) {
  switch (vt) {
    case VT_I1: *r = {true, 8}; return true;
    case VT_UI1: *r = {false, 8}; return true;
    case VT_I2: *r = {true, 16}; return true;
    case VT_UI2: *r = {false, 16}; return true;
    case VT_I4: case VT_INT: *r = {true, 32}; return true;
    case VT_UI4: case VT_UINT: *r = {false, 32}; return true;
    case VT_I8: *r = {true, 64}; return true;
    case VT_UI8: *r = {false, 64}; return true;
    default: return false;
  }
}

// Currency units (1/10 000) to a whole number, ties to even.
int64_t CyToWhole(int64_t cy) {
  int64_t q = cy / 10000, rem = cy % 10000;
  int64_t twice = (rem < 0 ? -rem : rem) * 2;
  if (twice > 10000 || (twice == 10000 && (q % 2) != 0)) q += cy < 0 ? -1 : 1;
  return q;
}

// The number as a signed or unsigned 64-bit integer within the range; false on overflow.
bool ToInteger(const Number& n, IntRange r, int64_t* si, uint64_t* ui) {
  bool neg = false;
  uint64_t mag = 0;
  switch (n.kind) {
    case Number::kInt:
      neg = n.i < 0;
      mag = neg ? 0 - static_cast<uint64_t>(n.i) : static_cast<uint64_t>(n.i);
      break;
    case Number::kUInt:
      neg = false;
      mag = n.u;
      break;
    case Number::kCy: {
      int64_t w = CyToWhole(n.i);
      neg = w < 0;
      mag = neg ? 0 - static_cast<uint64_t>(w) : static_cast<uint64_t>(w);
      break;
    }
    case Number::kReal: {
      if (std::isnan(n.d)) return false;
      double v = std::nearbyint(n.d);  // the default rounding mode: nearest, ties to even
      double limit = std::ldexp(1.0, r.isSigned ? r.bits - 1 : r.bits);
      if (v >= limit || v < (r.isSigned ? -limit : 0.0)) return false;
      neg = v < 0;
      mag = static_cast<uint64_t>(std::fabs(v));
      break;
    }
  }
  if (neg && mag == 0) neg = false;
  if (r.isSigned) {
    uint64_t maxPos = (uint64_t{1} << (r.bits - 1)) - 1;
    if (neg ? mag > maxPos + 1 : mag > maxPos) return false;
    *si = neg ? static_cast<int64_t>(0 - mag) : static_cast<int64_t>(mag);
  } else {
    uint64_t max = r.bits == 64 ? std::numeric_limits<uint64_t>::max()
                                : (uint64_t{1} << r.bits) - 1;
    if (neg || mag > max) return false;
    *ui = mag;
  }
  return true;
}

double ToReal(const Number& n) {
  switch (n.kind) {
    case Number::kInt: return static_cast<double>(n.i);
    case Number::kUInt: return static_cast<double>(n.u);
    case Number::kCy: return static_cast<double>(n.i) / 10000.0;
    case Number::kReal: return n.d;
  }
  return 0;
}

bool IsZero(const Number& n) {
  switch (n.kind) {
    case Number::kInt: case Number::kCy: return n.i == 0;
    case Number::kUInt: return n.u == 0;
    case Number::kReal: return n.d == 0;
  }
  return true;
}

bool ToCy(const Number& n, int64_t* cy) {
  switch (n.kind) {
    case Number::kCy: *cy = n.i; return true;
    case Number::kInt:
      return !__builtin_mul_overflow(n.i, int64_t{10000}, cy);
    case Number::kUInt:
      if (n.u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max() / 10000)) return false;
      *cy = static_cast<int64_t>(n.u) * 10000;
      return true;
    case Number::kReal: {
      if (std::isnan(n.d)) return false;
      double v = std::nearbyint(n.d * 10000.0);
      if (v >= 0x1p63 || v < -0x1p63) return false;
      *cy = static_cast<int64_t>(v);
      return true;
    }
  }
  return false;
}

// --- Text ---

// The text of a BSTR as ASCII; anything else cannot be a number or a date.
bool AsciiOf(BSTR s, std::string* out) {
  UINT len = SysStringLen(s);
  if (len > 1024) return false;  // no number or date is that long
  out->clear();
  for (UINT i = 0; i < len; ++i) {
    if (s[i] == 0 || s[i] > 0x7E) return false;
    out->push_back(static_cast<char>(s[i]));
  }
  size_t b = out->find_first_not_of(" \t");
  if (b == std::string::npos) {
    out->clear();
    return true;
  }
  *out = out->substr(b, out->find_last_not_of(" \t") - b + 1);
  return true;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Decimal text: [sign] digits [. digits] [e [sign] digits], at least one mantissa digit.
// Integers are kept exact up to 64 bits; anything else becomes a double.
HRESULT ParseNumber(BSTR s, Number* n) {
  std::string t;
  if (!AsciiOf(s, &t)) return DISP_E_TYPEMISMATCH;
  size_t p = 0;
  bool neg = false;
  if (p < t.size() && (t[p] == '+' || t[p] == '-')) neg = t[p++] == '-';
  size_t mantStart = p, digits = 0;
  while (p < t.size() && IsDigit(t[p])) ++p, ++digits;
  size_t intEnd = p;
  bool fraction = false, exponent = false, negExponent = false;
  if (p < t.size() && t[p] == '.') {
    fraction = true;
    ++p;
    while (p < t.size() && IsDigit(t[p])) ++p, ++digits;
  }
  if (digits == 0) return DISP_E_TYPEMISMATCH;
  if (p < t.size() && (t[p] == 'e' || t[p] == 'E')) {
    exponent = true;
    ++p;
    if (p < t.size() && (t[p] == '+' || t[p] == '-')) negExponent = t[p++] == '-';
    size_t expDigits = 0;
    while (p < t.size() && IsDigit(t[p])) ++p, ++expDigits;
    if (expDigits == 0) return DISP_E_TYPEMISMATCH;
  }
  if (p != t.size()) return DISP_E_TYPEMISMATCH;

  if (!fraction && !exponent) {
    uint64_t mag = 0;
    auto [end, ec] = std::from_chars(t.data() + mantStart, t.data() + intEnd, mag);
    if (ec == std::errc() && end == t.data() + intEnd) {
      if (!neg) {
        *n = {Number::kUInt, 0, mag, 0};
      } else if (mag <= uint64_t{1} << 63) {
        *n = {Number::kInt, static_cast<int64_t>(0 - mag), 0, 0};
      } else {
        *n = {Number::kReal, 0, 0, -static_cast<double>(mag)};
      }
      return S_OK;
    }
    // Beyond 64 bits: continue as a real, which overflows every integer target.
  }
  double d = 0;
  auto [end, ec] = std::from_chars(t.data() + mantStart, t.data() + t.size(), d);
  if (end != t.data() + t.size()) return DISP_E_TYPEMISMATCH;
  if (ec == std::errc::result_out_of_range) {
    if (!negExponent) return DISP_E_OVERFLOW;
    d = 0;  // underflow is zero
  } else if (ec != std::errc()) {
    return DISP_E_TYPEMISMATCH;
  }
  *n = {Number::kReal, 0, 0, neg ? -d : d};
  return S_OK;
}

bool EqualsNoCase(const std::string& a, const char* b) {
  size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != b[i]) return false;
  }
  return true;
}

// Reads up to maxDigits decimal digits as an unsigned number; false when there is none.
bool ReadUnsigned(const std::string& t, size_t* p, size_t maxDigits, unsigned* v) {
  size_t start = *p;
  *v = 0;
  while (*p < t.size() && IsDigit(t[*p]) && *p - start < maxDigits)
    *v = *v * 10 + static_cast<unsigned>(t[(*p)++] - '0');
  return *p > start;
}

// "YYYY-MM-DD", "YYYY-MM-DD hh:mm[:ss]" (or 'T' between), "hh:mm[:ss]".
HRESULT ParseDate(BSTR s, double* date) {
  std::string t;
  if (!AsciiOf(s, &t)) return DISP_E_TYPEMISMATCH;
  size_t p = 0;
  unsigned y = 1899, mo = 12, d = 30, hh = 0, mi = 0, ss = 0;
  bool hasDate = false, hasTime = false;
  unsigned first = 0;
  if (!ReadUnsigned(t, &p, 4, &first)) return DISP_E_TYPEMISMATCH;
  if (p < t.size() && t[p] == '-') {
    y = first;
    hasDate = true;
    ++p;
    if (!ReadUnsigned(t, &p, 2, &mo) || p >= t.size() || t[p++] != '-' ||
        !ReadUnsigned(t, &p, 2, &d))
      return DISP_E_TYPEMISMATCH;
    if (p < t.size()) {
      if (t[p] != ' ' && t[p] != 'T') return DISP_E_TYPEMISMATCH;
      ++p;
      if (!ReadUnsigned(t, &p, 2, &hh)) return DISP_E_TYPEMISMATCH;
      hasTime = true;
    }
  } else {
    hh = first;
    hasTime = true;
  }
  if (hasTime) {
    if (p >= t.size() || t[p++] != ':' || !ReadUnsigned(t, &p, 2, &mi))
      return DISP_E_TYPEMISMATCH;
    if (p < t.size() && t[p] == ':') {
      ++p;
      if (!ReadUnsigned(t, &p, 2, &ss)) return DISP_E_TYPEMISMATCH;
    }
  }
  if (p != t.size() || hh > 23 || mi > 59 || ss > 59) return DISP_E_TYPEMISMATCH;
  if (hasDate && (y < 100 || !zelcom::internal::ValidCivil(y, mo, d))) return DISP_E_TYPEMISMATCH;
  *date = zelcom::internal::MakeDate(y, mo, d, hh, mi, ss);
  return S_OK;
}

// Shortest-form text with the given significant digits, exponent as "E+20".
template <class Real>
std::string RealText(Real v, int precision) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-Infinity" : "Infinity";
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, precision);
  std::string s(buf, ec == std::errc() ? end : buf);
  for (char& c : s)
    if (c == 'e') c = 'E';
  return s;
}

std::string CyText(int64_t cy) {
  bool neg = cy < 0;
  uint64_t mag = neg ? 0 - static_cast<uint64_t>(cy) : static_cast<uint64_t>(cy);
  std::string s = (neg ? "-" : "") + std::to_string(mag / 10000);
  unsigned frac = static_cast<unsigned>(mag % 10000);
  if (frac != 0) {
    char buf[8];
    std::snprintf(buf, sizeof buf, ".%04u", frac);
    std::string f(buf);
    while (f.back() == '0') f.pop_back();
    s += f;
  }
  return s;
}

// Midnight shows only the date, DATE 0 with a time only the time, as the platform does;
// the fields are ISO 8601.
bool DateText(double date, std::string* out) {
  DateParts p;
  if (!zelcom::internal::SplitDate(date, &p)) return false;
  char buf[40];
  bool noTime = p.hour == 0 && p.minute == 0 && p.second == 0;
  bool noDate = p.year == 1899 && p.month == 12 && p.day == 30;
  if (noDate && !noTime)
    std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", p.hour, p.minute, p.second);
  else if (noTime)
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u", static_cast<long long>(p.year), p.month,
                  p.day);
  else
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u %02u:%02u:%02u",
                  static_cast<long long>(p.year), p.month, p.day, p.hour, p.minute, p.second);
  *out = buf;
  return true;
}

HRESULT MakeBstr(const std::string& ascii, VARIANT* out) {
  std::u16string w(ascii.begin(), ascii.end());
  BSTR b = SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
  if (!b) return E_OUTOFMEMORY;
  out->vt = VT_BSTR;
  out->bstrVal = b;
  return S_OK;
}

// The number a scalar source stands for; mismatch for types that carry none.
HRESULT NumberOf(const VARIANT& v, Number* n) {
  switch (v.vt) {
    case VT_EMPTY: *n = {Number::kInt, 0, 0, 0}; return S_OK;
    case VT_I1: *n = {Number::kInt, v.cVal, 0, 0}; return S_OK;
    case VT_UI1: *n = {Number::kInt, v.bVal, 0, 0}; return S_OK;
    case VT_I2: *n = {Number::kInt, v.iVal, 0, 0}; return S_OK;
    case VT_UI2: *n = {Number::kInt, v.uiVal, 0, 0}; return S_OK;
    case VT_I4: case VT_INT: *n = {Number::kInt, v.lVal, 0, 0}; return S_OK;
    case VT_UI4: case VT_UINT: *n = {Number::kInt, v.ulVal, 0, 0}; return S_OK;
    case VT_I8: *n = {Number::kInt, v.llVal, 0, 0}; return S_OK;
    case VT_UI8: *n = {Number::kUInt, 0, v.ullVal, 0}; return S_OK;
    case VT_BOOL: *n = {Number::kInt, v.boolVal ? -1 : 0, 0, 0}; return S_OK;
    case VT_R4: *n = {Number::kReal, 0, 0, v.fltVal}; return S_OK;
    case VT_R8: *n = {Number::kReal, 0, 0, v.dblVal}; return S_OK;
    case VT_DATE: *n = {Number::kReal, 0, 0, v.date}; return S_OK;
    case VT_CY: *n = {Number::kCy, v.cyVal.int64, 0, 0}; return S_OK;
    case VT_BSTR: return ParseNumber(v.bstrVal, n);
    default: return DISP_E_TYPEMISMATCH;
  }
}

HRESULT ToText(const VARIANT& src, USHORT flags, VARIANT* out) {
  std::string s;
  switch (src.vt) {
    case VT_EMPTY: break;
    case VT_BOOL:
      if (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL))
        s = src.boolVal ? "True" : "False";
      else
        s = src.boolVal ? "-1" : "0";
      break;
    case VT_R4: s = RealText(src.fltVal, 7); break;
    case VT_R8: s = RealText(src.dblVal, 15); break;
    case VT_CY: s = CyText(src.cyVal.int64); break;
    case VT_DATE:
      if (!DateText(src.date, &s)) return DISP_E_OVERFLOW;
      break;
    case VT_UI8: s = std::to_string(src.ullVal); break;
    default: {
      Number n;
      HRESULT hr = NumberOf(src, &n);
      if (FAILED(hr)) return hr;
      s = std::to_string(n.i);
    }
  }
  return MakeBstr(s, out);
}

HRESULT StoreInteger(VARTYPE vt, const Number& n, VARIANT* out) {
  IntRange r;
  IntRangeOf(vt, &r);
  int64_t si = 0;
  uint64_t ui = 0;
  if (!ToInteger(n, r, &si, &ui)) return DISP_E_OVERFLOW;
  out->vt = vt;
  switch (vt) {
    case VT_I1: out->cVal = static_cast<CHAR>(si); break;
    case VT_UI1: out->bVal = static_cast<BYTE>(ui); break;
    case VT_I2: out->iVal = static_cast<SHORT>(si); break;
    case VT_UI2: out->uiVal = static_cast<USHORT>(ui); break;
    case VT_I4: case VT_INT: out->lVal = static_cast<LONG>(si); break;
    case VT_UI4: case VT_UINT: out->ulVal = static_cast<ULONG>(ui); break;
    case VT_I8: out->llVal = si; break;
    case VT_UI8: out->ullVal = ui; break;
  }
  return S_OK;
}

// One conversion of a by-value scalar source into an empty result.
HRESULT Convert(const VARIANT& src, USHORT flags, VARTYPE vt, VARIANT* out) {
  if (vt == VT_EMPTY) return S_OK;
  if (src.vt == vt) return VariantCopy(out, &src);
  if (src.vt == VT_DISPATCH && vt == VT_UNKNOWN) {
    IUnknown* unk = nullptr;
    if (src.pdispVal &&
        FAILED(src.pdispVal->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk))))
      return DISP_E_TYPEMISMATCH;
    out->vt = VT_UNKNOWN;
    out->punkVal = unk;
    return S_OK;
  }
  if (vt == VT_NULL) return src.vt == VT_EMPTY ? (out->vt = VT_NULL, S_OK) : DISP_E_TYPEMISMATCH;
  if (src.vt == VT_NULL || src.vt == VT_ERROR || src.vt == VT_UNKNOWN || src.vt == VT_DISPATCH)
    return DISP_E_TYPEMISMATCH;
  if (vt == VT_ERROR || vt == VT_UNKNOWN || vt == VT_DISPATCH) return DISP_E_TYPEMISMATCH;
  if (vt == VT_BSTR) return ToText(src, flags, out);

  if (src.vt == VT_BSTR && vt == VT_BOOL) {
    std::string t;
    if (AsciiOf(src.bstrVal, &t) && (EqualsNoCase(t, "true") || EqualsNoCase(t, "false"))) {
      out->vt = VT_BOOL;
      out->boolVal = EqualsNoCase(t, "true") ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    }
  }
  if (src.vt == VT_BSTR && vt == VT_DATE) {
    double d;
    HRESULT hr = ParseDate(src.bstrVal, &d);
    if (FAILED(hr)) return hr;
    out->vt = VT_DATE;
    out->date = d;
    return S_OK;
  }

  Number n;
  HRESULT hr = NumberOf(src, &n);
  if (FAILED(hr)) return hr;
  // Booleans are -1 and 0; an unsigned target takes the bits of -1 (all set).
  if (src.vt == VT_BOOL && src.boolVal) {
    switch (vt) {
      case VT_UI1: case VT_UI2: case VT_UI4: case VT_UINT: case VT_UI8: {
        IntRange r;
        IntRangeOf(vt, &r);
        n = {Number::kUInt, 0,
             r.bits == 64 ? std::numeric_limits<uint64_t>::max() : (uint64_t{1} << r.bits) - 1, 0};
        break;
      }
      default: break;
    }
  }

  IntRange range;
  if (IntRangeOf(vt, &range)) return StoreInteger(vt, n, out);
  switch (vt) {
    case VT_BOOL:
      out->vt = VT_BOOL;
      out->boolVal = IsZero(n) ? VARIANT_FALSE : VARIANT_TRUE;
      return S_OK;
    case VT_R8:
      out->vt = VT_R8;
      out->dblVal = ToReal(n);
      return S_OK;
    case VT_R4: {
      double d = ToReal(n);
      if (!std::isnan(d) && std::fabs(d) > FLT_MAX) return DISP_E_OVERFLOW;
      out->vt = VT_R4;
      out->fltVal = static_cast<float>(d);
      return S_OK;
    }
    case VT_DATE: {
      double d = ToReal(n);
      if (std::isnan(d) || d <= zelcom::internal::kDateMin - 1.0 ||
          d >= zelcom::internal::kDateMax + 1.0)
        return DISP_E_OVERFLOW;
      out->vt = VT_DATE;
      out->date = d;
      return S_OK;
    }
    case VT_CY: {
      int64_t cy;
      if (!ToCy(n, &cy)) return DISP_E_OVERFLOW;
      out->vt = VT_CY;
      out->cyVal.int64 = cy;
      return S_OK;
    }
  }
  return DISP_E_TYPEMISMATCH;
}

// A by-reference source seen as the by-value variant it points to (nothing owned).
bool Dereference(const VARIANT& src, VARIANT* plain) {
  VariantInit(plain);
  VARTYPE base = src.vt & ~VT_BYREF;
  if (!src.byref || base == VT_VARIANT) {
    if (base == VT_VARIANT && src.pvarVal && !(src.pvarVal->vt & VT_BYREF)) {
      *plain = *src.pvarVal;
      return true;
    }
    return false;
  }
  plain->vt = base;
  switch (base) {
    case VT_I1: plain->cVal = *src.pcVal; break;
    case VT_UI1: plain->bVal = *src.pbVal; break;
    case VT_I2: plain->iVal = *src.piVal; break;
    case VT_UI2: plain->uiVal = *src.puiVal; break;
    case VT_I4: case VT_INT: plain->lVal = *src.plVal; break;
    case VT_UI4: case VT_UINT: plain->ulVal = *src.pulVal; break;
    case VT_I8: plain->llVal = *src.pllVal; break;
    case VT_UI8: plain->ullVal = *src.pullVal; break;
    case VT_R4: plain->fltVal = *src.pfltVal; break;
    case VT_R8: plain->dblVal = *src.pdblVal; break;
    case VT_DATE: plain->date = *src.pdate; break;
    case VT_CY: plain->cyVal = *src.pcyVal; break;
    case VT_BOOL: plain->boolVal = *src.pboolVal; break;
    case VT_ERROR: plain->scode = *src.pscode; break;
    case VT_BSTR: plain->bstrVal = *src.pbstrVal; break;
    case VT_UNKNOWN: plain->punkVal = *src.ppunkVal; break;
    case VT_DISPATCH: plain->pdispVal = *src.ppdispVal; break;
    default: return false;
  }
  return true;
}

}  // namespace

void VariantInit(VARIANTARG* pvarg) {
  if (!pvarg) return;
  pvarg->vt = VT_EMPTY;
  pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
  pvarg->llVal = 0;
}

HRESULT VariantClear(VARIANTARG* pvarg) {
  if (!pvarg) return E_INVALIDARG;
  VARTYPE vt = pvarg->vt;
  // By-reference values belong to someone else; arrays are not served by this runtime.
  if (!(vt & VT_BYREF)) {
    if (!IsScalarType(vt)) return DISP_E_BADVARTYPE;
    if (vt == VT_BSTR) SysFreeString(pvarg->bstrVal);
    if ((vt == VT_UNKNOWN || vt == VT_DISPATCH) && pvarg->punkVal) pvarg->punkVal->Release();
  } else if (!IsScalarType(vt & ~VT_BYREF) && (vt & ~VT_BYREF) != VT_VARIANT) {
    return DISP_E_BADVARTYPE;
  }
  VariantInit(pvarg);
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
  if (!pvargDest || !pvargSrc) return E_INVALIDARG;
  if (pvargDest == pvargSrc) return S_OK;
  VARTYPE vt = pvargSrc->vt;
  if (!(vt & VT_BYREF) && !IsScalarType(vt)) return DISP_E_BADVARTYPE;
  BSTR copy = nullptr;
  if (vt == VT_BSTR && pvargSrc->bstrVal) {
    copy = SysAllocStringLen(pvargSrc->bstrVal, SysStringLen(pvargSrc->bstrVal));
    if (!copy) return E_OUTOFMEMORY;
  }
  HRESULT hr = VariantClear(pvargDest);
  if (FAILED(hr)) {
    SysFreeString(copy);
    return hr;
  }
  *pvargDest = *pvargSrc;
  if (vt == VT_BSTR) pvargDest->bstrVal = copy;
  if ((vt == VT_UNKNOWN || vt == VT_DISPATCH) && pvargDest->punkVal) pvargDest->punkVal->AddRef();
  return S_OK;
}

HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                          VARTYPE vt) {
  if (!pvargDest || !pvarSrc) return E_INVALIDARG;
  if (!IsScalarType(vt)) return DISP_E_BADVARTYPE;
  VARIANT plain;
  if (pvarSrc->vt & VT_BYREF) {
    if (!Dereference(*pvarSrc, &plain)) return DISP_E_BADVARTYPE;
  } else {
    if (!IsScalarType(pvarSrc->vt)) return DISP_E_BADVARTYPE;
    plain = *pvarSrc;
  }
  // Built aside, so the destination (which may be the source) changes only on success.
  VARIANT result;
  VariantInit(&result);
  HRESULT hr = Convert(plain, wFlags, vt, &result);
  if (FAILED(hr)) {
    VariantClear(&result);
    return hr;
  }
  hr = VariantClear(pvargDest);
  if (FAILED(hr)) {
    VariantClear(&result);
    return hr;
  }
  *pvargDest = result;
  return S_OK;
}

HRESULT VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID,
                            USHORT wFlags, VARTYPE vt) {
  return VariantChangeType(pvargDest, pvarSrc, wFlags, vt);
}
