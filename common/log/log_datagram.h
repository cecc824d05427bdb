// Decoding of log datagrams (the viewer's side of TServerLog's layout).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

struct TLogDatagram {
  uint16_t source = 0;
  uint16_t level = 0;
  int32_t seq = 0;
  int64_t time = 0;  // NowMs of the sender
  std::string text;  // UTF-8
};

// False when the datagram is shorter than its head or its length field says; the text
// stops at its first zero unit.
[[nodiscard]] bool ParseLogDatagram(const uint8_t* data, size_t size, TLogDatagram& out);
