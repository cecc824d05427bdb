// ZelLogView as a person runs it: where it listens, and that a datagram's text cannot
// forge lines or reach the terminal with control characters.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "common/log/server_log.h"
#include "common/platform/clock.h"
#include "common/platform/paths.h"
#include "tests/common/child_process.h"
#include "tests/common/log_receiver.h"
#include "tests/common/test_env.h"

namespace {
// A UDP port free at the time of asking: a receiver's, given up.
int FreeUdpPort() { return TLogReceiver().port(); }

// The local address of the UDP socket bound to port, as the kernel lists it
// ("0100007F" for 127.0.0.1), or "" when none is.
std::string BoundAddress(int port) {
  std::string table;
  ReadFileBytes("/proc/net/udp", table);
  char want[8];
  std::snprintf(want, sizeof want, ":%04X ", port);
  const size_t at = table.find(want);
  if (at == std::string::npos || at < 8) return {};
  return table.substr(at - 8, 8);
}

bool WaitFor(const std::function<bool()>& pred, int ms) {
  const int64_t until = MonotonicMs() + ms;
  while (!pred()) {
    if (MonotonicMs() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}
}  // namespace

TEST(LogView, ListensOnLoopbackByDefaultAndEscapesControlCharacters) {
  struct TCase {
    std::vector<std::string> args;
    const char* address;
  } cases[] = {{{}, "0100007F"}, {{"--listen", "0.0.0.0"}, "00000000"}};
  for (const TCase& c : cases) {
    TTempDir dir;
    const int port = FreeUdpPort();
    TScopedEnv env("ZELOPC_LOG_PORT", std::to_string(port));
    TChildProcess view;
    ASSERT_TRUE(view.Start(std::string(ZEL_BIN_DIR) + "/ZelLogView", c.args, {}, dir / "view.txt"));
    ASSERT_TRUE(WaitFor([&] { return view.Output().find("listening") != std::string::npos; }, 5000))
        << view.Output();
    EXPECT_EQ(BoundAddress(port), c.address);

    TServerLog log;
    ASSERT_TRUE(log.Open(0x1234));
    ASSERT_TRUE(log.Send("one\n5678  0 #9 forged\x1B[2J\xC2\x9B" "end", 0));
    const std::string want = "one\\n5678  0 #9 forged\\x1B[2J\\u009Bend\n";
    ASSERT_TRUE(WaitFor([&] { return view.Output().find(want) != std::string::npos; }, 5000)) << view.Output();
    EXPECT_EQ(view.Output().find('\x1B'), std::string::npos);
    view.Signal(SIGTERM);
    int code = -1;
    ASSERT_TRUE(view.Wait(5000, &code));
    EXPECT_EQ(code, 0);
  }
}
