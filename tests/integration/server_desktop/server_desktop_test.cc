// The real server on a display (Xvfb): it picks the desktop shell unless told
// "-headless", answers the window channel and Modbus requests there, and message 1034
// ends it with the login cache saved.
#include <gtest/gtest.h>
#include <modbus.h>

#include <cerrno>

#include <chrono>
#include <filesystem>
#include <thread>

#include "common/platform/paths.h"
#include "common/platform/window_channel.h"
#include "server/core/main_window.h"
#include "tests/common/child_process.h"
#include "tests/common/free_port.h"
#include "tests/common/log_receiver.h"
#include "tests/common/test_env.h"

namespace {
const std::string kServer = std::string(ZEL_BIN_DIR) + "/ZelOpcServer3";

std::string FindXvfb() {
  for (const char* p : {"/usr/bin/Xvfb", "/usr/local/bin/Xvfb"})
    if (std::filesystem::exists(p)) return p;
  return "";
}

// Waits until `done` holds, up to `ms` (a bound for a fault, not a timing claim).
bool WaitUntil(const std::function<bool()>& done, int ms) {
  for (int i = 0; i < ms / 20 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return done();
}
}  // namespace

// An Xvfb of its own on a free display; its name (":N"), or empty when it cannot run.
std::string StartXvfb(TChildProcess& x, const TTempDir& dir) {
  const std::string xvfb = FindXvfb();
  if (xvfb.empty()) return "";
  // Xvfb picks a free display and writes its number to stdout.
  if (!x.Start(xvfb, {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1024x768x24"}, {}, dir / "display.txt"))
    return "";
  std::string display;
  if (!WaitUntil(
          [&] {
            ReadFileBytes(dir / "display.txt", display);
            return !display.empty() && display.back() == '\n';
          },
          20000))
    return "";
  return ":" + display.substr(0, display.size() - 1);
}

TEST(ServerDesktop, PicksTheDesktopShellAndClosesOnMessage1034) {
  if (FindXvfb().empty()) GTEST_SKIP() << "Xvfb is not installed";
  TTempDir dir;
  TScopedEnv runtime("XDG_RUNTIME_DIR", dir.path());  // where the window channel is looked for
  TChildProcess x;
  const std::string display = StartXvfb(x, dir);
  ASSERT_FALSE(display.empty());

  struct Case {
    bool headless;
  } cases[] = {{false}, {true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.headless ? "-headless" : "desktop");
    TLogReceiver log;
    std::vector<std::string> args{"-K"};
    if (c.headless) args.push_back("-headless");
    TChildProcess server;
    ASSERT_TRUE(server.Start(kServer, args,
                             {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb", "ZELOPC_DATA_ROOT=" + dir.path(),
                              "XDG_RUNTIME_DIR=" + dir.path(), log.Env()},
                             dir / "server.txt"));
    ASSERT_FALSE(log.WaitFor("ZelOpcServer_V3 Start!", 20000).empty());
    ASSERT_TRUE(WaitUntil([] { return FindWindowChannel(kMainWindowClass, kMainWindowCaption); }, 20000));
    std::vector<std::string> lines;
    EXPECT_TRUE(WindowRequest(kMainWindowClass, kMainWindowCaption, "status", lines));
    // The headless shell reports its labels as log lines; the desktop shows them instead
    // (its first client count comes within a second, so a second and a half tells).
    EXPECT_EQ(!log.WaitFor("OPCDA:", c.headless ? 20000 : 1500).empty(), c.headless);
    std::error_code ec;
    std::filesystem::remove(dir / "ZelOPC3/OpcRegCache.Dat", ec);
    EXPECT_TRUE(SendWindowMessage(kMainWindowClass, kMainWindowCaption, kMsgCloseServer));
    int code = -1;
    ASSERT_TRUE(server.Wait(20000, &code));
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(std::filesystem::exists(dir / "ZelOPC3/OpcRegCache.Dat"));
  }
  x.Signal(SIGTERM);
  EXPECT_TRUE(x.Wait(10000));
}

// Modbus requests reach the main thread through the desktop shell's posted tasks.
TEST(ServerDesktop, ModbusRequestsAreServedByTheDesktopShell) {
  if (FindXvfb().empty()) GTEST_SKIP() << "Xvfb is not installed";
  TTempDir dir;
  TScopedEnv runtime("XDG_RUNTIME_DIR", dir.path());
  TChildProcess x;
  const std::string display = StartXvfb(x, dir);
  ASSERT_FALSE(display.empty());
  const int port = FreePort();
  std::filesystem::create_directories(dir / "ZelOPC3");
  ASSERT_TRUE(WriteFileAtomic(dir / "ZelOPC3/config.ini",
                              "[OPCUA]\nEnable=0\n[MODBUS]\nEnable=1\nBind=127.0.0.1\nPort=" +
                                  std::to_string(port) + "\n"));
  TLogReceiver log;
  TChildProcess server;
  ASSERT_TRUE(server.Start(kServer, {},
                           {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb", "ZELOPC_DATA_ROOT=" + dir.path(),
                            "XDG_RUNTIME_DIR=" + dir.path(), log.Env()},
                           dir / "server.txt"));
  ASSERT_TRUE(WaitUntil([] { return FindWindowChannel(kMainWindowClass, kMainWindowCaption); }, 20000));
  modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
  ASSERT_NE(ctx, nullptr);
  modbus_set_response_timeout(ctx, 20, 0);
  ASSERT_EQ(modbus_connect(ctx), 0);
  // Without devices the answer is an exception or data; either way the main thread answered.
  uint16_t reg[2];
  const int n = modbus_read_registers(ctx, 0, 2, reg);
  const int err = errno;
  EXPECT_TRUE(n == 2 || (err != ETIMEDOUT && err != EPIPE && err != ECONNRESET)) << modbus_strerror(err);
  modbus_close(ctx);
  modbus_free(ctx);
  EXPECT_TRUE(SendWindowMessage(kMainWindowClass, kMainWindowCaption, kMsgCloseServer));
  int code = -1;
  ASSERT_TRUE(server.Wait(20000, &code));
  EXPECT_EQ(code, 0);
  x.Signal(SIGTERM);
  EXPECT_TRUE(x.Wait(10000));
}
