// Non-blocking Winsock sockets checked with WSAPoll; every call returns without waiting.
// Windows has no one descriptor that stands for a set of sockets, so every socket is tied
// to one event with WSAEventSelect, and WaitFd gives that event's handle: it is set when
// input, a client, room for output or a close arrives, and Poll resets it before it looks
// at the sockets, so nothing that comes later is missed. WSAPoll, not the event's records,
// says what each socket is ready for. What both systems share is in
// tcp_transport_common.cc.
#include "uaclib/tcp_transport.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>
#include <vector>

#include "uaclib/log.h"

namespace uaclib {

namespace {
constexpr size_t kReadBlock = 65536;
// Winsock signals input again only after the socket was read: a connection left unread
// (busy, or over its read budget) is looked at again after this period at the latest.
constexpr int64_t kSafetyPeriodMs = 100;
constexpr long kConnectionEvents = FD_READ | FD_WRITE | FD_CLOSE;

// Winsock is started once for the process and left running until it ends.
bool NetReady() {
  static const bool ready = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return ready;
}

std::string LastError(const char* what) { return std::string(what) + ": error " + std::to_string(WSAGetLastError()); }

bool WouldBlock() {
  int e = WSAGetLastError();
  return e == WSAEWOULDBLOCK || e == WSAEINTR || e == WSAEINPROGRESS;
}

// Non-blocking, and not inherited by child processes (as SOCK_CLOEXEC on Linux).
void Prepare(SOCKET s) {
  u_long on = 1;
  ::ioctlsocket(s, FIONBIO, &on);
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
}
}  // namespace

int TcpTransport::WaitFd() const {
  // Handles have 32 significant bits, also in 64-bit processes.
  return waitEvent_ ? int(reinterpret_cast<intptr_t>(waitEvent_)) : -1;
}

int64_t TcpTransport::MaxWaitMs() { return kSafetyPeriodMs; }

long TcpTransport::Send(SocketId fd, const uint8_t* data, size_t size) {
  int w = ::send(SOCKET(fd), reinterpret_cast<const char*>(data), int(std::min<size_t>(size, INT_MAX)), 0);
  if (w > 0) return w;
  return w < 0 && WouldBlock() ? kLater : kBroken;
}

long TcpTransport::Recv(SocketId fd, uint8_t* data, size_t size) {
  int r = ::recv(SOCKET(fd), reinterpret_cast<char*>(data), int(std::min<size_t>(size, INT_MAX)), 0);
  if (r >= 0) return r;
  return WouldBlock() ? kLater : kBroken;
}

std::string TcpTransport::HostName() {
  char host[256] = "localhost";
  if (NetReady()) ::gethostname(host, sizeof host - 1);
  return host;
}

TcpTransport::~TcpTransport() {
  for (auto& [s, c] : sockets_) ::closesocket(SOCKET(s));
  if (listenFd_ != kNoSocket) ::closesocket(SOCKET(listenFd_));
  if (waitEvent_) ::WSACloseEvent(static_cast<WSAEVENT>(waitEvent_));
}

StatusCode TcpTransport::Listen(int port, std::string& error) {
  if (listenFd_ != kNoSocket) {
    error = "already listening";
    return status::BadInvalidState;
  }
  if (!NetReady()) {
    error = "WSAStartup failed";
    return status::BadResourceUnavailable;
  }
  WSAEVENT event = ::WSACreateEvent();
  if (event == WSA_INVALID_EVENT) {
    error = LastError("WSACreateEvent");
    return status::BadResourceUnavailable;
  }
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    error = LastError("socket");
    ::WSACloseEvent(event);
    return status::BadResourceUnavailable;
  }
  Prepare(s);
  // Exclusive: with SO_REUSEADDR, Windows would let another program bind the same port.
  BOOL on = TRUE;
  ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(uint16_t(port));
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    error = LastError(("bind 0.0.0.0:" + std::to_string(port)).c_str());
    ::closesocket(s);
    ::WSACloseEvent(event);
    return status::BadResourceUnavailable;
  }
  if (::listen(s, 128) != 0 || ::WSAEventSelect(s, event, FD_ACCEPT) != 0) {
    error = LastError("listen");
    ::closesocket(s);
    ::WSACloseEvent(event);
    return status::BadResourceUnavailable;
  }
  int len = sizeof addr;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  listenFd_ = SocketId(s);
  waitEvent_ = event;
  Log(kLogNetwork, 2, "listening on 0.0.0.0:%d", port_);
  return status::Good;
}

void TcpTransport::Drop(SocketId fd, TransportHost& host) {
  auto it = sockets_.find(fd);
  if (it == sockets_.end()) return;
  Connection* c = it->second;
  ::closesocket(SOCKET(fd));
  sockets_.erase(it);
  interest_.erase(fd);
  host.OnClosed(c);
}

void TcpTransport::Poll(TransportHost& host) {
  if (listenFd_ == kNoSocket) return;
  // First, so that whatever arrives while we look sets it again.
  ::WSAResetEvent(static_cast<WSAEVENT>(waitEvent_));
  if (readBuf_.size() != kReadBlock) readBuf_.resize(kReadBlock);
  // Requests read in an earlier step and left for lack of time or output room.
  for (auto& [fd, c] : sockets_)
    if (c->HasInput() && !c->Closing() && !c->Busy()) c->Resume();
  // The listener, then every connection with the events Flush last asked for; one that
  // asks for none is still listed, so that an error on it is seen.
  std::vector<WSAPOLLFD> set;
  set.reserve(sockets_.size() + 1);
  set.push_back({SOCKET(listenFd_), POLLRDNORM, 0});
  for (auto& [fd, c] : sockets_) set.push_back({SOCKET(fd), SHORT(interest_[fd]), 0});
  if (::WSAPoll(set.data(), ULONG(set.size()), 0) <= 0) return;
  for (const WSAPOLLFD& p : set) {
    if (p.revents == 0) continue;
    if (p.fd == SOCKET(listenFd_)) {
      for (;;) {
        sockaddr_storage addr{};
        int len = sizeof addr;
        SOCKET cs = ::accept(p.fd, reinterpret_cast<sockaddr*>(&addr), &len);
        if (cs == INVALID_SOCKET) break;
        char text[INET6_ADDRSTRLEN] = "";
        if (addr.ss_family == AF_INET)
          ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&addr)->sin_addr, text, sizeof text);
        else if (addr.ss_family == AF_INET6)
          ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&addr)->sin6_addr, text, sizeof text);
        Connection* c = host.OnAccept(text);
        if (!c) {
          ::closesocket(cs);
          continue;
        }
        Prepare(cs);
        // Also signals input that came before this call.
        ::WSAEventSelect(cs, static_cast<WSAEVENT>(waitEvent_), kConnectionEvents);
        BOOL on = TRUE;
        ::setsockopt(cs, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
        sockets_[SocketId(cs)] = c;
        interest_[SocketId(cs)] = POLLRDNORM;
      }
      continue;
    }
    const SocketId fd = SocketId(p.fd);
    auto it = sockets_.find(fd);
    if (it == sockets_.end()) continue;
    Connection* c = it->second;
    bool gone = (p.revents & (POLLERR | POLLNVAL)) != 0;
    // Windows reports a peer's orderly close as POLLHUP: a connection that reads takes
    // what is left and sees the end there; one that does not read yet keeps its output.
    const bool reads = (interest_[fd] & POLLRDNORM) != 0;
    if ((p.revents & POLLRDNORM || (reads && (p.revents & POLLHUP))) && !ReadSome(fd, c)) gone = true;
    if (p.revents & POLLWRNORM) WriteSome(fd, c);
    if (gone) Drop(fd, host);
  }
}

// WSAPoll takes the events anew on every Poll: only remembered here.
void TcpTransport::Watch(SocketId fd, bool write, bool read) {
  interest_[fd] = (write ? uint32_t(POLLWRNORM) : 0u) | (read ? uint32_t(POLLRDNORM) : 0u);
}

}  // namespace uaclib
