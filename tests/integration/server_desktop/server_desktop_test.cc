// The real server on a display (Xvfb): it picks the desktop shell unless told
// "-headless", answers the window channel and Modbus requests there, goes to the tray
// with OPC UA and counts a node-opcua client in its OPC UA label, and message 1034 ends
// it with the login cache saved.
#include <gtest/gtest.h>
#include <modbus.h>

#include <cerrno>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#if ZEL_TEST_TRAY
#include <xcb/xcb.h>
#endif

#include "common/platform/paths.h"
#include "common/platform/window_channel.h"
#include "server/core/main_window.h"
#include "tests/common/child_process.h"
#include "tests/common/cloudsim_fixture.h"
#include "tests/common/free_port.h"
#include "tests/common/log_receiver.h"
#include "tests/common/sim_plant.h"
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

// The "window" request's lines as name -> text.
std::map<std::string, std::string> WindowView() {
  std::vector<std::string> lines;
  std::map<std::string, std::string> view;
  if (!WindowRequest(kMainWindowClass, kMainWindowCaption, "window", lines)) return view;
  for (const std::string& l : lines) {
    const size_t tab = l.find('\t');
    if (tab != std::string::npos) view[l.substr(0, tab)] = l.substr(tab + 1);
  }
  return view;
}

#if ZEL_TEST_TRAY
// A notification area of the test's own, as a desktop panel has: the owner of the X
// screen's tray selection, announced to the clients. Qt only needs to find it; docking
// icons are left alone.
class TTestTray {
 public:
  ~TTestTray() {
    if (c_) xcb_disconnect(c_);
  }
  bool Start(const std::string& display) {
    int screenNo = 0;
    c_ = xcb_connect(display.c_str(), &screenNo);
    if (xcb_connection_has_error(c_)) return false;
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c_));
    for (int i = 0; i < screenNo && it.rem; ++i) xcb_screen_next(&it);
    const xcb_window_t root = it.data->root;
    const xcb_window_t win = xcb_generate_id(c_);
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, win, root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, 0, nullptr);
    const xcb_atom_t selection = Atom("_NET_SYSTEM_TRAY_S" + std::to_string(screenNo));
    xcb_set_selection_owner(c_, win, selection, XCB_CURRENT_TIME);
    xcb_client_message_event_t ev{};
    ev.response_type = XCB_CLIENT_MESSAGE;
    ev.format = 32;
    ev.window = root;
    ev.type = Atom("MANAGER");
    ev.data.data32[0] = XCB_CURRENT_TIME;
    ev.data.data32[1] = selection;
    ev.data.data32[2] = win;
    xcb_send_event(c_, 0, root, XCB_EVENT_MASK_STRUCTURE_NOTIFY, reinterpret_cast<const char*>(&ev));
    xcb_get_selection_owner_reply_t* owner =
        xcb_get_selection_owner_reply(c_, xcb_get_selection_owner(c_, selection), nullptr);
    const bool ok = owner && owner->owner == win;
    free(owner);
    return ok;
  }

 private:
  xcb_atom_t Atom(const std::string& name) {
    xcb_intern_atom_reply_t* r =
        xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, uint16_t(name.size()), name.c_str()), nullptr);
    const xcb_atom_t a = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
    free(r);
    return a;
  }
  xcb_connection_t* c_ = nullptr;
};
#endif
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

// The server on that display with the test's data and runtime folders.
bool StartDesktopServer(TChildProcess& server, const TTempDir& dir, const std::string& display,
                        const TLogReceiver& log, const std::vector<std::string>& args = {}) {
  return server.Start(kServer, args,
                      {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb", "ZELOPC_DATA_ROOT=" + dir.path(),
                       "XDG_RUNTIME_DIR=" + dir.path(), log.Env()},
                      dir / "server.txt");
}

// Message 1034 ends the server cleanly, which writes the login cache again (removed
// first); the cache's text.
std::string CloseByMessageAndReadCache(TChildProcess& server, const TTempDir& dir) {
  std::error_code ec;
  std::filesystem::remove(dir / "ZelOPC3/OpcRegCache.Dat", ec);
  EXPECT_TRUE(SendWindowMessage(kMainWindowClass, kMainWindowCaption, kMsgCloseServer));
  int code = -1;
  EXPECT_TRUE(server.Wait(20000, &code));
  EXPECT_EQ(code, 0);
  std::string cache;
  EXPECT_TRUE(ReadFileBytes(dir / "ZelOPC3/OpcRegCache.Dat", cache)) << "no login cache";
  return cache;
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
    ASSERT_TRUE(StartDesktopServer(server, dir, display, log, args));
    ASSERT_FALSE(log.WaitFor("ZelOpcServer_V3 Start!", 20000).empty());
    ASSERT_TRUE(WaitUntil([] { return FindWindowChannel(kMainWindowClass, kMainWindowCaption); }, 20000));
    std::vector<std::string> lines;
    EXPECT_TRUE(WindowRequest(kMainWindowClass, kMainWindowCaption, "status", lines));
    // The headless shell reports its labels as log lines; the desktop shows them instead
    // (its first client count comes within a second, so a second and a half tells).
    EXPECT_EQ(!log.WaitFor("OPCDA:", c.headless ? 20000 : 1500).empty(), c.headless);
    // Either way the window request tells the labels; without OPC UA the desktop window
    // stays as created, minimised.
    std::map<std::string, std::string> view;
    EXPECT_TRUE(WaitUntil(
        [&] {
          view = WindowView();
          return view["opcda"] == "OPCDA:有0个客户端连接";
        },
        20000));
    EXPECT_EQ(view["state"], c.headless ? "headless" : "minimized");
    CloseByMessageAndReadCache(server, dir);
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
  ASSERT_TRUE(StartDesktopServer(server, dir, display, log));
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

// With OPC UA the window goes to the tray at its first tick; a node-opcua client shows
// in the OPC UA label while its session lasts; message 1034 ends the server, which saves
// the login cache of its device.
TEST(ServerDesktop, OpcUaClientShowsInTheTrayWindowAndMessage1034Closes) {
  if (FindXvfb().empty()) GTEST_SKIP() << "Xvfb is not installed";
  if (!std::filesystem::exists(ZEL_NODE_MODULES "/node-opcua")) GTEST_SKIP() << "node-opcua is not installed";
  TTempDir dir;
  TScopedEnv runtime("XDG_RUNTIME_DIR", dir.path());
  TChildProcess x;
  const std::string display = StartXvfb(x, dir);
  ASSERT_FALSE(display.empty());
#if ZEL_TEST_TRAY
  TTestTray tray;
  ASSERT_TRUE(tray.Start(display));
  const std::string hidden = "tray";
#else
  const std::string hidden = "minimized";  // no notification area: the window minimises
#endif
  TCloudSim sim;
  std::filesystem::create_directories(dir / "ZelOPC3");
  ASSERT_TRUE(sim.Start(dir, SimPlant(1), {"--write-config", dir / "ZelOPC3/ZelOpc.Dat"}));
  const int port = FreePort();
  ASSERT_TRUE(WriteFileAtomic(dir / "ZelOPC3/config.ini",
                              "[OPCUA]\nEnable=1\nPort=" + std::to_string(port) + "\n"));
  TLogReceiver log;
  TChildProcess server;
  ASSERT_TRUE(StartDesktopServer(server, dir, display, log));
  std::map<std::string, std::string> view;
  ASSERT_TRUE(WaitUntil(
      [&] {
        view = WindowView();
        return view["state"] == hidden && view["opcua"] == "OPCUA:有0个客户端连接";
      },
      30000))
      << view["state"] << " / " << view["opcua"] << "\n" << server.Output();
  EXPECT_EQ(view["status"], "OPCUA端口:" + std::to_string(port));
  EXPECT_EQ(view["opcda"], "OPCDA:有0个客户端连接");

  TChildProcess client;
  ASSERT_TRUE(client.Start("/usr/bin/env",
                           {"node", ZEL_UA_CLIENT_JS, "opc.tcp://127.0.0.1:" + std::to_string(port), "hold", "60000"},
                           {"NODE_PATH=" ZEL_NODE_MODULES, "HOME=" + dir.path(), "XDG_CONFIG_HOME=" + dir / "config"},
                           dir / "node.txt"));
  ASSERT_TRUE(WaitUntil([&] { return client.Output().find("ok\n") != std::string::npos || !client.Running(); }, 60000))
      << client.Output();
  ASSERT_NE(client.Output().find("ok\n"), std::string::npos) << client.Output();
  EXPECT_TRUE(WaitUntil([&] { return WindowView()["opcua"] == "OPCUA:有1个客户端连接"; }, 20000))
      << WindowView()["opcua"];
  // The device's session is made by now (the plant runs), so the cache has an entry.
  EXPECT_TRUE(WaitUntil([&] {
    std::vector<std::string> lines;
    return WindowRequest(kMainWindowClass, kMainWindowCaption, "status", lines) && lines.size() == 1 &&
           lines[0].find("正常运行") != std::string::npos;
  }, 30000));
  client.Kill();

  EXPECT_NE(CloseByMessageAndReadCache(server, dir).find("1001"), std::string::npos);
  x.Signal(SIGTERM);
  EXPECT_TRUE(x.Wait(10000));
}
