// The TCP listener around the Modbus engine: one event-loop thread (epoll on Linux,
// WSAPoll on Windows, see listener_net.h) owns the
// listening socket and every connection, frames the requests and answers them in batches.
//
// An event loop rather than a thread per connection because every request must be run
// by the main thread: the loop gathers the complete requests of all ready connections
// and hands them over as one batch, so the cost of waking the main thread is shared by
// the batch instead of paid per request (measured by bench_modbus). The loop does not
// sit idle while the batch waits for the main thread: it reads the next requests
// meanwhile, and sends a batch's answers when the main thread reports it done. The main
// thread does only the requests' own work; all socket work stays on the loop.
//
// Bounds: connections (one more is accepted and closed at once); the time a connection
// may go without a complete request (a silent or trickling client is closed, and so is
// one whose answers stay unread that long); per connection one input buffer and the
// answers of one batch, and a connection with unsent answers is not read from.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server/modbus/listener_net.h"
#include "server/modbus/modbus_engine.h"

struct TListenerLimits {
  int MaxConnections = 32;
  int IdleSeconds = 60;
};

class TModbusListener {
 public:
  // Queues a task for the main loop (any thread). The handler's events run inside the
  // batches posted through it.
  using TPost = std::function<void(std::function<void()>)>;

  TModbusListener(const TModbusConfig& cfg, TModbusHandler& handler, TListenerLimits limits, TPost post)
      : cfg_(cfg), handler_(handler), limits_(limits), post_(std::move(post)) {}
  ~TModbusListener() { Stop(); }
  TModbusListener(const TModbusListener&) = delete;
  TModbusListener& operator=(const TModbusListener&) = delete;

  // Binds `bindAddress` (an IPv4 address; empty: all local IPv4 addresses) and starts
  // the loop. Port 0 takes a free port (see Port). False when it cannot listen.
  [[nodiscard]] bool Start(const std::string& bindAddress, int port);
  // Closes the listener and every connection and waits for the loop; a batch still
  // queued for the main loop then does nothing when it runs. Call it on the main thread
  // (or where posted tasks run), so that it never waits for a batch in progress.
  void Stop();
  int Port() const { return port_; }
  int Connections() const { return connections_.load(); }
  // Hand-overs to the main thread and the requests they carried, since Start.
  uint64_t Batches() const { return batches_.load(); }
  uint64_t Requests() const { return requests_.load(); }

 private:
  void Loop();

  const TModbusConfig cfg_;
  TModbusHandler& handler_;
  const TListenerLimits limits_;
  TPost post_;
  // Shared with posted batches, which may outlive the loop: once Ended, they do nothing.
  struct TShared {
    std::mutex Mutex;
    bool Ended = false;  // guarded by Mutex
  };
  std::shared_ptr<TShared> shared_;
  listener_net::TSocket listenFd_ = listener_net::kNone;
  std::unique_ptr<listener_net::TSignal> wake_;
  std::unique_ptr<listener_net::TSignal> done_;  // raised by the main thread when a batch is done
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::atomic<uint64_t> batches_{0};
  std::atomic<uint64_t> requests_{0};
  std::thread thread_;
};
