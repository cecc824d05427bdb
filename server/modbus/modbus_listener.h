// The TCP listener around the Modbus engine: one accept thread and one thread per
// connection, each moving bytes between its socket and a TModbusSession.
//
// A thread per connection because every register request waits for the main thread:
// a blocking wait on its own thread keeps the engine and the hand-over simple, and a
// client that stalls stalls only its own thread. The number of connections is bounded
// (one more is accepted and closed at once), and so is the time a connection may go
// without a complete request (a silent or trickling client is closed). A client that
// does not read its answers is closed when a send stays blocked for that time.
// Memory per connection is bounded by one read buffer and the answers to it.
#pragma once
#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "server/modbus/modbus_engine.h"

struct TListenerLimits {
  int MaxConnections = 32;
  int IdleSeconds = 60;
};

class TModbusListener {
 public:
  TModbusListener(const TModbusConfig& cfg, TModbusHandler& handler, TListenerLimits limits)
      : cfg_(cfg), handler_(handler), limits_(limits) {}
  ~TModbusListener() { Stop(); }
  TModbusListener(const TModbusListener&) = delete;
  TModbusListener& operator=(const TModbusListener&) = delete;

  // Binds `bindAddress` (an IPv4 address; empty: all local IPv4 addresses) and starts
  // accepting. Port 0 takes a free port (see Port). False when it cannot listen.
  [[nodiscard]] bool Start(const std::string& bindAddress, int port);
  // Closes the listener and every connection and waits for their threads. Calls of the
  // handler still waiting must have been released first (TMainHandOver::Stop).
  void Stop();
  int Port() const { return port_; }
  int Connections() const { return active_.load(); }

 private:
  struct TConnection {
    int Fd = -1;
    std::thread Thread;
    std::atomic<bool> Done{false};
  };
  void AcceptLoop();
  void Serve(TConnection& c);
  void Reap(bool all);

  const TModbusConfig cfg_;
  TModbusHandler& handler_;
  const TListenerLimits limits_;
  int listenFd_ = -1;
  int wakeFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> active_{0};
  std::thread acceptThread_;
  std::mutex mutex_;
  std::list<TConnection> connections_;  // guarded by mutex_; touched by the accept thread and Stop
};
