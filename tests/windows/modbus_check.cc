// Serves the Modbus TCP listener on Winsock for tests/windows/modbus_peer.py, which talks
// to it from the Linux side (run under Wine by scripts/test-windows.sh). Holding register
// N reads as N * 3; a write of register 9999 ends the program with exit code 0, and it
// ends with 1 by itself after the seconds given. The main thread runs the listener's
// batches from a queue, as the server's main loop does; at most 2 connections, and a
// connection without a complete request for 5 s is closed.
// Prints "port N" once it listens.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>

#include "common/platform/clock.h"
#include "server/modbus/modbus_listener.h"

namespace {
class TCheckHandler final : public TModbusHandler {
 public:
  bool Stop = false;
  uint8_t OnReadHoldingRegisters(int regNr, int count, std::span<uint16_t> out) override {
    for (int i = 0; i < count; ++i) out[size_t(i)] = uint16_t((regNr + i) * 3);
    return 0;
  }
  uint8_t OnWriteRegisters(int regNr, int, std::span<const uint16_t>) override {
    if (regNr == 9999) Stop = true;
    return 0;
  }
};

// The main thread's task queue.
struct TQueue {
  std::mutex Mutex;
  std::condition_variable Changed;
  std::deque<std::function<void()>> Tasks;
};
}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  TQueue queue;
  TCheckHandler handler;
  TModbusConfig cfg;
  TModbusListener listener(cfg, handler, {2, 5}, [&queue](std::function<void()> task) {
    std::lock_guard lock(queue.Mutex);
    queue.Tasks.push_back(std::move(task));
    queue.Changed.notify_one();
  });
  if (!listener.Start("127.0.0.1", 0)) {
    std::printf("cannot listen\n");
    return 2;
  }
  std::printf("port %d\n", listener.Port());
  std::fflush(stdout);
  const int64_t end = MonotonicMs() + int64_t(seconds) * 1000;
  while (!handler.Stop && MonotonicMs() < end) {
    std::function<void()> task;
    {
      std::unique_lock lock(queue.Mutex);
      queue.Changed.wait_for(lock, std::chrono::milliseconds(100), [&] { return !queue.Tasks.empty(); });
      if (queue.Tasks.empty()) continue;
      task = std::move(queue.Tasks.front());
      queue.Tasks.pop_front();
    }
    task();
  }
  // The stop request may stay unanswered: the peer waits for the program's end instead.
  listener.Stop();
  std::printf("served %llu requests in %llu batches\n", static_cast<unsigned long long>(listener.Requests()),
              static_cast<unsigned long long>(listener.Batches()));
  return handler.Stop ? 0 : 1;
}
