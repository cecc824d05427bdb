// A Modbus TCP byte stream as a client sends it, cut into reads at places the input
// chooses: nothing crashes or reads outside its buffer, every event gets a buffer of its
// quantity, and every answer is a well-formed response to a request of the stream.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "server/modbus/modbus_engine.h"

namespace {
void Check(bool ok) {
  if (!ok) std::abort();
}

// Fills reads, takes writes; the first register number picks an exception now and then.
class TCheckingHandler : public TModbusHandler {
 public:
  uint8_t OnReadCoils(int r, int c, std::span<bool> d) override { return Bits(r, c, d); }
  uint8_t OnReadInputBits(int r, int c, std::span<bool> d) override { return Bits(r, c, d); }
  uint8_t OnReadHoldingRegisters(int r, int c, std::span<uint16_t> d) override { return Regs(r, c, d); }
  uint8_t OnReadInputRegisters(int r, int c, std::span<uint16_t> d) override { return Regs(r, c, d); }
  uint8_t OnWriteCoils(int r, int c, std::span<const bool> d) override {
    Check(d.size() == size_t(c) && c >= 1 && c <= kMaxWriteBits);
    return Code(r);
  }
  uint8_t OnWriteRegisters(int r, int c, std::span<const uint16_t> d) override {
    Check(d.size() == size_t(c) && c >= 1 && c <= kMaxWriteRegisters);
    uint32_t sum = 0;
    for (uint16_t w : d) sum += w;  // every word is readable
    (void)sum;
    return Code(r);
  }

 private:
  static uint8_t Code(int r) { return r % 7 == 0 ? uint8_t(r % 5) : 0; }
  uint8_t Bits(int r, int c, std::span<bool> d) {
    Check(d.size() == size_t(c) && c >= 1 && c <= kMaxReadBits && r >= 1 && r + c <= 65535);
    for (auto& b : d) b = (r + c) & 1;
    return Code(r);
  }
  uint8_t Regs(int r, int c, std::span<uint16_t> d) {
    Check(d.size() == size_t(c) && c >= 1 && c <= kMaxReadRegisters && r >= 1 && r + c <= 65535);
    for (auto& w : d) w = uint16_t(r);
    return Code(r);
  }
};

// The responses: back-to-back frames, each with protocol 0 or the request's, a length
// that matches, and a function code with or without the exception bit.
void CheckResponses(const std::vector<uint8_t>& out) {
  size_t at = 0;
  while (at < out.size()) {
    Check(out.size() - at >= 9);
    const size_t len = size_t(out[at + 4]) << 8 | out[at + 5];
    Check(len >= 3 && at + 6 + len <= out.size() && 6 + len <= 260);
    at += 6 + len;
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // First byte: the read size (1 to 256 bytes per read); the rest: the stream.
  const size_t chunk = size_t(data[0]) + 1;
  std::span<const uint8_t> stream(data + 1, size - 1);
  TModbusConfig cfg;
  TCheckingHandler handler;
  TModbusSession session(cfg, handler);
  std::vector<uint8_t> out;
  while (!stream.empty()) {
    const size_t n = std::min(chunk, stream.size());
    // A copy of exactly the read, so that a read past it shows under AddressSanitizer.
    std::vector<uint8_t> read(stream.begin(), stream.begin() + long(n));
    const bool ok = session.Feed(read, out);
    Check(session.Pending() < kRequestBufferSize);
    if (!ok) break;
    stream = stream.subspan(n);
  }
  CheckResponses(out);
  return 0;
}
