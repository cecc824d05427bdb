// The listener on 127.0.0.1: the bound on connections, and an orderly end while a
// batch of requests still waits for a main loop that no longer runs.
#include "server/modbus/modbus_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <future>
#include <thread>

#include "server/modbus/modbus_window.h"
#include "server/runtime/zel_main.h"
#include "tests/common/free_port.h"
#include "tests/common/loopback_client.h"

namespace {
int Connect(int port) {
  int s = ConnectLoopback(port);
  EXPECT_GE(s, 0);
  return s;
}

// Sends a read of 2 registers; the bytes of the answer (empty when the server closed).
std::vector<uint8_t> Ask(int s) {
  const uint8_t req[] = {0, 7, 0, 0, 0, 6, 1, 3, 0, 0, 0, 2};
  if (send(s, req, sizeof req, MSG_NOSIGNAL) != ssize_t(sizeof req)) return {};
  uint8_t b[64];
  ssize_t n = recv(s, b, sizeof b, 0);
  return n > 0 ? std::vector<uint8_t>(b, b + n) : std::vector<uint8_t>{};
}

TEST(ModbusListener, BoundOnConnections) {
  TModbusHandler zeros;
  TModbusConfig cfg;
  // The loop thread plays the main thread.
  TModbusListener l(cfg, zeros, {2, 60}, [](std::function<void()> f) { f(); });
  ASSERT_TRUE(l.Start("127.0.0.1", 0));
  const std::vector<uint8_t> answer{0, 7, 0, 0, 0, 7, 1, 3, 4, 0, 0, 0, 0};
  int a = Connect(l.Port()), b = Connect(l.Port());
  EXPECT_EQ(Ask(a), answer);
  EXPECT_EQ(Ask(b), answer);
  int c = Connect(l.Port());
  EXPECT_TRUE(Ask(c).empty());  // the third is closed at once
  close(c);
  close(a);
  // A slot comes free once the server has seen the end of the first connection.
  std::vector<uint8_t> got;
  while (got.empty()) {
    int d = Connect(l.Port());
    got = Ask(d);
    close(d);
  }
  EXPECT_EQ(got, answer);
  EXPECT_EQ(Ask(b), answer);
  close(b);
}

// A main loop on its own thread, as the server has one: the batches cross threads.
class TMainLoop {
 public:
  TMainLoop() : thread_([this] { Run(); }) {}
  ~TMainLoop() {
    Post({});
    thread_.join();
  }
  void Post(std::function<void()> f) {
    std::lock_guard lock(m_);
    tasks_.push_back(std::move(f));
    cv_.notify_one();
  }

 private:
  void Run() {
    for (;;) {
      std::function<void()> f;
      {
        std::unique_lock lock(m_);
        cv_.wait(lock, [&] { return !tasks_.empty(); });
        f = std::move(tasks_.front());
        tasks_.pop_front();
      }
      if (!f) return;
      f();
    }
  }
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> tasks_;
  std::thread thread_;
};

TEST(ModbusListener, ClientsAtOnceThroughAMainLoopThread) {
  TMainLoop loop;
  TModbusHandler zeros;
  TModbusConfig cfg;
  std::atomic<int> answered{0};
  {
    TModbusListener l(cfg, zeros, {8, 60}, [&](std::function<void()> f) { loop.Post(std::move(f)); });
    ASSERT_TRUE(l.Start("127.0.0.1", 0));
    std::vector<std::thread> clients;
    for (int t = 0; t < 4; ++t) {
      clients.emplace_back([&] {
        int s = Connect(l.Port());
        for (int i = 0; i < 200; ++i)
          if (Ask(s).size() == 13) ++answered;
        close(s);
      });
    }
    for (auto& t : clients) t.join();
    // Stopped where the batches run, as the server does it.
    std::promise<void> stopped;
    loop.Post([&] {
      l.Stop();
      stopped.set_value();
    });
    stopped.get_future().wait();
  }
  EXPECT_EQ(answered, 800);
}

TEST(ModbusListener, WindowEndsWhileARequestWaitsForTheMainThread) {
  TZelMain main;
  auto p = main.NewPrj();
  p->Vars.push_back({"V", "", 3, 0});
  main.Prjs.push_back(std::move(p));
  main.BuildRuntime();
  std::mutex m;
  std::vector<std::function<void()>> neverRun;
  int s = -1;
  {
    TfrmModbusTCP w(main, [&](std::function<void()> f) {
      std::lock_guard lock(m);
      neverRun.push_back(std::move(f));
    });
    TModbusOptions o;
    o.Bind = "127.0.0.1";
    ASSERT_TRUE(w.Create(FreePort(), false, o));
    s = Connect(w.Port());
    const uint8_t req[] = {0, 7, 0, 0, 0, 6, 1, 3, 0, 0, 0, 2};
    ASSERT_EQ(send(s, req, sizeof req, 0), ssize_t(sizeof req));
    for (;;) {
      std::lock_guard lock(m);
      if (!neverRun.empty()) break;
    }
  }  // the window goes: the connection ends unanswered
  uint8_t b[64];
  EXPECT_EQ(recv(s, b, sizeof b, 0), 0);
  close(s);
  for (auto& f : neverRun) f();  // late tasks touch nothing
}
}  // namespace
