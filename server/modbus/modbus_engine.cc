#include "server/modbus/modbus_engine.h"

#include <algorithm>
#include <cstring>

namespace {
uint16_t Get16(std::span<const uint8_t> b, size_t at) { return uint16_t(b[at] << 8 | b[at + 1]); }
void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(uint8_t(v >> 8));
  out.push_back(uint8_t(v));
}

// The response header: transaction, protocol and unit copied, RecLength = unit id + PDU.
void PutHeader(std::vector<uint8_t>& out, std::span<const uint8_t> req, size_t pduSize) {
  out.insert(out.end(), req.begin(), req.begin() + 4);
  Put16(out, uint16_t(pduSize + 1));
  out.push_back(req[6]);
}

void PutException(std::vector<uint8_t>& out, std::span<const uint8_t> req, uint8_t code) {
  PutHeader(out, req, 2);
  out.push_back(uint8_t(req[7] | 0x80));
  out.push_back(code);
}

enum class TKind { Bits, Registers, WriteBits, WriteRegisters, WriteSingle };
struct TFunction {
  uint8_t Code;
  TKind Kind;
  int MaxQuantity;
};
constexpr TFunction kFunctions[] = {
    {1, TKind::Bits, kMaxReadBits},           {2, TKind::Bits, kMaxReadBits},
    {3, TKind::Registers, kMaxReadRegisters}, {4, TKind::Registers, kMaxReadRegisters},
    {5, TKind::WriteSingle, 1},               {6, TKind::WriteSingle, 1},
    {15, TKind::WriteBits, kMaxWriteBits},    {16, TKind::WriteRegisters, kMaxWriteRegisters},
};

uint8_t RaiseRead(TModbusHandler& h, uint8_t fc, int regNr, int q, std::vector<uint8_t>& body) {
  if (fc == 1 || fc == 2) {
    std::array<bool, kCoilDataBits> bits{};
    std::span<bool> data(bits.data(), size_t(q));
    uint8_t e = fc == 1 ? h.OnReadCoils(regNr, q, data) : h.OnReadInputBits(regNr, q, data);
    if (e) return e;
    // Eight to a byte, least significant bit first.
    body.push_back(uint8_t((q + 7) / 8));
    for (int i = 0; i < q; i += 8) {
      uint8_t byte = 0;
      for (int b = 0; b < 8 && i + b < q; ++b)
        if (bits[size_t(i + b)]) byte |= uint8_t(1 << b);
      body.push_back(byte);
    }
    return 0;
  }
  std::array<uint16_t, kRegisterDataWords> words{};
  std::span<uint16_t> data(words.data(), size_t(q));
  uint8_t e = fc == 3 ? h.OnReadHoldingRegisters(regNr, q, data) : h.OnReadInputRegisters(regNr, q, data);
  if (e) return e;
  body.push_back(uint8_t(2 * q));
  for (int i = 0; i < q; ++i) Put16(body, words[size_t(i)]);
  return 0;
}
}  // namespace

TFrame FindFrame(std::span<const uint8_t> in) {
  if (in.size() < kMbapSize) return {};
  const size_t recLength = Get16(in, 4);
  // At least unit id and function code; at most what the request buffer holds.
  if (recLength < 2 || 6 + recLength > kRequestBufferSize) return {TFrameState::Broken, 0};
  if (in.size() < 6 + recLength) return {};
  return {TFrameState::Complete, 6 + recLength};
}

void AnswerFrame(const TModbusConfig& cfg, TModbusHandler& handler, std::span<const uint8_t> req,
                 std::vector<uint8_t>& out) {
  if (req.size() < kMbapSize + 1 || req.size() > kRequestBufferSize) return;  // FindFrame never gives these
  const uint8_t fc = req[7];
  // Unit 255 is Modbus TCP's "no particular unit", the default of TCP clients.
  const bool unitOk = cfg.UnitID == 255 || req[6] == cfg.UnitID || req[6] == 255;
  if (!unitOk || Get16(req, 2) != 0) {
    PutException(out, req, mbeSlaveDeviceFailure);
    return;
  }
  if (fc & 0x80) {
    handler.OnError(uint8_t(fc & 0x7F), req.size() > 8 ? req[8] : 0);
    return;
  }
  if (fc == 0) return;
  const TFunction* f = std::find_if(std::begin(kFunctions), std::end(kFunctions),
                                    [fc](const TFunction& x) { return x.Code == fc; });
  if (f == std::end(kFunctions)) {
    PutException(out, req, mbeIllegalFunction);
    handler.OnInvalidFunction(fc);
    return;
  }

  // The PDU must be exactly as long as its function needs: a length field that lies in
  // either direction is a bad value, never a reason to read beyond the frame.
  const size_t pdu = req.size() - kMbapSize;
  const bool multiple = f->Kind == TKind::WriteBits || f->Kind == TKind::WriteRegisters;
  if (multiple ? pdu < 6 || pdu != 6u + req[12] : pdu != 5) {
    PutException(out, req, mbeIllegalDataValue);
    return;
  }
  const int address = Get16(req, 8);
  const int value = Get16(req, 10);
  const int q = f->Kind == TKind::WriteSingle ? 1 : value;
  if (q < 1 || q > f->MaxQuantity) {
    PutException(out, req, mbeIllegalDataValue);
    return;
  }
  if (f->Kind == TKind::WriteBits && req[12] != (q + 7) / 8) {
    PutException(out, req, mbeIllegalDataValue);
    return;
  }
  if (f->Kind == TKind::WriteRegisters && req[12] != 2 * q) {
    PutException(out, req, mbeIllegalDataValue);
    return;
  }
  if (fc == 5 && value != 0 && value != 0xFF00) {
    PutException(out, req, mbeIllegalDataValue);
    return;
  }
  const int regNr = address + cfg.BaseRegister;
  if (regNr < cfg.MinRegister || regNr + q > cfg.MaxRegister) {
    PutException(out, req, mbeIllegalDataAddress);
    return;
  }

  uint8_t error = 0;
  std::vector<uint8_t> body;
  switch (f->Kind) {
    case TKind::Bits:
    case TKind::Registers:
      error = RaiseRead(handler, fc, regNr, q, body);
      break;
    case TKind::WriteSingle: {
      const uint16_t word = uint16_t(value);
      error = handler.OnWriteRegisters(regNr, 1, std::span<const uint16_t>(&word, 1));
      break;
    }
    case TKind::WriteBits: {
      std::array<bool, kCoilDataBits> bits{};
      for (int i = 0; i < q; ++i) bits[size_t(i)] = (req[13 + size_t(i / 8)] >> (i % 8)) & 1;
      error = handler.OnWriteCoils(regNr, q, std::span<const bool>(bits.data(), size_t(q)));
      break;
    }
    case TKind::WriteRegisters: {
      std::array<uint16_t, kRegisterDataWords> words{};
      for (int i = 0; i < q; ++i) words[size_t(i)] = Get16(req, 13 + 2 * size_t(i));
      error = handler.OnWriteRegisters(regNr, q, std::span<const uint16_t>(words.data(), size_t(q)));
      break;
    }
  }
  if (error) {
    PutException(out, req, error);
    return;
  }
  if (f->Kind == TKind::Bits || f->Kind == TKind::Registers) {
    PutHeader(out, req, 1 + body.size());
    out.push_back(fc);
    out.insert(out.end(), body.begin(), body.end());
  } else {
    // Writes echo the start address and the quantity (or value).
    PutHeader(out, req, 5);
    out.insert(out.end(), req.begin() + 7, req.begin() + 12);
  }
}

bool TModbusSession::Feed(std::span<const uint8_t> in, std::vector<uint8_t>& out) {
  while (!in.empty() || held_ > 0) {
    // Complete frames straight from the input need no copy; only a split one is held.
    if (held_ == 0) {
      TFrame f = FindFrame(in);
      if (f.State == TFrameState::Broken) return false;
      if (f.State == TFrameState::Complete) {
        AnswerFrame(cfg_, handler_, in.first(f.Size), out);
        in = in.subspan(f.Size);
        continue;
      }
      std::memcpy(buf_.data(), in.data(), in.size());  // less than one frame: fits
      held_ = in.size();
      return true;
    }
    // Top the held part up to the header, then to the whole frame.
    TFrame f = FindFrame(std::span<const uint8_t>(buf_.data(), held_));
    if (f.State == TFrameState::Broken) return false;
    const size_t want = f.State == TFrameState::Complete ? f.Size : held_ < kMbapSize ? kMbapSize : 6 + Get16(buf_, 4);
    if (held_ < want) {
      const size_t take = std::min(want - held_, in.size());
      std::memcpy(buf_.data() + held_, in.data(), take);
      held_ += take;
      in = in.subspan(take);
      if (held_ < want) return true;
      continue;
    }
    AnswerFrame(cfg_, handler_, std::span<const uint8_t>(buf_.data(), f.Size), out);
    held_ = 0;
  }
  return true;
}
