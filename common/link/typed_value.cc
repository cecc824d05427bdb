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
// Payload bytes after each tag (tags without a payload are 0).
constexpr uint8_t PayloadSize(uint8_t tag) {
  switch (tag) {
    case 3:
    case kTagStatus: return 1;
    case 4: return 2;
    case 5:
    case 7: return 4;
    case 6:
    case 8: return 8;
    default: return 0;
  }
}

// n little-endian bytes from p.
inline uint64_t LoadLE(const unsigned char* p, size_t n) {
  uint64_t v = 0;
  for (size_t i = n; i-- > 0;) v = (v << 8) | p[i];
  return v;
}
}  // namespace

// Reads straight from the stream's bytes: this runs once per variable of every read
// answer on the main thread, where a call per byte showed up in profiles.
bool ReadTypedValue(TNxMemStream& in, TTypedValue& out) {
  const std::string& bytes = in.Bytes();
  const size_t pos = in.Position();
  if (pos >= bytes.size()) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + pos;
  const uint8_t tag = p[0];
  out.tag = tag;
  const size_t need = PayloadSize(tag);
  if (bytes.size() - pos - 1 < need) {
    in.Seek(bytes.size());  // a value cut short consumes what is left, like a short read
    return false;
  }
  in.Seek(pos + 1 + need);
  ++p;
  switch (tag) {
    case 1: out.value = 1; return true;
    case 3:
    case kTagStatus: out.value = int8_t(p[0]); return true;
    case 4: out.value = int16_t(uint16_t(LoadLE(p, 2))); return true;
    case 5: out.value = int32_t(uint32_t(LoadLE(p, 4))); return true;
    case 6: out.value = double(int64_t(LoadLE(p, 8))); return true;
    case 7: {
      uint32_t w = uint32_t(LoadLE(p, 4));
      float f;
      std::memcpy(&f, &w, 4);
      out.value = f;
      return true;
    }
    case 8: {
      uint64_t u = LoadLE(p, 8);
      double d;
      std::memcpy(&d, &u, 8);
      out.value = d;
      return true;
    }
    default: out.value = 0; return true;  // 0, 2, 9..11, 13..255: no payload
  }
}
