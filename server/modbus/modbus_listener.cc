#include "server/modbus/modbus_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "common/platform/clock.h"

bool TModbusListener::Start(const std::string& bindAddress, int port) {
  Stop();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(port));
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!bindAddress.empty() && inet_pton(AF_INET, bindAddress.c_str(), &addr.sin_addr) != 1) return false;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return false;
  }
  listenFd_ = fd;
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  port_ = ntohs(addr.sin_port);
  stop_ = false;
  acceptThread_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void TModbusListener::Stop() {
  if (listenFd_ < 0) return;
  stop_ = true;
  uint64_t one = 1;
  (void)!write(wakeFd_, &one, sizeof one);
  acceptThread_.join();
  {
    std::lock_guard lock(mutex_);
    for (TConnection& c : connections_) shutdown(c.Fd, SHUT_RDWR);  // ends blocked reads and sends
  }
  Reap(true);
  close(listenFd_);
  close(wakeFd_);
  listenFd_ = wakeFd_ = -1;
}

// Joins finished connection threads (all of them when the listener stops).
void TModbusListener::Reap(bool all) {
  std::list<TConnection> finished;
  {
    std::lock_guard lock(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      auto next = std::next(it);
      if (all || it->Done) finished.splice(finished.end(), connections_, it);
      it = next;
    }
  }
  for (TConnection& c : finished) {
    c.Thread.join();
    close(c.Fd);
  }
}

void TModbusListener::AcceptLoop() {
  while (!stop_) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (poll(fds, 2, 1000) < 0 && errno != EINTR) break;
    Reap(false);
    if (stop_) break;
    if (!(fds[0].revents & POLLIN)) continue;
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    if (active_.load() >= limits_.MaxConnections) {
      close(fd);  // over the bound: the client sees the connection end at once
      continue;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A send blocked this long means the client does not read its answers.
    timeval tv{limits_.IdleSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    ++active_;
    std::lock_guard lock(mutex_);
    TConnection& c = connections_.emplace_back();
    c.Fd = fd;
    c.Thread = std::thread([this, &c] {
      Serve(c);
      --active_;
      c.Done = true;
    });
  }
}

void TModbusListener::Serve(TConnection& c) {
  TModbusSession session(cfg_, handler_);
  uint8_t in[4096];
  std::vector<uint8_t> out;
  int64_t deadline = MonotonicMs() + int64_t(limits_.IdleSeconds) * 1000;
  while (!stop_) {
    pollfd p{c.Fd, POLLIN, 0};
    const int64_t left = deadline - MonotonicMs();
    if (left <= 0) break;  // no complete request for the idle time
    int r = poll(&p, 1, int(std::min<int64_t>(left, 1000)));
    if (r < 0 && errno != EINTR) break;
    if (r <= 0) continue;
    ssize_t n = recv(c.Fd, in, sizeof in, 0);
    if (n <= 0) break;
    out.clear();
    const size_t before = session.Pending();
    if (!session.Feed(std::span<const uint8_t>(in, size_t(n)), out)) break;  // framing lost
    // Only a finished request restarts the idle time: trickled bytes do not.
    if (!out.empty() || session.Pending() < before + size_t(n))
      deadline = MonotonicMs() + int64_t(limits_.IdleSeconds) * 1000;
    size_t sent = 0;
    while (sent < out.size()) {
      ssize_t s = send(c.Fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
      if (s <= 0) return;
      sent += size_t(s);
    }
  }
}
