// The only socket code of the library: a non-blocking TCP listener and its connections
// on epoll (tcp_transport.cc) or on Winsock with WSAPoll (tcp_transport_win.cc). It moves
// bytes between sockets and Connection objects that the host owns.
#ifndef UACLIB_TCP_TRANSPORT_H
#define UACLIB_TCP_TRANSPORT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "uaclib/secure_channel.h"
#include "uaclib/status_codes.h"

namespace uaclib {

#ifdef _WIN32
using SocketId = uintptr_t;  // a Winsock SOCKET: any value below INVALID_SOCKET
inline constexpr SocketId kNoSocket = ~SocketId(0);
#else
using SocketId = int;
inline constexpr SocketId kNoSocket = -1;
#endif

class TransportHost {
 public:
  virtual ~TransportHost() = default;
  // A client connected from `peer` (its IP address as text); nullptr refuses it.
  virtual Connection* OnAccept(const std::string& peer) = 0;
  // The connection is gone from the transport; the host may destroy it now.
  virtual void OnClosed(Connection* c) = 0;
};

class TcpTransport {
 public:
  TcpTransport() = default;
  TcpTransport(const TcpTransport&) = delete;
  TcpTransport& operator=(const TcpTransport&) = delete;
  ~TcpTransport();

  // Binds 0.0.0.0:port (0: an ephemeral port) and listens.
  [[nodiscard]] StatusCode Listen(int port, std::string& error);
  int Port() const { return port_; }
  bool Listening() const { return listenFd_ != kNoSocket; }
  // Accepts new clients and feeds received bytes to their connections; never blocks.
  // A Busy connection is not read (its socket keeps the bytes), and input it left
  // unhandled is taken up again first.
  void Poll(TransportHost& host);
  // Sends pending output and closes connections that are done or broken.
  void Flush(TransportHost& host, int64_t nowMs);
  size_t Count() const { return sockets_.size(); }
  // What a caller waits on before the next Poll (-1 before Listen). Linux: the epoll
  // descriptor, readable while a socket has input, a new client waits, or held-back
  // output can move. Windows: the value of an event handle that every socket signals
  // when input, a client, room for output or an end arrives; Poll resets it.
  int WaitFd() const;
  // Longest time a caller may sleep between two Polls: unbounded on Linux; on Windows a
  // safety period, since a socket that was left unread signals again only once read.
  static int64_t MaxWaitMs();
  // This computer's name, for endpoint URLs.
  static std::string HostName();
  void SetMaxPendingOutput(size_t bytes) { maxPending_ = bytes; }
  // Closes every socket (the host gets OnClosed for each).
  void CloseAll(TransportHost& host);

 private:
  // Shared by both systems (tcp_transport_common.cc).
  void WriteSome(SocketId fd, Connection* c);
  // Feeds what the socket holds (up to a budget) to `c`; false when the connection ended
  // or broke.
  bool ReadSome(SocketId fd, Connection* c);
  // Per system: the socket calls, and the events wanted from a connection's socket.
  void Drop(SocketId fd, TransportHost& host);
  void Watch(SocketId fd, bool write, bool read);
  // Bytes moved (> 0), kEnd (Recv only), kLater or kBroken.
  static constexpr long kEnd = 0, kLater = -1, kBroken = -2;
  static long Send(SocketId fd, const uint8_t* data, size_t size);
  static long Recv(SocketId fd, uint8_t* data, size_t size);

  SocketId listenFd_ = kNoSocket;
  int epollFd_ = -1;
  void* waitEvent_ = nullptr;  // Windows: the event all sockets signal (a WSAEVENT)
  int port_ = 0;
  size_t maxPending_ = 64 * 1024 * 1024;
  std::unordered_map<SocketId, Connection*> sockets_;
  std::unordered_map<SocketId, uint32_t> interest_;  // poll events asked for, per socket
  std::vector<uint8_t> readBuf_;
};

}  // namespace uaclib
#endif
