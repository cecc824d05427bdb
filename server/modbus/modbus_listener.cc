#include "server/modbus/modbus_listener.h"

#include <map>
#include <memory>
#include <vector>

#include "common/platform/clock.h"

namespace net = listener_net;

namespace {
// Input held per connection: a few pipelined requests at most.
constexpr size_t kInputCap = 4096;
// Requests of one connection per batch, so one client cannot fill a batch alone.
constexpr int kFramesPerBatch = 8;

struct TConn {
  net::TSocket Fd = net::kNone;
  std::vector<uint8_t> In;
  std::vector<uint8_t> Out;
  size_t Sent = 0;
  size_t Taken = 0;  // input bytes of the frames in the current batch
  int64_t Deadline = 0;
  uint32_t Interest = 0;
  bool Close = false;
  bool Eof = false;     // the client sent its last bytes: answer them, then close
  bool Queued = false;  // part of the batch in flight: In and Out belong to it
  bool HungUp = false;  // seen hung up while queued: watched no more
  bool Pending() const { return Sent < Out.size(); }
};

void Flush(TConn& c) {
  while (c.Pending()) {
    long n = net::Send(c.Fd, c.Out.data() + c.Sent, c.Out.size() - c.Sent);
    if (n > 0) {
      c.Sent += size_t(n);
    } else {
      if (n == net::kLater) return;
      c.Close = true;
      return;
    }
  }
  c.Out.clear();
  c.Sent = 0;
}

// Read while answers are out; write while answers wait; neither while the main thread
// works on the connection's batch (its buffers are not ours to look at then).
void Watch(net::TPoller& poller, TConn& c) {
  if (c.HungUp) return;
  const bool pending = !c.Queued && c.Pending();
  const bool read = !c.Queued && !pending && !c.Eof && c.In.size() < kInputCap;
  const uint32_t want = (pending ? net::kOut : 0u) | (read ? net::kIn : 0u);
  if (want == c.Interest) return;
  poller.Watch(c.Fd, want);
  c.Interest = want;
}
}  // namespace

bool TModbusListener::Start(const std::string& bindAddress, int port) {
  Stop();
  int bound = 0;
  net::TSocket fd = net::Listen(bindAddress, port, bound);
  if (fd == net::kNone) return false;
  auto wake = std::make_unique<net::TSignal>();
  auto done = std::make_unique<net::TSignal>();
  if (!wake->Ok() || !done->Ok()) {
    net::Close(fd);
    return false;
  }
  listenFd_ = fd;
  wake_ = std::move(wake);
  done_ = std::move(done);
  shared_ = std::make_shared<TShared>();
  port_ = bound;
  stop_ = false;
  batches_ = requests_ = 0;
  thread_ = std::thread([this] { Loop(); });
  return true;
}

void TModbusListener::Stop() {
  if (listenFd_ == net::kNone) return;
  {
    std::lock_guard lock(shared_->Mutex);
    shared_->Ended = true;
  }
  stop_ = true;
  wake_->Raise();
  thread_.join();
  net::Close(listenFd_);
  listenFd_ = net::kNone;
  wake_.reset();
  done_.reset();
}

void TModbusListener::Loop() {
  net::TPoller poller;
  for (net::TSocket fd : {listenFd_, wake_->Id(), done_->Id()}) poller.Watch(fd, net::kIn);
  const int64_t idleMs = int64_t(limits_.IdleSeconds) * 1000;
  std::map<net::TSocket, std::unique_ptr<TConn>> conns;
  struct TItem {
    TConn* Conn;
    size_t At, Size;
  };
  std::vector<TItem> batch;
  bool inFlight = false;  // `batch` waits for the main thread or is being run there
  bool more = false;      // requests left over from the last batch: no waiting for events
  net::TPoller::TEvent events[64];

  while (!stop_) {
    int64_t now = MonotonicMs();
    int64_t next = now + 1000;
    for (auto& [fd, c] : conns)
      if (!c->Queued) next = std::min(next, c->Deadline);  // a queued one waits for its batch
    int n = poller.Wait(more && !inFlight ? 0 : int(std::max<int64_t>(0, next - now)), events, 64);
    if (n < 0) break;
    if (stop_) break;
    now = MonotonicMs();
    for (int i = 0; i < n; ++i) {
      const net::TSocket fd = events[i].Socket;
      const uint32_t ev = events[i].Events;
      if (fd == wake_->Id()) continue;
      if (fd == done_->Id()) {
        done_->Clear();
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
          net::TSocket c = net::Accept(listenFd_);
          if (c == net::kNone) break;
          if (int(conns.size()) >= limits_.MaxConnections) {
            net::Close(c);  // over the bound: the client sees the connection end at once
            continue;
          }
          auto conn = std::make_unique<TConn>();
          conn->Fd = c;
          conn->Deadline = now + idleMs;
          conn->Interest = net::kIn;
          poller.Watch(c, net::kIn);
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
        if (ev & net::kHangUp) {
          poller.Forget(fd);
          c.HungUp = c.Close = true;
        }
        continue;
      }
      if (ev & net::kOut) Flush(c);
      if (ev & (net::kIn | net::kHangUp) && !c.Pending() && !c.Eof) {
        while (c.In.size() < kInputCap) {
          const size_t had = c.In.size();
          c.In.resize(kInputCap);
          long r = net::Recv(fd, c.In.data() + had, kInputCap - had);
          c.In.resize(had + size_t(std::max<long>(r, 0)));
          // A short read has taken everything (the poller reports what comes later).
          if (r > 0 && size_t(r) < kInputCap - had) break;
          if (r > 0) continue;
          if (r == net::kEnd) c.Eof = true;
          else if (r == net::kBroken) c.Close = true;
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
        // The batch and its connections stay untouched by this loop until done_ says
        // so; if the loop has ended by the time the task runs, the task does nothing.
        post_([this, s = shared_, items = &batch] {
          std::lock_guard lock(s->Mutex);
          if (s->Ended) return;
          for (const TItem& item : *items)
            AnswerFrame(cfg_, handler_, std::span<const uint8_t>(item.Conn->In).subspan(item.At, item.Size),
                        item.Conn->Out);
          done_->Raise();
        });
      }
    }

    for (auto it = conns.begin(); it != conns.end();) {
      TConn& c = *it->second;
      if (c.Queued) {
        Watch(poller, c);
        ++it;
        continue;
      }
      const bool done = c.Eof && !c.Pending() && FindFrame(c.In).State != TFrameState::Complete;
      if (c.Close || done || now >= c.Deadline) {
        poller.Forget(c.Fd);
        net::Close(c.Fd);
        it = conns.erase(it);
        continue;
      }
      Watch(poller, c);
      ++it;
    }
    connections_ = int(conns.size());
  }
  {
    // A batch running on the main thread now is waited for; one run later does nothing.
    std::lock_guard lock(shared_->Mutex);
    shared_->Ended = true;
  }
  for (auto& [fd, c] : conns) net::Close(fd);
  connections_ = 0;
}
