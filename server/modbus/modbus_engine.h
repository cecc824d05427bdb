// The Modbus TCP slave engine `TIdModBusServer` without any socket: it frames requests
// out of a byte stream, checks the MBAP header and the PDU, raises the application
// events and builds the normal or exception response. The TCP listener (modbus_listener.h)
// frames with FindFrame and answers with AnswerFrame; TModbusSession does both for one
// stream at once.
//
// Request layout (`TModBusRequestBuffer`, at most 269 bytes, big-endian fields):
//   0 TransactionID u16 | 2 ProtocolID u16 | 4 RecLength u16 | 6 UnitID u8   (MBAP, 7 bytes)
//   7 FunctionCode u8 | 8 start address u16 | 10 quantity or value u16
//   12 byte count u8 | 13 data            (functions 15 and 16 only)
// RecLength counts the unit id and the PDU, so a frame is 6 + RecLength bytes long.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

inline constexpr const char* kModbusEngineVersion = "1.6.0";
inline constexpr size_t kMbapSize = 7;
inline constexpr size_t kRequestBufferSize = 269;  // header 7, function code 1, MBPData 261
// Data buffers of the events: `TModRegisterData` and `TModCoilData`.
inline constexpr size_t kRegisterDataWords = 126;
inline constexpr size_t kCoilDataBits = 2001;

// Quantity limits of the Modbus application protocol; they also fit the data buffers.
inline constexpr int kMaxReadBits = 2000;
inline constexpr int kMaxWriteBits = 1968;
inline constexpr int kMaxReadRegisters = 125;
inline constexpr int kMaxWriteRegisters = 123;

enum TModbusException : uint8_t {
  mbeNone = 0,
  mbeIllegalFunction = 1,
  mbeIllegalDataAddress = 2,
  mbeIllegalDataValue = 3,
  mbeSlaveDeviceFailure = 4,
};

struct TModbusConfig {
  uint8_t UnitID = 1;  // requests for this unit and for 255 are served; 255 here serves all
  int BaseRegister = 1;
  int MinRegister = 1;
  int MaxRegister = 65535;  // start register + quantity must not exceed it
};

// The application events. They run on the caller's thread (a connection thread of the
// listener); several may run at once. RegNr is wire address + BaseRegister. A non-zero
// return is sent as the exception code. The defaults behave as unassigned events: reads
// leave their zero-filled buffer, writes accept the data.
class TModbusHandler {
 public:
  virtual ~TModbusHandler() = default;
  virtual uint8_t OnReadCoils(int, int, std::span<bool>) { return 0; }
  virtual uint8_t OnReadInputBits(int, int, std::span<bool>) { return 0; }
  virtual uint8_t OnReadHoldingRegisters(int, int, std::span<uint16_t>) { return 0; }
  virtual uint8_t OnReadInputRegisters(int, int, std::span<uint16_t>) { return 0; }
  virtual uint8_t OnWriteCoils(int, int, std::span<const bool>) { return 0; }
  // Functions 16, 6 and 5 (one word, the request's value field), words in host order.
  virtual uint8_t OnWriteRegisters(int, int, std::span<const uint16_t>) { return 0; }
  virtual void OnInvalidFunction(uint8_t) {}
  // A request whose function code has bit 0x80 set: that code without it, the byte at
  // offset 8. Nothing is sent for it.
  virtual void OnError(uint8_t, uint8_t) {}
};

enum class TFrameState { Incomplete, Complete, Broken };
struct TFrame {
  TFrameState State = TFrameState::Incomplete;
  size_t Size = 0;  // bytes of the frame when Complete
};

// Where the first request in `in` ends. Broken: its length field cannot describe a
// request of this engine (no function code, or longer than the request buffer); the
// stream has lost its framing and the connection should end.
[[nodiscard]] TFrame FindFrame(std::span<const uint8_t> in);

// Answers one complete frame (as FindFrame delimits it); the response, if any, is
// appended to `out`. Never reads outside `frame`.
void AnswerFrame(const TModbusConfig& cfg, TModbusHandler& handler, std::span<const uint8_t> frame,
                 std::vector<uint8_t>& out);

// One connection's stream: requests may arrive split over reads or several in one read;
// each complete one is answered in order. Holds at most one unfinished request.
class TModbusSession {
 public:
  TModbusSession(const TModbusConfig& cfg, TModbusHandler& handler) : cfg_(cfg), handler_(handler) {}

  // Takes received bytes and appends the responses of every request they complete.
  // False when the stream is broken (see FindFrame): the caller closes the connection.
  [[nodiscard]] bool Feed(std::span<const uint8_t> in, std::vector<uint8_t>& out);
  // Bytes of an unfinished request held back.
  size_t Pending() const { return held_; }

 private:
  const TModbusConfig& cfg_;
  TModbusHandler& handler_;
  std::array<uint8_t, kRequestBufferSize> buf_{};
  size_t held_ = 0;
};
