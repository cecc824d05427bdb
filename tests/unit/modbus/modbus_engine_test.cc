// The Modbus engine over byte buffers: header checks, every function with good and bad
// quantities, lying length fields, and the stream framing across and within reads.
#include "server/modbus/modbus_engine.h"

#include <gtest/gtest.h>

#include <string>

namespace {
using Bytes = std::vector<uint8_t>;

// Records the events; reads fill register i with RegNr + i and set every odd bit.
class TRecorder : public TModbusHandler {
 public:
  uint8_t Error = 0;
  std::string Log;
  std::vector<uint16_t> Written;
  std::vector<bool> WrittenBits;

  uint8_t OnReadCoils(int r, int c, std::span<bool> d) override { return Bits("coils", r, c, d); }
  uint8_t OnReadInputBits(int r, int c, std::span<bool> d) override { return Bits("inputs", r, c, d); }
  uint8_t OnReadHoldingRegisters(int r, int c, std::span<uint16_t> d) override { return Regs("holding", r, c, d); }
  uint8_t OnReadInputRegisters(int r, int c, std::span<uint16_t> d) override { return Regs("input", r, c, d); }
  uint8_t OnWriteCoils(int r, int c, std::span<const bool> d) override {
    Note("wcoils", r, c);
    WrittenBits.assign(d.begin(), d.end());
    return Error;
  }
  uint8_t OnWriteRegisters(int r, int c, std::span<const uint16_t> d) override {
    Note("wregs", r, c);
    Written.assign(d.begin(), d.end());
    return Error;
  }
  void OnInvalidFunction(uint8_t fc) override { Log += "invalid " + std::to_string(fc) + ";"; }
  void OnError(uint8_t fc, uint8_t code) override {
    Log += "error " + std::to_string(fc) + "/" + std::to_string(code) + ";";
  }

 private:
  void Note(const char* what, int r, int c) { Log += std::string(what) + " " + std::to_string(r) + "x" + std::to_string(c) + ";"; }
  uint8_t Bits(const char* what, int r, int c, std::span<bool> d) {
    Note(what, r, c);
    EXPECT_EQ(d.size(), size_t(c));
    for (size_t i = 1; i < d.size(); i += 2) d[i] = true;
    return Error;
  }
  uint8_t Regs(const char* what, int r, int c, std::span<uint16_t> d) {
    Note(what, r, c);
    EXPECT_EQ(d.size(), size_t(c));
    for (size_t i = 0; i < d.size(); ++i) d[i] = uint16_t(r + int(i));
    return Error;
  }
};

// A request with transaction id 0x1234, protocol 0, unit `unit` and a correct length.
Bytes Req(uint8_t fc, Bytes data = {}, uint8_t unit = 1) {
  Bytes b{0x12, 0x34, 0, 0, uint8_t((data.size() + 2) >> 8), uint8_t(data.size() + 2), unit, fc};
  for (uint8_t x : data) b.push_back(x);  // (insert trips a false -Warray-bounds of GCC 12)
  return b;
}
Bytes Exc(uint8_t fc, uint8_t code, uint8_t unit = 1) { return {0x12, 0x34, 0, 0, 0, 3, unit, uint8_t(fc | 0x80), code}; }
Bytes Resp(uint8_t fc, Bytes body) { return Req(fc, std::move(body)); }
Bytes Words(int first, int n) {
  Bytes b;
  for (int i = 0; i < n; ++i) {
    b.push_back(uint8_t((first + i) >> 8));
    b.push_back(uint8_t(first + i));
  }
  return b;
}
Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
// Address and quantity (or value) fields.
Bytes AQ(int a, int q) { return {uint8_t(a >> 8), uint8_t(a), uint8_t(q >> 8), uint8_t(q)}; }

Bytes Answer(TRecorder& h, const Bytes& req, TModbusConfig cfg = {}) {
  Bytes out;
  TFrame f = FindFrame(req);
  EXPECT_EQ(f.State, TFrameState::Complete);
  EXPECT_EQ(f.Size, req.size());
  AnswerFrame(cfg, h, req, out);
  return out;
}

struct TCase {
  const char* name;
  Bytes request;
  Bytes response;
  const char* events;
};

TEST(ModbusEngine, AnswersEveryFunctionAndRefusesBadRequests) {
  const TCase cases[] = {
      {"read 2 holding at 0", Req(3, AQ(0, 2)), Resp(3, Cat({4}, Words(1, 2))), "holding 1x2;"},
      {"read 125 holding", Req(3, AQ(100, 125)), Resp(3, Cat({250}, Words(101, 125))), "holding 101x125;"},
      {"read 126 holding", Req(3, AQ(0, 126)), Exc(3, 3), ""},
      {"read 0 holding", Req(3, AQ(0, 0)), Exc(3, 3), ""},
      {"read input registers", Req(4, AQ(9, 1)), Resp(4, Cat({2}, Words(10, 1))), "input 10x1;"},
      {"read 127 input registers", Req(4, AQ(9, 127)), Exc(4, 3), ""},
      {"read 10 coils", Req(1, AQ(0, 10)), Resp(1, {2, 0xAA, 0x02}), "coils 1x10;"},
      {"read 2000 coils", Req(1, AQ(0, 2000)), Resp(1, Cat({250}, Bytes(250, 0xAA))), "coils 1x2000;"},
      {"read 2001 coils", Req(1, AQ(0, 2001)), Exc(1, 3), ""},
      {"read 8 inputs", Req(2, AQ(7, 8)), Resp(2, {1, 0xAA}), "inputs 8x8;"},
      {"read 0 inputs", Req(2, AQ(7, 0)), Exc(2, 3), ""},
      {"write single register", Req(6, AQ(4, 0xBEEF)), Req(6, AQ(4, 0xBEEF)), "wregs 5x1;"},
      {"write single coil on", Req(5, AQ(4, 0xFF00)), Req(5, AQ(4, 0xFF00)), "wregs 5x1;"},
      {"write single coil bad value", Req(5, AQ(4, 0x0001)), Exc(5, 3), ""},
      {"write 2 registers", Req(16, Cat(Cat(AQ(2, 2), {4}), Words(7, 2))), Req(16, AQ(2, 2)), "wregs 3x2;"},
      {"write 123 registers", Req(16, Cat(Cat(AQ(0, 123), {246}), Words(0, 123))), Req(16, AQ(0, 123)), "wregs 1x123;"},
      {"write 124 registers", Req(16, Cat(Cat(AQ(0, 124), {248}), Words(0, 124))), Exc(16, 3), ""},
      {"write 0 registers", Req(16, Cat(AQ(0, 0), {0})), Exc(16, 3), ""},
      {"write registers byte count short", Req(16, Cat(Cat(AQ(0, 2), {2}), Words(0, 1))), Exc(16, 3), ""},
      {"write registers count beyond data", Req(16, Cat(Cat(AQ(0, 2), {4}), Words(0, 1))), Exc(16, 3), ""},
      {"write 9 coils", Req(15, Cat(AQ(0, 9), {2, 0xFF, 0x01})), Req(15, AQ(0, 9)), "wcoils 1x9;"},
      {"write 1969 coils", Req(15, Cat(AQ(0, 1969), Cat({247}, Bytes(247, 0)))), Exc(15, 3), ""},
      {"write coils wrong byte count", Req(15, Cat(AQ(0, 9), {1, 0xFF})), Exc(15, 3), ""},
      {"function 7", Req(7, AQ(0, 1)), Exc(7, 1), "invalid 7;"},
      {"function 0x41", Req(0x41), Exc(0x41, 1), "invalid 65;"},
      {"function 0: no answer", Req(0, AQ(0, 1)), {}, ""},
      {"exception code from a peer", Req(0x83, {2}), {}, "error 3/2;"},
      {"unit 2", Req(3, AQ(0, 2), 2), Exc(3, 4, 2), ""},
      {"unit 255", Req(3, AQ(0, 2), 255), Cat({0x12, 0x34, 0, 0, 0, 7, 255, 3, 4}, Words(1, 2)), "holding 1x2;"},
      {"unit 0", Req(3, AQ(0, 2), 0), Exc(3, 4, 0), ""},
      {"protocol id 1", Cat({0x12, 0x34, 0, 1, 0, 6, 1, 3}, AQ(0, 2)), Cat({0x12, 0x34, 0, 1, 0, 3, 1, 0x83}, {4}), ""},
      {"start + quantity beyond 65535", Req(3, AQ(65534, 1)), Exc(3, 2), ""},
      {"last reachable register", Req(3, AQ(65533, 1)), Resp(3, Cat({2}, Words(65534, 1))), "holding 65534x1;"},
      {"write beyond 65535", Req(16, Cat(Cat(AQ(65533, 2), {4}), Words(0, 2))), Exc(16, 2), ""},
      {"length short of the address", Req(3, {0, 0}), Exc(3, 3), ""},
      {"length beyond the quantity", Req(3, Cat(AQ(0, 2), {0, 0})), Exc(3, 3), ""},
      {"write registers without byte count", Req(16, AQ(0, 1)), Exc(16, 3), ""},
  };
  for (const TCase& c : cases) {
    TRecorder h;
    EXPECT_EQ(Answer(h, c.request), c.response) << c.name;
    EXPECT_EQ(h.Log, c.events) << c.name;
  }
}

TEST(ModbusEngine, HandsOverDataAndReportsTheHandlersException) {
  TRecorder h;
  Answer(h, Req(16, Cat(Cat(AQ(0, 2), {4}), {0x3F, 0x80, 0x00, 0x01})));
  EXPECT_EQ(h.Written, (std::vector<uint16_t>{0x3F80, 0x0001}));
  Answer(h, Req(15, Cat(AQ(0, 10), {2, 0x05, 0x02})));
  EXPECT_EQ(h.WrittenBits, (std::vector<bool>{1, 0, 1, 0, 0, 0, 0, 0, 0, 1}));
  h.Error = 6;
  EXPECT_EQ(Answer(h, Req(6, AQ(0, 1))), Exc(6, 6));
  h.Error = 4;
  EXPECT_EQ(Answer(h, Req(3, AQ(0, 2))), Exc(3, 4));
}

TEST(ModbusEngine, UnitAnyAndOtherBaseRegister) {
  TRecorder h;
  TModbusConfig any;
  any.UnitID = 255;
  EXPECT_EQ(Answer(h, Req(3, AQ(0, 1), 7), any), Cat({0x12, 0x34, 0, 0, 0, 5, 7, 3, 2}, Words(1, 1)));
  TModbusConfig zero;
  zero.BaseRegister = 0;
  zero.MinRegister = 10;
  EXPECT_EQ(Answer(h, Req(3, AQ(9, 1)), zero), Exc(3, 2));
  EXPECT_EQ(h.Log, "holding 1x1;");
}

TEST(ModbusEngine, FramesByTheLengthField) {
  const Bytes ok = Req(3, AQ(0, 2));
  struct {
    const char* name;
    Bytes in;
    TFrameState state;
    size_t size;
  } cases[] = {
      {"empty", {}, TFrameState::Incomplete, 0},
      {"header only", Bytes(ok.begin(), ok.begin() + 7), TFrameState::Incomplete, 0},
      {"one byte short", Bytes(ok.begin(), ok.end() - 1), TFrameState::Incomplete, 0},
      {"complete", ok, TFrameState::Complete, 12},
      {"complete and more", Cat(ok, ok), TFrameState::Complete, 12},
      {"length 1: no function code", {0, 0, 0, 0, 0, 1, 1}, TFrameState::Broken, 0},
      {"length 0", {0, 0, 0, 0, 0, 0, 1}, TFrameState::Broken, 0},
      {"269 bytes: the buffer's edge", {0, 0, 0, 0, 1, 7, 1}, TFrameState::Incomplete, 0},
      {"270 bytes", {0, 0, 0, 0, 1, 8, 1}, TFrameState::Broken, 0},
      {"length 65535", {0, 0, 0, 0, 0xFF, 0xFF, 1}, TFrameState::Broken, 0},
  };
  for (const auto& c : cases) {
    TFrame f = FindFrame(c.in);
    EXPECT_EQ(f.State, c.state) << c.name;
    EXPECT_EQ(f.Size, c.size) << c.name;
  }
}

TEST(ModbusEngine, FullBufferFrameIsAnsweredAndTheStreamGoesOn) {
  // 269 bytes: an unknown function fills the whole request buffer.
  Bytes big = Req(0x41, Bytes(261, 0xEE));
  ASSERT_EQ(big.size(), kRequestBufferSize);
  TRecorder h;
  TModbusConfig cfg;
  TModbusSession s(cfg, h);
  Bytes out;
  ASSERT_TRUE(s.Feed(Cat(big, Req(3, AQ(0, 1))), out));
  EXPECT_EQ(out, Cat(Exc(0x41, 1), Resp(3, Cat({2}, Words(1, 1)))));
  // One byte more cannot be a request of this engine: the stream is broken.
  Bytes over = Req(0x41, Bytes(262, 0xEE));
  TModbusSession s2(cfg, h);
  EXPECT_FALSE(s2.Feed(over, out));
}

TEST(ModbusEngine, SessionJoinsSplitRequestsAndAnswersEachOfSeveral) {
  const Bytes a = Req(3, AQ(0, 2));
  const Bytes b = Req(16, Cat(Cat(AQ(2, 2), {4}), Words(9, 2)));
  const Bytes expected = Cat(Cat(Resp(3, Cat({4}, Words(1, 2))), Req(16, AQ(2, 2))), Resp(3, Cat({4}, Words(1, 2))));
  const Bytes stream = Cat(Cat(a, b), a);
  // Every way to cut the stream into two reads, and one byte per read.
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    TRecorder h;
    TModbusConfig cfg;
    TModbusSession s(cfg, h);
    Bytes out;
    ASSERT_TRUE(s.Feed(std::span(stream).first(cut), out));
    ASSERT_TRUE(s.Feed(std::span(stream).subspan(cut), out));
    EXPECT_EQ(out, expected) << "cut at " << cut;
    EXPECT_EQ(s.Pending(), 0u);
  }
  TRecorder h;
  TModbusConfig cfg;
  TModbusSession s(cfg, h);
  Bytes out;
  for (uint8_t byte : stream) ASSERT_TRUE(s.Feed(std::span(&byte, 1), out));
  EXPECT_EQ(out, expected);
  EXPECT_EQ(h.Log, "holding 1x2;wregs 3x2;holding 1x2;");
}

TEST(ModbusEngine, SessionHoldsAnUnfinishedRequestAndBreaksOnABadLength) {
  TRecorder h;
  TModbusConfig cfg;
  TModbusSession s(cfg, h);
  Bytes out;
  // A length that promises more than is sent: the request waits for the rest.
  Bytes lying = Req(3, AQ(0, 2));
  lying[5] = 20;
  ASSERT_TRUE(s.Feed(lying, out));
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(s.Pending(), lying.size());
  // Garbage whose length field is out of range ends the stream, split or not.
  TModbusSession s2(cfg, h);
  Bytes garbage{'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P'};
  ASSERT_TRUE(s2.Feed(std::span(garbage).first(5), out));
  EXPECT_FALSE(s2.Feed(std::span(garbage).subspan(5), out));
  EXPECT_TRUE(out.empty());
}
}  // namespace
