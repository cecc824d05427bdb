#include "server/modbus/modbus_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <vector>

#include "common/platform/clock.h"

namespace {
// Input held per connection: a few pipelined requests at most.
constexpr size_t kInputCap = 4096;
// Requests of one connection per batch, so one client cannot fill a batch alone.
constexpr int kFramesPerBatch = 8;

struct TConn {
  int Fd = -1;
  std::vector<uint8_t> In;
  std::vector<uint8_t> Out;
  size_t Sent = 0;
  size_t Taken = 0;  // input bytes of the frames in the current batch
  int64_t Deadline = 0;
  uint32_t Interest = 0;
  bool Close = false;
  bool Eof = false;     // the client sent its last bytes: answer them, then close
  bool Queued = false;  // part of the batch in flight: In and Out belong to it
  bool Pending() const { return Sent < Out.size(); }
};

void Flush(TConn& c) {
  while (c.Pending()) {
    ssize_t n = send(c.Fd, c.Out.data() + c.Sent, c.Out.size() - c.Sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      c.Sent += size_t(n);
    } else {
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      c.Close = true;
      return;
    }
  }
  c.Out.clear();
  c.Sent = 0;
}

// Read while answers are out; write while answers wait; neither while the main thread
// works on the connection's batch (its buffers are not ours to look at then).
void Watch(int ep, TConn& c) {
  const bool pending = !c.Queued && c.Pending();
  const bool read = !c.Queued && !pending && !c.Eof && c.In.size() < kInputCap;
  const uint32_t want = (pending ? uint32_t(EPOLLOUT) : 0u) | (read ? uint32_t(EPOLLIN) : 0u);
  if (want == c.Interest) return;
  epoll_event ev{};
  ev.events = want;
  ev.data.fd = c.Fd;
  epoll_ctl(ep, EPOLL_CTL_MOD, c.Fd, &ev);
  c.Interest = want;
}
}  // namespace

bool TModbusListener::Start(const std::string& bindAddress, int port) {
  Stop();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(port));
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!bindAddress.empty() && inet_pton(AF_INET, bindAddress.c_str(), &addr.sin_addr) != 1) return false;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
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
  doneFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  shared_ = std::make_shared<TShared>();
  port_ = ntohs(addr.sin_port);
  stop_ = false;
  batches_ = requests_ = 0;
  thread_ = std::thread([this] { Loop(); });
  return true;
}

void TModbusListener::Stop() {
  if (listenFd_ < 0) return;
  {
    std::lock_guard lock(shared_->Mutex);
    shared_->Ended = true;
  }
  stop_ = true;
  uint64_t one = 1;
  (void)!write(wakeFd_, &one, sizeof one);
  thread_.join();
  close(listenFd_);
  close(wakeFd_);
  close(doneFd_);
  listenFd_ = wakeFd_ = doneFd_ = -1;
}

void TModbusListener::Loop() {
  const int ep = epoll_create1(EPOLL_CLOEXEC);
  for (int fd : {listenFd_, wakeFd_, doneFd_}) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
  }
  const int64_t idleMs = int64_t(limits_.IdleSeconds) * 1000;
  std::map<int, std::unique_ptr<TConn>> conns;
  struct TItem {
    TConn* Conn;
    size_t At, Size;
  };
  std::vector<TItem> batch;
  bool inFlight = false;  // `batch` waits for the main thread or is being run there
  bool more = false;      // requests left over from the last batch: no waiting for events
  epoll_event events[64];

  while (!stop_) {
    int64_t now = MonotonicMs();
    int64_t next = now + 1000;
    for (auto& [fd, c] : conns)
      if (!c->Queued) next = std::min(next, c->Deadline);  // a queued one waits for its batch
    int n = epoll_wait(ep, events, 64, more && !inFlight ? 0 : int(std::max<int64_t>(0, next - now)));
    if (n < 0 && errno != EINTR) break;
    if (stop_) break;
    now = MonotonicMs();
    for (int i = 0; i < n; ++i) {
      const int fd = events[i].data.fd;
      if (fd == wakeFd_) continue;
      if (fd == doneFd_) {
        uint64_t v;
        (void)!read(doneFd_, &v, sizeof v);
        // The batch's answers are in: send them and take the next requests. The lock
        // orders the main thread's writes before our reads for every checker too (the
        // event counter alone does it, but only through the kernel).
        { std::lock_guard lock(shared_->Mutex); }
        inFlight = false;
        batches_.fetch_add(1, std::memory_order_relaxed);
        requests_.fetch_add(batch.size(), std::memory_order_relaxed);
        for (auto& [cfd, cp] : conns) {
          TConn& c = *cp;
          if (!c.Queued) continue;
          c.Queued = false;
          c.In.erase(c.In.begin(), c.In.begin() + long(c.Taken));
          c.Deadline = now + idleMs;  // only a complete request restarts the idle time
          Flush(c);
          if (!c.Pending() && FindFrame(c.In).State != TFrameState::Incomplete) more = true;
        }
        continue;
      }
      if (fd == listenFd_) {
        for (;;) {
          int c = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
          if (c < 0) break;
          if (int(conns.size()) >= limits_.MaxConnections) {
            close(c);  // over the bound: the client sees the connection end at once
            continue;
          }
          int one = 1;
          setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          auto conn = std::make_unique<TConn>();
          conn->Fd = c;
          conn->Deadline = now + idleMs;
          conn->Interest = EPOLLIN;
          epoll_event ev{};
          ev.events = EPOLLIN;
          ev.data.fd = c;
          epoll_ctl(ep, EPOLL_CTL_ADD, c, &ev);
          conns[c] = std::move(conn);
        }
        connections_ = int(conns.size());
        continue;
      }
      auto it = conns.find(fd);
      if (it == conns.end()) continue;
      TConn& c = *it->second;
      if (c.Queued) {
        // Its buffers belong to the batch until it is done. A hang-up is reported
        // whatever the interest: stop watching, or the loop would spin until then.
        if (events[i].events & (EPOLLHUP | EPOLLERR)) {
          epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
          c.Close = true;
        }
        continue;
      }
      if (events[i].events & EPOLLOUT) Flush(c);
      if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR) && !c.Pending() && !c.Eof) {
        while (c.In.size() < kInputCap) {
          const size_t had = c.In.size();
          c.In.resize(kInputCap);
          ssize_t r = recv(fd, c.In.data() + had, kInputCap - had, MSG_DONTWAIT);
          c.In.resize(had + size_t(std::max<ssize_t>(r, 0)));
          // A short read has taken everything (epoll reports what comes later).
          if (r > 0 && size_t(r) < kInputCap - had) break;
          if (r > 0) continue;
          if (r == 0) c.Eof = true;
          else if (errno != EAGAIN && errno != EWOULDBLOCK) c.Close = true;
          break;
        }
      }
    }

    // The next batch, once the last is done: up to kFramesPerBatch complete requests of
    // every connection whose earlier answers are out.
    if (!inFlight) {
      batch.clear();
      more = false;
      for (auto& [fd, cp] : conns) {
        TConn& c = *cp;
        if (c.Close || c.Pending()) continue;
        c.Taken = 0;
        for (int k = 0; k < kFramesPerBatch; ++k) {
          TFrame f = FindFrame(std::span<const uint8_t>(c.In).subspan(c.Taken));
          if (f.State == TFrameState::Broken) c.Close = true;  // framing lost
          if (f.State != TFrameState::Complete) break;
          batch.push_back({&c, c.Taken, f.Size});
          c.Taken += f.Size;
          c.Queued = true;
        }
      }
      if (!batch.empty()) {
        inFlight = true;
        // The batch and its connections stay untouched by this loop until doneFd_ says
        // so; if the loop has ended by the time the task runs, the task does nothing.
        post_([this, s = shared_, items = &batch] {
          std::lock_guard lock(s->Mutex);
          if (s->Ended) return;
          for (const TItem& item : *items)
            AnswerFrame(cfg_, handler_, std::span<const uint8_t>(item.Conn->In).subspan(item.At, item.Size),
                        item.Conn->Out);
          uint64_t one = 1;
          (void)!write(doneFd_, &one, sizeof one);
        });
      }
    }

    for (auto it = conns.begin(); it != conns.end();) {
      TConn& c = *it->second;
      if (c.Queued) {
        Watch(ep, c);
        ++it;
        continue;
      }
      const bool done = c.Eof && !c.Pending() && FindFrame(c.In).State != TFrameState::Complete;
      if (c.Close || done || now >= c.Deadline) {
        epoll_ctl(ep, EPOLL_CTL_DEL, c.Fd, nullptr);
        close(c.Fd);
        it = conns.erase(it);
        continue;
      }
      Watch(ep, c);
      ++it;
    }
    connections_ = int(conns.size());
  }
  {
    // A batch running on the main thread now is waited for; one run later does nothing.
    std::lock_guard lock(shared_->Mutex);
    shared_->Ended = true;
  }
  for (auto& [fd, c] : conns) close(fd);
  connections_ = 0;
  close(ep);
}
