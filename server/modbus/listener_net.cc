// The Modbus listener's socket calls on Linux: epoll, eventfd, non-blocking sockets.
#include "server/modbus/listener_net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace listener_net {

TSocket Listen(const std::string& bindAddress, int port, int& boundPort) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(port));
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!bindAddress.empty() && inet_pton(AF_INET, bindAddress.c_str(), &addr.sin_addr) != 1) return kNone;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return kNone;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return kNone;
  }
  boundPort = ntohs(addr.sin_port);
  return fd;
}

TSocket Accept(TSocket listener) {
  int c = accept4(int(listener), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (c < 0) return kNone;
  int one = 1;
  setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return c;
}

long Send(TSocket s, const uint8_t* data, size_t size) {
  ssize_t n = send(int(s), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n > 0) return long(n);
  return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? kLater : kBroken;
}

long Recv(TSocket s, uint8_t* data, size_t size) {
  ssize_t n = recv(int(s), data, size, MSG_DONTWAIT);
  if (n >= 0) return long(n);
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? kLater : kBroken;
}

void Close(TSocket s) {
  if (s != kNone) close(int(s));
}

TSignal::TSignal() {
  int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  id_ = fd < 0 ? kNone : fd;
}
TSignal::~TSignal() { Close(id_); }
void TSignal::Raise() {
  uint64_t one = 1;
  (void)!write(int(id_), &one, sizeof one);
}
void TSignal::Clear() {
  uint64_t v;
  (void)!read(int(id_), &v, sizeof v);
}

TPoller::TPoller() : epoll_(epoll_create1(EPOLL_CLOEXEC)) {}
TPoller::~TPoller() {
  if (epoll_ >= 0) close(epoll_);
}

void TPoller::Watch(TSocket s, uint32_t events) {
  auto it = watched_.find(s);
  if (it != watched_.end() && it->second == events) return;
  epoll_event ev{};
  ev.events = ((events & kIn) ? uint32_t(EPOLLIN) : 0u) | ((events & kOut) ? uint32_t(EPOLLOUT) : 0u);
  ev.data.fd = int(s);
  epoll_ctl(epoll_, it == watched_.end() ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, int(s), &ev);
  watched_[s] = events;
}

void TPoller::Forget(TSocket s) {
  if (watched_.erase(s)) epoll_ctl(epoll_, EPOLL_CTL_DEL, int(s), nullptr);
}

int TPoller::Wait(int timeoutMs, TEvent* out, int max) {
  epoll_event events[64];
  int n = epoll_wait(epoll_, events, std::min(max, 64), timeoutMs);
  if (n < 0) return errno == EINTR ? 0 : -1;
  for (int i = 0; i < n; ++i) {
    const uint32_t e = events[i].events;
    out[i].Socket = events[i].data.fd;
    out[i].Events = ((e & EPOLLIN) ? kIn : 0u) | ((e & EPOLLOUT) ? kOut : 0u) |
                    ((e & (EPOLLHUP | EPOLLERR)) ? kHangUp : 0u);
  }
  return n;
}

}  // namespace listener_net
