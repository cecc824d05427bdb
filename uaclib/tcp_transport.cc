// Non-blocking sockets on epoll; every call returns without waiting. What both systems
// share is in tcp_transport_common.cc.
#include "uaclib/tcp_transport.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <vector>

#include "uaclib/log.h"

namespace uaclib {

namespace {
constexpr size_t kReadBlock = 65536;
}  // namespace

long TcpTransport::Send(SocketId fd, const uint8_t* data, size_t size) {
  ssize_t w = ::send(fd, data, size, MSG_NOSIGNAL);
  if (w > 0) return long(w);
  return w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? kLater : kBroken;
}

long TcpTransport::Recv(SocketId fd, uint8_t* data, size_t size) {
  ssize_t r = ::recv(fd, data, size, 0);
  if (r >= 0) return long(r);
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? kLater : kBroken;
}

int TcpTransport::WaitFd() const { return epollFd_; }
int64_t TcpTransport::MaxWaitMs() { return INT64_MAX; }

std::string TcpTransport::HostName() {
  char host[256] = "localhost";
  ::gethostname(host, sizeof host - 1);
  return host;
}

TcpTransport::~TcpTransport() {
  for (auto& [fd, c] : sockets_) ::close(fd);
  if (listenFd_ >= 0) ::close(listenFd_);
  if (epollFd_ >= 0) ::close(epollFd_);
}

StatusCode TcpTransport::Listen(int port, std::string& error) {
  if (listenFd_ >= 0) {
    error = "already listening";
    return status::BadInvalidState;
  }
  epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (epollFd_ < 0) {
    error = std::string("epoll_create1: ") + strerror(errno);
    return status::BadResourceUnavailable;
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + strerror(errno);
    return status::BadResourceUnavailable;
  }
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(uint16_t(port));
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    error = "bind 0.0.0.0:" + std::to_string(port) + ": " + strerror(errno);
    ::close(fd);
    return status::BadResourceUnavailable;
  }
  if (::listen(fd, 128) != 0) {
    error = std::string("listen: ") + strerror(errno);
    ::close(fd);
    return status::BadResourceUnavailable;
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = fd;
  ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev);
  listenFd_ = fd;
  Log(kLogNetwork, 2, "listening on 0.0.0.0:%d", port_);
  return status::Good;
}

void TcpTransport::Drop(int fd, TransportHost& host) {
  auto it = sockets_.find(fd);
  if (it == sockets_.end()) return;
  Connection* c = it->second;
  ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
  ::close(fd);
  sockets_.erase(it);
  interest_.erase(fd);
  host.OnClosed(c);
}

void TcpTransport::Poll(TransportHost& host) {
  if (epollFd_ < 0) return;
  epoll_event events[256];
  int n = ::epoll_wait(epollFd_, events, 256, 0);
  if (readBuf_.size() != kReadBlock) readBuf_.resize(kReadBlock);
  // Requests read in an earlier step and left for lack of time or output room.
  for (auto& [fd, c] : sockets_)
    if (c->HasInput() && !c->Closing() && !c->Busy()) c->Resume();
  for (int i = 0; i < n; ++i) {
    int fd = events[i].data.fd;
    if (fd == listenFd_) {
      for (;;) {
        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        int cfd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (cfd < 0) break;
        char text[INET6_ADDRSTRLEN] = "";
        if (addr.ss_family == AF_INET)
          ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&addr)->sin_addr, text, sizeof text);
        else if (addr.ss_family == AF_INET6)
          ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&addr)->sin6_addr, text, sizeof text);
        Connection* c = host.OnAccept(text);
        if (!c) {
          ::close(cfd);
          continue;
        }
        int one = 1;
        ::setsockopt(cfd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.fd = cfd;
        ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, cfd, &ev);
        sockets_[cfd] = c;
        interest_[cfd] = ev.events;
      }
      continue;
    }
    auto it = sockets_.find(fd);
    if (it == sockets_.end()) continue;
    Connection* c = it->second;
    bool gone = (events[i].events & (EPOLLERR | EPOLLHUP)) != 0;
    if ((events[i].events & (EPOLLIN | EPOLLRDHUP)) && !ReadSome(fd, c)) gone = true;
    if (events[i].events & EPOLLOUT) WriteSome(fd, c);
    if (gone) Drop(fd, host);
  }
}

void TcpTransport::Watch(SocketId fd, bool write, bool read) {
  uint32_t want = (write ? uint32_t(EPOLLOUT) : 0u) | (read ? uint32_t(EPOLLIN | EPOLLRDHUP) : 0u);
  uint32_t& have = interest_[fd];
  if (want == have) return;
  epoll_event ev{};
  ev.events = want;
  ev.data.fd = fd;
  ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &ev);
  have = want;
}

}  // namespace uaclib
