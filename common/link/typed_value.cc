#include "common/link/typed_value.h"

#include <cmath>
#include <cstring>

#include "common/archive/obj_archive.h"

int64_t TTypedValue::AsInt() const {
  if (!std::isfinite(value)) return 0;
  if (value >= 9.2e18) return INT64_MAX;
  if (value <= -9.2e18) return INT64_MIN;
  return int64_t(value);
}

namespace {
// Reads n little-endian bytes; false when fewer are left.
bool ReadLE(TNxMemStream& in, size_t n, uint64_t& v) {
  uint8_t b[8];
  if (in.Read(b, n) != n) return false;
  v = 0;
  for (size_t i = n; i-- > 0;) v = (v << 8) | b[i];
  return true;
}
}  // namespace

bool ReadTypedValue(TNxMemStream& in, TTypedValue& out) {
  uint8_t tag;
  if (in.Read(&tag, 1) != 1) return false;
  out.tag = tag;
  uint64_t u = 0;
  switch (tag) {
    case 1: out.value = 1; return true;
    case 3:
    case kTagStatus:
      if (!ReadLE(in, 1, u)) return false;
      out.value = int8_t(uint8_t(u));
      return true;
    case 4:
      if (!ReadLE(in, 2, u)) return false;
      out.value = int16_t(uint16_t(u));
      return true;
    case 5:
      if (!ReadLE(in, 4, u)) return false;
      out.value = int32_t(uint32_t(u));
      return true;
    case 6:
      if (!ReadLE(in, 8, u)) return false;
      out.value = double(int64_t(u));
      return true;
    case 7: {
      if (!ReadLE(in, 4, u)) return false;
      uint32_t w = uint32_t(u);
      float f;
      std::memcpy(&f, &w, 4);
      out.value = f;
      return true;
    }
    case 8: {
      if (!ReadLE(in, 8, u)) return false;
      double d;
      std::memcpy(&d, &u, 8);
      out.value = d;
      return true;
    }
    default: out.value = 0; return true;  // 0, 2, 9..11, 13..255: no payload
  }
}
