// The socket calls of the Modbus listener's event loop, so the loop itself is the same
// on both systems: epoll and eventfd on Linux (listener_net.cc); Winsock with WSAPoll
// and a loopback datagram socket as the wake-up signal on Windows (listener_net_win.cc).
// Every socket is non-blocking and not inherited by child processes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

namespace listener_net {

// A descriptor (Linux) or a SOCKET (Windows); kNone for none.
using TSocket = intptr_t;
inline constexpr TSocket kNone = -1;

// Listens on `bindAddress` (IPv4; empty: every local address) and `port` (0: a free one);
// kNone when the address is no IPv4 address or the port cannot be had.
TSocket Listen(const std::string& bindAddress, int port, int& boundPort);
// The next waiting client, with Nagle's delay off; kNone when none waits.
TSocket Accept(TSocket listener);
// Results of Send and Recv besides a byte count (> 0).
inline constexpr long kEnd = 0;      // Recv: the peer sent its last byte
inline constexpr long kLater = -1;   // nothing can move now
inline constexpr long kBroken = -2;  // the connection failed
long Send(TSocket s, const uint8_t* data, size_t size);
long Recv(TSocket s, uint8_t* data, size_t size);
void Close(TSocket s);

// A wake-up any thread may raise; the loop sees it as input on Id() and clears it.
class TSignal {
 public:
  TSignal();
  ~TSignal();
  TSignal(const TSignal&) = delete;
  TSignal& operator=(const TSignal&) = delete;
  bool Ok() const { return id_ != kNone; }
  TSocket Id() const { return id_; }
  void Raise();
  void Clear();

 private:
  TSocket id_ = kNone;
};

// Event bits of TPoller.
inline constexpr uint32_t kIn = 1;
inline constexpr uint32_t kOut = 2;
inline constexpr uint32_t kHangUp = 4;  // hang-up or error: reported whatever was asked for

class TPoller {
 public:
  struct TEvent {
    TSocket Socket;
    uint32_t Events;
  };
  TPoller();
  ~TPoller();
  TPoller(const TPoller&) = delete;
  TPoller& operator=(const TPoller&) = delete;

  // Watches `s` for `events` (kIn, kOut), replacing what was asked before.
  void Watch(TSocket s, uint32_t events);
  void Forget(TSocket s);
  // Waits up to `timeoutMs` for events; how many were written to `out`, 0 on time-out,
  // -1 when the wait itself failed.
  int Wait(int timeoutMs, TEvent* out, int max);

 private:
  int epoll_ = -1;                                  // Linux
  std::unordered_map<TSocket, uint32_t> watched_;   // what each socket asked for
};

}  // namespace listener_net
