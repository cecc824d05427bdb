// The real server on a display (Xvfb): it picks the desktop shell unless told
// "-headless", answers the window channel there, and message 1034 ends it with the
// login cache saved.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "common/platform/paths.h"
#include "common/platform/window_channel.h"
#include "server/core/main_window.h"
#include "tests/common/child_process.h"
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

TEST(ServerDesktop, PicksTheDesktopShellAndClosesOnMessage1034) {
  const std::string xvfb = FindXvfb();
  if (xvfb.empty()) GTEST_SKIP() << "Xvfb is not installed";
  TTempDir dir;
  TScopedEnv runtime("XDG_RUNTIME_DIR", dir.path());  // where the window channel is looked for
  TChildProcess x;
  // Xvfb picks a free display and writes its number to stdout.
  ASSERT_TRUE(x.Start(xvfb, {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1024x768x24"}, {},
                      dir / "display.txt"));
  std::string display;
  ASSERT_TRUE(WaitUntil(
      [&] {
        ReadFileBytes(dir / "display.txt", display);
        return !display.empty() && display.back() == '\n';
      },
      20000));
  display = ":" + display.substr(0, display.size() - 1);

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
