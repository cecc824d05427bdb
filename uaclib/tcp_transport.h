// The only socket code of the library: a non-blocking TCP listener and its connections
// on epoll. It moves bytes between sockets and Connection objects that the host owns.
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
  bool Listening() const { return listenFd_ >= 0; }
  // Accepts new clients and feeds received bytes to their connections; never blocks.
  // A Busy connection is not read (its socket keeps the bytes), and input it left
  // unhandled is taken up again first.
  void Poll(TransportHost& host);
  // Sends pending output and closes connections that are done or broken.
  void Flush(TransportHost& host, int64_t nowMs);
  size_t Count() const { return sockets_.size(); }
  // The epoll descriptor: readable while a socket has input, a new client waits, or
  // held-back output can move (-1 before Listen).
  int WaitFd() const { return epollFd_; }
  void SetMaxPendingOutput(size_t bytes) { maxPending_ = bytes; }
  // Closes every socket (the host gets OnClosed for each).
  void CloseAll(TransportHost& host);

 private:
  void Drop(int fd, TransportHost& host);
  void WriteSome(int fd, Connection* c);

  int listenFd_ = -1;
  int epollFd_ = -1;
  int port_ = 0;
  size_t maxPending_ = 64 * 1024 * 1024;
  std::unordered_map<int, Connection*> sockets_;
  std::unordered_map<int, uint32_t> interest_;  // epoll events asked for, per socket
  std::vector<uint8_t> readBuf_;
};

}  // namespace uaclib
#endif
