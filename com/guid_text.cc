// GUID registry text.
#include "com/guid_text.h"

#include <cstdio>

namespace {
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Reads 2*bytes hex digits at p into v.
bool ReadHex(std::string_view t, size_t p, int bytes, uint64_t* v) {
  *v = 0;
  for (int i = 0; i < bytes * 2; ++i) {
    int h = HexValue(t[p + i]);
    if (h < 0) return false;
    *v = (*v << 4) | static_cast<uint64_t>(h);
  }
  return true;
}
}  // namespace

std::string GuidToText(const GUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

std::optional<GUID> TextToGuid(std::string_view t) {
  if (t.size() != 38 || t[0] != '{' || t[37] != '}' || t[9] != '-' || t[14] != '-' ||
      t[19] != '-' || t[24] != '-')
    return std::nullopt;
  GUID g{};
  uint64_t v;
  if (!ReadHex(t, 1, 4, &v)) return std::nullopt;
  g.Data1 = static_cast<uint32_t>(v);
  if (!ReadHex(t, 10, 2, &v)) return std::nullopt;
  g.Data2 = static_cast<uint16_t>(v);
  if (!ReadHex(t, 15, 2, &v)) return std::nullopt;
  g.Data3 = static_cast<uint16_t>(v);
  static constexpr size_t kByteAt[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    if (!ReadHex(t, kByteAt[i], 1, &v)) return std::nullopt;
    g.Data4[i] = static_cast<uint8_t>(v);
  }
  return g;
}
