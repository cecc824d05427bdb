// The headless shell runs the OPC UA step as soon as the server's descriptor turns
// readable or its timer is due, beside the 10 ms base tick, and only then: steps are
// counted by cause (the window's UaEventSteps against the host's steps); no time is
// asserted.
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common/config/app_paths.h"
#include "common/settings/sys_config.h"
#include "server/core/command_line.h"
#include "server/core/main_window.h"
#include "server/runtime/zel_main.h"
#include "server/shell/headless_shell.h"
#include "tests/common/test_env.h"

namespace {

// The OPC UA server as the window sees it: an event descriptor plays a client's request
// (a step consumes it) and the wait's timer is set by the test.
struct TFakeUaHost : TUaServerHost {
  int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  int timeoutMs = -1;
  std::atomic<int> steps{0};
  ~TFakeUaHost() override { close(fd); }
  bool Start() override { return true; }
  void RunStep() override {
    uint64_t v;
    (void)!read(fd, &v, sizeof v);
    ++steps;
  }
  int ClientCount() override { return 0; }
  int Port() const override { return 0; }
  TWait Wait() override { return {fd, timeoutMs}; }
};

class UaWake : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetAppPathsForTest();
    InitAppPaths();
    TSysOP = TSysOPRecord{};
    ResetCommandLineFlags();
  }
  void TearDown() override {
    ResetAppPathsForTest();
    ResetCommandLineFlags();
  }
  TTempDir dir_;
  TScopedEnv root_{"ZELOPC_DATA_ROOT", dir_.path()};
  TScopedEnv runtime_{"XDG_RUNTIME_DIR", dir_.path()};
};

TEST_F(UaWake, RequestOrServerTimerRunsTheStepBetweenBaseTicks) {
  struct Case {
    const char* name;
    bool request;   // the descriptor turns readable
    int timeoutMs;  // the server's next timer (-1: none), sooner than the base tick
    bool eventSteps;
  } cases[] = {{"request", true, -1, true}, {"server timer", false, 3, true}, {"neither", false, -1, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TZelMain main;
    THeadlessShell shell;
    TMainWindow w(main, shell);
    auto host = std::make_unique<TFakeUaHost>();
    TFakeUaHost& ua = *host;
    ua.timeoutMs = c.timeoutMs;
    w.Create(std::move(host));
    int64_t eventSteps = -1;
    std::thread driver([&] {
      auto read = [&] {
        int64_t n = 0;
        shell.RunOnMainAndWait([&] { n = w.UaEventSteps; });
        return n;
      };
      // The guard only keeps a broken case from hanging the suite.
      const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      auto waitSteps = [&](int n) {
        while (ua.steps < n && std::chrono::steady_clock::now() < guard)
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
      };
      waitSteps(2);  // the first base tick started the server
      if (c.request) {
        // A request that a base tick happens to take first does not count: send again.
        while (read() == 0 && std::chrono::steady_clock::now() < guard) {
          uint64_t one = 1;
          (void)!write(ua.fd, &one, sizeof one);
          int before = ua.steps;
          waitSteps(before + 1);
        }
      } else {
        waitSteps(ua.steps + 10);  // ten base ticks at least
        if (c.eventSteps)
          while (read() == 0 && std::chrono::steady_clock::now() < guard) waitSteps(ua.steps + 1);
      }
      eventSteps = read();
      shell.Post([&] { shell.Quit(); });
    });
    shell.Run(w);
    driver.join();
    EXPECT_EQ(eventSteps > 0, c.eventSteps) << eventSteps;
    EXPECT_GE(ua.steps, 2);
  }
}

}  // namespace
