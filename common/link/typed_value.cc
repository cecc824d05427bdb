#include "common/link/typed_value.h"

#include <array>
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

// Sizes of a value (tag and payload) by tag, for walking a section without decoding it.
constexpr std::array<uint8_t, 256> kValueSize = [] {
  std::array<uint8_t, 256> a{};
  for (int tag = 0; tag < 256; ++tag) a[size_t(tag)] = uint8_t(1 + PayloadSize(uint8_t(tag)));
  return a;
}();

// n little-endian bytes from p.
inline uint64_t LoadLE(const unsigned char* p, size_t n) {
  uint64_t v = 0;
  for (size_t i = n; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

// Decodes the value at p (left bytes available); the bytes it takes, 0 when cut short.
size_t DecodeTypedValue(const unsigned char* p, size_t left, TTypedValue& out) {
  if (left == 0) return 0;
  const uint8_t tag = p[0];
  out.tag = tag;
  const size_t need = PayloadSize(tag);
  if (left - 1 < need) return 0;
  ++p;
  switch (tag) {
    case 1: out.value = 1; break;
    case 3:
    case kTagStatus: out.value = int8_t(p[0]); break;
    case 4: out.value = int16_t(uint16_t(LoadLE(p, 2))); break;
    case 5: out.value = int32_t(uint32_t(LoadLE(p, 4))); break;
    case 6: out.value = double(int64_t(LoadLE(p, 8))); break;
    case 7: {
      uint32_t w = uint32_t(LoadLE(p, 4));
      float f;
      std::memcpy(&f, &w, 4);
      out.value = f;
      break;
    }
    case 8: {
      uint64_t u = LoadLE(p, 8);
      double d;
      std::memcpy(&d, &u, 8);
      out.value = d;
      break;
    }
    default: out.value = 0; break;  // 0, 2, 9..11, 13..255: no payload
  }
  return 1 + need;
}
}  // namespace

// Reads straight from the stream's bytes: this runs once per variable of every read
// answer on the main thread, where a call per byte showed up in profiles.
bool ReadTypedValue(TNxMemStream& in, TTypedValue& out) {
  const std::string& bytes = in.Bytes();
  const size_t pos = in.Position();
  if (pos >= bytes.size()) return false;
  const size_t used =
      DecodeTypedValue(reinterpret_cast<const unsigned char*>(bytes.data()) + pos, bytes.size() - pos, out);
  if (used == 0) {
    in.Seek(bytes.size());  // a value cut short consumes what is left, like a short read
    return false;
  }
  in.Seek(pos + used);
  return true;
}

bool ReadSectionComplete(std::string_view section) {
  const auto* p = reinterpret_cast<const unsigned char*>(section.data());
  const size_t size = section.size();
  TTypedValue tv;
  size_t pos = DecodeTypedValue(p, size, tv);
  if (pos == 0 || tv.tag != kTagStatus) return false;
  if (tv.AsInt() != 0) return true;
  size_t used = DecodeTypedValue(p + pos, size - pos, tv);
  if (used == 0) return false;
  pos += used;
  // Only the sizes matter here: each value is its tag and the tag's payload.
  for (int64_t n = tv.AsInt(); n > 0; --n) {
    if (pos >= size) return false;
    pos += kValueSize[p[pos]];
    if (pos > size) return false;
  }
  return true;
}
