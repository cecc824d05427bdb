// Text conversions, number parsing and formatting shared by all programs.
#include "common/platform/text.h"

#include <bit>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

static_assert(std::endian::native == std::endian::little, "UTF-16 units are handled as little-endian words");

namespace {

inline uint64_t Load64(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

inline void PutUnitLe(char*& d, uint32_t u) {
  d[0] = char(u & 0xFF);
  d[1] = char(u >> 8);
  d += 2;
}

inline void PutUtf8(char*& d, char32_t cp) {
  if (cp < 0x80) {
    *d++ = char(cp);
  } else if (cp < 0x800) {
    *d++ = char(0xC0 | (cp >> 6));
    *d++ = char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *d++ = char(0xE0 | (cp >> 12));
    *d++ = char(0x80 | ((cp >> 6) & 0x3F));
    *d++ = char(0x80 | (cp & 0x3F));
  } else {
    *d++ = char(0xF0 | (cp >> 18));
    *d++ = char(0x80 | ((cp >> 12) & 0x3F));
    *d++ = char(0x80 | ((cp >> 6) & 0x3F));
    *d++ = char(0x80 | (cp & 0x3F));
  }
}

// Eight bytes below 0x80 (eight ASCII chars, or four ASCII UTF-16LE units).
constexpr uint64_t kHigh8 = 0x8080808080808080ull;
constexpr uint64_t kHighUnits = 0xFF80FF80FF80FF80ull;

}  // namespace

// Well-formed sequences as the Unicode standard lists them: the second byte's range
// depends on the lead (E0 A0.., ED ..9F, F0 90.., F4 ..8F), which excludes overlong
// forms, surrogates and code points above U+10FFFF.
size_t DecodeUtf8(std::string_view s, char32_t& cp) {
  const auto byte = [&s](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned c = byte(0);
  if (c < 0x80) {
    cp = c;
    return 1;
  }
  size_t len;
  unsigned lo = 0x80, hi = 0xBF;
  char32_t v;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2, v = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3, v = c & 0x0F;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4, v = c & 0x07;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    cp = 0xFFFD;
    return 1;
  }
  for (size_t k = 1; k < len; ++k) {
    if (k >= s.size() || byte(k) < lo || byte(k) > hi) {
      cp = 0xFFFD;  // the maximal subpart ends before this byte
      return k;
    }
    v = v << 6 | (byte(k) & 0x3F);
    lo = 0x80, hi = 0xBF;
  }
  cp = v;
  return len;
}

size_t Utf8ToUtf16Le(std::string_view s, char* out) {
  char* d = out;
  size_t i = 0;
  while (i < s.size()) {
    if (i + 8 <= s.size()) {
      const uint64_t w = Load64(s.data() + i);
      if ((w & kHigh8) == 0) {
        for (int k = 0; k < 8; ++k) {
          d[2 * k] = char(w >> (8 * k));
          d[2 * k + 1] = 0;
        }
        d += 16;
        i += 8;
        continue;
      }
    }
    char32_t cp;
    i += DecodeUtf8(s.substr(i), cp);
    if (cp >= 0x10000) {
      PutUnitLe(d, 0xD800 + ((cp - 0x10000) >> 10));
      PutUnitLe(d, 0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      PutUnitLe(d, cp);
    }
  }
  return size_t(d - out);
}

size_t Utf16LeToUtf8(const char* p, size_t units, char* out) {
  char* d = out;
  const auto unit = [p](size_t k) { return uint32_t(static_cast<unsigned char>(p[2 * k])) | uint32_t(static_cast<unsigned char>(p[2 * k + 1])) << 8; };
  size_t i = 0;
  while (i < units) {
    if (i + 4 <= units) {
      const uint64_t w = Load64(p + 2 * i);
      if ((w & kHighUnits) == 0) {
        for (int k = 0; k < 4; ++k) *d++ = char(w >> (16 * k));
        i += 4;
        continue;
      }
    }
    char32_t cp = unit(i++);
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      if (cp <= 0xDBFF && i < units && unit(i) >= 0xDC00 && unit(i) <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (unit(i) - 0xDC00);
        ++i;
      } else {
        cp = 0xFFFD;  // lone surrogate
      }
    }
    PutUtf8(d, cp);
  }
  return size_t(d - out);
}

std::u16string Utf8ToUtf16(std::string_view s) {
  // The units are written as their little-endian bytes: the programs run on little-endian
  // machines only.
  std::u16string out(s.size(), u'\0');
  out.resize(Utf8ToUtf16Le(s, reinterpret_cast<char*>(out.data())) / 2);
  return out;
}

std::string Utf16ToUtf8(std::u16string_view s) {
  std::string out(3 * s.size(), '\0');
  out.resize(Utf16LeToUtf8(reinterpret_cast<const char*>(s.data()), s.size(), out.data()));
  return out;
}

std::string ValidUtf8(std::string_view s) {
  size_t i = 0;
  char32_t cp;
  for (size_t n; i < s.size() && (n = DecodeUtf8(s.substr(i), cp)) != 0 && cp != 0xFFFD; i += n) {
  }
  if (i == s.size()) return std::string(s);
  std::string out(s.substr(0, i));
  while (i < s.size()) {
    const size_t n = DecodeUtf8(s.substr(i), cp);
    char buf[4];
    char* d = buf;
    PutUtf8(d, cp);
    out.append(buf, size_t(d - buf));
    i += n;
  }
  return out;
}

size_t Utf16Length(std::string_view s) {
  size_t n = 0;
  char32_t cp;
  for (size_t i = 0; i < s.size();) {
    i += DecodeUtf8(s.substr(i), cp);
    n += cp >= 0x10000 ? 2 : 1;
  }
  return n;
}

std::string Utf16Left(std::string_view s, size_t n) {
  size_t units = 0, i = 0;
  char32_t cp;
  while (i < s.size()) {
    const size_t len = DecodeUtf8(s.substr(i), cp);
    const size_t u = cp >= 0x10000 ? 2 : 1;
    if (units + u > n) break;
    units += u;
    i += len;
  }
  return std::string(s.substr(0, i));
}

std::string DecodeTextFile(std::string_view bytes, TTextEncoding* encoding) {
  TTextEncoding form = TTextEncoding::Utf8;
  std::string out;
  if (bytes.size() >= 2 && (bytes.substr(0, 2) == "\xFF\xFE" || bytes.substr(0, 2) == "\xFE\xFF")) {
    form = bytes[0] == '\xFF' ? TTextEncoding::Utf16Le : TTextEncoding::Utf16Be;
    std::string le(bytes.substr(2, (bytes.size() - 2) & ~size_t(1)));  // an odd last byte is no unit
    if (form == TTextEncoding::Utf16Be)
      for (size_t i = 0; i + 1 < le.size(); i += 2) std::swap(le[i], le[i + 1]);
    out.resize(3 * (le.size() / 2));
    out.resize(Utf16LeToUtf8(le.data(), le.size() / 2, out.data()));
  } else if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    form = TTextEncoding::Utf8Bom;
    out = bytes.substr(3);
  } else {
    out = bytes;
  }
  if (encoding) *encoding = form;
  return out;
}

std::string EncodeTextFile(std::string_view text, TTextEncoding encoding) {
  switch (encoding) {
    case TTextEncoding::Utf8:
      return std::string(text);
    case TTextEncoding::Utf8Bom:
      return "\xEF\xBB\xBF" + std::string(text);
    case TTextEncoding::Utf16Le:
    case TTextEncoding::Utf16Be:
      break;
  }
  std::string out(2 + 2 * text.size(), '\0');
  out.resize(2 + Utf8ToUtf16Le(text, out.data() + 2));
  out[0] = '\xFF', out[1] = '\xFE';
  if (encoding == TTextEncoding::Utf16Be)
    for (size_t i = 0; i + 1 < out.size(); i += 2) std::swap(out[i], out[i + 1]);
  return out;
}

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return std::string(s.substr(b, e - b));
}

std::string UpperCase(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return r;
}

std::string LowerCase(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return r;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

static std::optional<int32_t> ParseInt(std::string_view s, bool allowHex) {
  size_t i = 0;
  bool neg = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) {
    neg = s[i] == '-';
    ++i;
  }
  int base = 10;
  if (allowHex && i < s.size() && s[i] == '$') {
    base = 16;
    ++i;
  } else if (allowHex && i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= s.size()) return std::nullopt;
  int64_t v = 0;
  for (; i < s.size(); ++i) {
    int d;
    char c = s[i];
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return std::nullopt;
    v = v * base + d;
    // Hexadecimal may use the full 32 bits (0xFFFFFFFF is -1), decimal must fit int32.
    if (v > (base == 16 ? int64_t(0xFFFFFFFF) : int64_t(0x80000000))) return std::nullopt;
  }
  if (base == 16) {
    int32_t r = int32_t(uint32_t(v));
    return neg ? int32_t(-int64_t(r)) : r;
  }
  if (neg) return int32_t(-v);
  if (v > 0x7FFFFFFF) return std::nullopt;
  return int32_t(v);
}

std::optional<int32_t> TryStrToInt(std::string_view s) { return ParseInt(s, true); }
std::optional<int32_t> TryDecimalToInt(std::string_view s) { return ParseInt(s, false); }

int32_t StrToIntDef(std::string_view s, int32_t def) {
  auto v = TryStrToInt(s);
  return v ? *v : def;
}

std::string Format(const char* pattern, ...) {
  va_list ap;
  va_start(ap, pattern);
  char buf[512];
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(buf, sizeof buf, pattern, ap);
  va_end(ap);
  std::string out;
  if (n < 0) {
    va_end(ap2);
    return out;
  }
  if (size_t(n) < sizeof buf) {
    out.assign(buf, size_t(n));
  } else {
    out.resize(size_t(n));
    std::vsnprintf(out.data(), size_t(n) + 1, pattern, ap2);
  }
  va_end(ap2);
  return out;
}
