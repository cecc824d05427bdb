// Modbus benchmark: our listener, with every request handed to the headless shell's main
// loop, against a libmodbus server (modbus_tcp_listen, a select loop and modbus_reply
// over a mapping of 65535 holding registers), both on 127.0.0.1 in this process and under
// the same load: libmodbus clients on 1 and 10 connections reading 100 registers per
// request back to back. It prints requests per second of each, their ratio, and the
// CPU time per request of our main thread (the hand-over plus the register work) and of
// the libmodbus server thread (all its work).
//
//   bench_modbus [--seconds S]    S: length of each measured run (default 3)
#include <modbus.h>
#include <sys/select.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "bench/common/bench_stats.h"
#include "server/core/command_line.h"
#include "server/core/main_window.h"
#include "server/modbus/modbus_window.h"
#include "server/runtime/zel_main.h"
#include "server/shell/headless_shell.h"
#include "tests/common/free_port.h"
#include "tests/common/test_env.h"

namespace {
constexpr int kRegisters = 100;

// Requests answered by `connections` clients in `seconds`.
long Load(int port, int connections, double seconds) {
  std::atomic<long> done{0};
  std::atomic<bool> failed{false};
  std::vector<std::thread> clients;
  for (int c = 0; c < connections; ++c) {
    clients.emplace_back([&] {
      modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
      if (modbus_connect(ctx) != 0) {
        failed = true;
        modbus_free(ctx);
        return;
      }
      uint16_t regs[kRegisters];
      long n = 0;
      const double end = SteadySec() + seconds;
      while (SteadySec() < end) {
        if (modbus_read_registers(ctx, 0, kRegisters, regs) != kRegisters) {
          failed = true;
          break;
        }
        ++n;
      }
      done += n;
      modbus_close(ctx);
      modbus_free(ctx);
    });
  }
  for (auto& t : clients) t.join();
  if (failed) std::fprintf(stderr, "a client failed: %s\n", modbus_strerror(errno));
  return done;
}

struct TResult {
  double perSecond = 0;
  double serverCpuUsPerRequest = 0;
  double perBatch = 0;  // requests per hand-over to the main thread (ours)
};

// The libmodbus server as its own examples build one for many clients.
TResult RunLibmodbus(int connections, double seconds) {
  const int port = FreePort();
  std::atomic<bool> stop{false};
  std::atomic<int64_t> cpu{0};
  std::thread server([&] {
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
    modbus_mapping_t* map = modbus_mapping_new(0, 0, 65535, 0);
    int listener = modbus_tcp_listen(ctx, 16);
    fd_set all;
    FD_ZERO(&all);
    FD_SET(listener, &all);
    int maxFd = listener;
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    const int64_t start = ThreadCpuNs();
    while (!stop) {
      fd_set ready = all;
      timeval tv{0, 100000};
      if (select(maxFd + 1, &ready, nullptr, nullptr, &tv) <= 0) continue;
      for (int fd = 0; fd <= maxFd; ++fd) {
        if (!FD_ISSET(fd, &ready)) continue;
        if (fd == listener) {
          int c = accept(listener, nullptr, nullptr);
          if (c >= 0) {
            FD_SET(c, &all);
            maxFd = std::max(maxFd, c);
          }
          continue;
        }
        modbus_set_socket(ctx, fd);
        int rc = modbus_receive(ctx, query);
        if (rc > 0) {
          modbus_reply(ctx, query, rc, map);
        } else if (rc == -1) {
          close(fd);
          FD_CLR(fd, &all);
        }
      }
    }
    cpu = ThreadCpuNs() - start;
    for (int fd = 0; fd <= maxFd; ++fd)
      if (FD_ISSET(fd, &all)) close(fd);
    modbus_mapping_free(map);
    modbus_free(ctx);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // listening
  const long n = Load(port, connections, seconds);
  stop = true;
  server.join();
  return {double(n) / seconds, n ? double(cpu) / 1000.0 / double(n) : 0};
}

// Ours: the Modbus window over a plant of 16 devices of 2000 variables, its requests
// run by the real headless shell's main loop on this thread.
TResult RunOurs(TZelMain& plant, int connections, double seconds) {
  TZelMain empty;  // the main window's own object: nothing to log in to
  THeadlessShell shell;
  TMainWindow window(empty, shell);
  window.Create();
  TfrmModbusTCP modbus(plant, [&shell](std::function<void()> task) { shell.Post(std::move(task)); });
  TModbusOptions options;
  options.Bind = "127.0.0.1";
  if (!modbus.Create(FreePort(), false, options)) {
    std::fprintf(stderr, "%s\n", modbus.StartText.c_str());
    std::exit(1);
  }
  long n = 0;
  std::thread load([&] {
    n = Load(modbus.Port(), connections, seconds);
    shell.Post([&shell] { shell.Quit(); });
  });
  const int64_t start = ThreadCpuNs();
  shell.Run(window);
  const int64_t cpu = ThreadCpuNs() - start;
  load.join();
  const auto* l = modbus.Listener();
  return {double(n) / seconds, n ? double(cpu) / 1000.0 / double(n) : 0,
          l->Batches() ? double(l->Requests()) / double(l->Batches()) : 0};
}
}  // namespace

int main(int argc, char** argv) {
  double seconds = 3;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[++i]);
  TTempDir dir;  // the shell's window socket goes there
  setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
  g_KeepRunning = true;  // the main window must not close for want of clients

  TZelMain plant;
  for (int k = 0; k < 16; ++k) {
    auto p = plant.NewPrj();
    p->Name = std::to_string(1001 + k);
    for (int j = 0; j < 2000; ++j) p->Vars.push_back({"V" + std::to_string(j), "", 1 + j % 3, 0});
    plant.Prjs.push_back(std::move(p));
  }
  plant.BuildRuntime();

  std::printf("Modbus TCP, %d registers per request, %.1f s per run\n", kRegisters, seconds);
  std::printf("%-12s %14s %14s %8s %18s %18s %12s\n", "connections", "libmodbus/s", "ours/s", "ratio",
              "libmodbus us/req", "our main us/req", "req/batch");
  for (int c : {1, 10}) {
    TResult base = RunLibmodbus(c, seconds);
    TResult ours = RunOurs(plant, c, seconds);
    std::printf("%-12d %14.0f %14.0f %8.2f %18.2f %18.2f %12.2f\n", c, base.perSecond, ours.perSecond,
                base.perSecond > 0 ? ours.perSecond / base.perSecond : 0, base.serverCpuUsPerRequest,
                ours.serverCpuUsPerRequest, ours.perBatch);
  }
  return 0;
}
