// The viewer's datagram decoder against arbitrary bytes; a decoded datagram must encode
// back to the same text.
#include <cstdint>
#include <cstdlib>

#include "common/log/log_datagram.h"
#include "common/log/server_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TLogDatagram d;
  if (!ParseLogDatagram(data, size, d)) return 0;
  uint8_t buf[kLogMaxDatagram];
  size_t n = TServerLog::BuildDatagram(buf, d.source, d.level, d.seq, d.time, d.text);
  TLogDatagram again;
  if (!ParseLogDatagram(buf, n, again) || (d.text.size() < 2000 && again.text != d.text)) std::abort();
  return 0;
}
