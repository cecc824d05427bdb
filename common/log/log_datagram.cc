#include "common/log/log_datagram.h"

#include "common/log/server_log.h"
#include "common/platform/text.h"

static uint64_t GetLE(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

bool ParseLogDatagram(const uint8_t* data, size_t size, TLogDatagram& out) {
  if (!data || size < kLogHeadSize) return false;
  out.source = uint16_t(GetLE(data, 2));
  out.level = uint16_t(GetLE(data + 2, 2));
  out.seq = int32_t(uint32_t(GetLE(data + 4, 4)));
  out.time = int64_t(GetLE(data + 8, 8));
  size_t len = size_t(GetLE(data + 16, 2));
  if (len % 2 != 0 || kLogHeadSize + len > size) return false;
  std::u16string u;
  for (size_t i = 0; i < len / 2; ++i) {
    char16_t c = char16_t(GetLE(data + kLogHeadSize + 2 * i, 2));
    if (c == 0) break;
    u.push_back(c);
  }
  out.text = Utf16ToUtf8(u);
  return true;
}
