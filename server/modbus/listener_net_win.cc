// The Modbus listener's socket calls on Windows: Winsock with WSAPoll. Windows has no
// eventfd, and WSAPoll waits on sockets only, so the wake-up signal is a UDP socket on
// 127.0.0.1 connected to itself: Raise sends it a datagram, Clear reads them all.
#include "server/modbus/listener_net.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <vector>

namespace listener_net {

namespace {
// Winsock is started once for the process and left running until it ends.
bool NetReady() {
  static const bool ready = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return ready;
}

SOCKET S(TSocket s) { return SOCKET(s); }

// Non-blocking, and not inherited by child processes (as SOCK_CLOEXEC on Linux).
void Prepare(SOCKET s) {
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
}

bool Transient() {
  int e = WSAGetLastError();
  return e == WSAEWOULDBLOCK || e == WSAEINTR || e == WSAEINPROGRESS;
}
}  // namespace

TSocket Listen(const std::string& bindAddress, int port, int& boundPort) {
  if (!NetReady()) return kNone;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(port));
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!bindAddress.empty() && inet_pton(AF_INET, bindAddress.c_str(), &addr.sin_addr) != 1) return kNone;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return kNone;
  Prepare(s);
  // Exclusive: with SO_REUSEADDR, Windows would let another program bind the same port.
  BOOL on = TRUE;
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
  int len = sizeof addr;
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s, 64) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    closesocket(s);
    return kNone;
  }
  boundPort = ntohs(addr.sin_port);
  return TSocket(s);
}

TSocket Accept(TSocket listener) {
  SOCKET c = accept(S(listener), nullptr, nullptr);
  if (c == INVALID_SOCKET) return kNone;
  Prepare(c);
  BOOL on = TRUE;
  setsockopt(c, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  return TSocket(c);
}

long Send(TSocket s, const uint8_t* data, size_t size) {
  int n = send(S(s), reinterpret_cast<const char*>(data), int(std::min<size_t>(size, 1 << 30)), 0);
  if (n > 0) return n;
  return n < 0 && Transient() ? kLater : kBroken;
}

long Recv(TSocket s, uint8_t* data, size_t size) {
  int n = recv(S(s), reinterpret_cast<char*>(data), int(std::min<size_t>(size, 1 << 30)), 0);
  if (n >= 0) return n;
  return Transient() ? kLater : kBroken;
}

void Close(TSocket s) {
  if (s != kNone) closesocket(S(s));
}

TSignal::TSignal() {
  if (!NetReady()) return;
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return;
  Prepare(s);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof addr;
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    closesocket(s);
    return;
  }
  id_ = TSocket(s);
}
TSignal::~TSignal() { Close(id_); }
void TSignal::Raise() {
  char one = 1;
  send(S(id_), &one, 1, 0);
}
void TSignal::Clear() {
  char buf[64];
  while (recv(S(id_), buf, sizeof buf, 0) > 0) {
  }
}

TPoller::TPoller() = default;
TPoller::~TPoller() = default;

void TPoller::Watch(TSocket s, uint32_t events) { watched_[s] = events; }
void TPoller::Forget(TSocket s) { watched_.erase(s); }

int TPoller::Wait(int timeoutMs, TEvent* out, int max) {
  std::vector<WSAPOLLFD> set;
  set.reserve(watched_.size());
  // A socket that asks for nothing is left out: Windows reports a peer's orderly close
  // (POLLHUP) whatever was asked for, and would wake the loop again and again while the
  // connection's batch is away.
  for (const auto& [s, events] : watched_)
    if (events != 0) set.push_back({S(s), SHORT(((events & kIn) ? POLLRDNORM : 0) | ((events & kOut) ? POLLWRNORM : 0)), 0});
  if (set.empty()) {
    Sleep(DWORD(std::max(timeoutMs, 0)));
    return 0;
  }
  int n = WSAPoll(set.data(), ULONG(set.size()), timeoutMs);
  if (n < 0) return WSAGetLastError() == WSAEINTR ? 0 : -1;
  int count = 0;
  for (const WSAPOLLFD& p : set) {
    if (p.revents == 0 || count == max) continue;
    // A peer's orderly close shows as POLLHUP on Windows: reported as input too, so a
    // reader sees the end of the stream and a writer its failure, as on Linux.
    uint32_t e = ((p.revents & (POLLRDNORM | POLLHUP)) ? kIn : 0u) | ((p.revents & POLLWRNORM) ? kOut : 0u) |
                 ((p.revents & (POLLERR | POLLNVAL)) ? kHangUp : 0u);
    out[count++] = {TSocket(p.fd), e};
  }
  return count;
}

}  // namespace listener_net
