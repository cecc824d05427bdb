// The real server process: single instance, registration, the start modes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "common/platform/paths.h"
#include "tests/common/child_process.h"
#include "tests/common/log_receiver.h"
#include "tests/common/test_env.h"

namespace {
const std::string kServer = std::string(ZEL_BIN_DIR) + "/ZelOpcServer3";

class ServerStart : public ::testing::Test {
 protected:
  std::vector<std::string> Env() const {
    return {"ZELOPC_DATA_ROOT=" + dir_.path(), "XDG_RUNTIME_DIR=" + dir_.path(), log_.Env()};
  }
  std::string Registry() const {
    std::string s;
    ReadFileBytes(dir_ / "ZelOPC3.registry", s);
    return s;
  }
  // Starts the server and waits for it to end; its exit code, or -1 when it still runs.
  int RunToEnd(const std::vector<std::string>& args, int ms = 10000) {
    TChildProcess p;
    EXPECT_TRUE(p.Start(kServer, args, Env(), dir_ / "out.txt"));
    int code = -1;
    if (!p.Wait(ms, &code)) return -1;
    return code;
  }
  TTempDir dir_;
  TLogReceiver log_;
};
}  // namespace

TEST_F(ServerStart, WithoutArgumentsAndWithoutOpcUaEndsAtOnce) {
  EXPECT_EQ(RunToEnd({}), 0);
  TLogDatagram d;
  ASSERT_TRUE(log_.Next(d, 2000));
  EXPECT_EQ(d.source, 0xFF7B);
  EXPECT_EQ(d.seq, 1);
  EXPECT_EQ(d.level, 0);
  EXPECT_EQ(d.text, "ZelOpcServer_V3 Start!");
  EXPECT_TRUE(FileExists(dir_ / "ZelOPC3/config.ini"));  // seeded from the program folder
}

TEST_F(ServerStart, RegServerRegistersAndEnds) {
  EXPECT_EQ(RunToEnd({"-REGSERVER"}), 0);
  std::string reg = Registry();
  EXPECT_NE(reg.find("[HKCR\\ZelOpcServer3.ZELOPC\\Clsid]"), std::string::npos) << reg;
  EXPECT_NE(reg.find("[HKCR\\ZELOPC\\OPC]\n\"Vendor\"=\"ZELOPC\""), std::string::npos) << reg;
  EXPECT_NE(reg.find("@=\"" + kServer + "\""), std::string::npos) << reg;
}

TEST_F(ServerStart, KeepRunningAndSecondInstance) {
  TChildProcess first;
  ASSERT_TRUE(first.Start(kServer, {"-K"}, Env(), dir_ / "first.txt"));
  ASSERT_FALSE(log_.WaitFor("ZelOpcServer_V3 Start!", 5000).empty());
  // Give it time to register; it must still run afterwards.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(first.Running());
  EXPECT_NE(Registry().find("LocalServer32"), std::string::npos);

  for (auto args : {std::vector<std::string>{"-K"}, std::vector<std::string>{"-REGSERVER"}}) {
    EXPECT_EQ(RunToEnd(args, 3000), 0) << args[0];
  }
  // The second instances ended before opening the log channel: no second start line.
  EXPECT_EQ(log_.WaitFor("ZelOpcServer_V3 Start!", 300), "");
  EXPECT_TRUE(first.Running());
  first.Signal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(first.Wait(5000, &code));
  EXPECT_EQ(code, 0);
}

// Where the data folder goes: made with its missing parents (private ones) on a fresh
// account, the same absolute folder for a relative root although the server changes its
// working directory, and a clear message when it cannot be made.
TEST_F(ServerStart, DataDirectoryIsMadeWhereTheRootSays) {
  const std::string home = dir_ / "home";
  ASSERT_TRUE(CreateDir(home));
  dir_.Write("afile", "x");
  const auto relative = [this](const std::string& name) {
    return std::filesystem::relative(dir_ / name, std::filesystem::current_path()).string();
  };
  struct TCase {
    const char* what;
    std::vector<std::string> env;
    std::string root;         // where the data folder and the registry must be, "" none
    const char* output;       // expected in the output
  } cases[] = {
      {"fresh account", {"ZELOPC_DATA_ROOT=", "XDG_DATA_HOME=", "HOME=" + home}, home + "/.local/share", ""},
      {"relative data root", {"ZELOPC_DATA_ROOT=" + relative("rel")}, dir_ / "rel", ""},
      {"relative XDG data home", {"ZELOPC_DATA_ROOT=", "XDG_DATA_HOME=" + relative("xdg")}, dir_ / "xdg", ""},
      {"root below a file", {"ZELOPC_DATA_ROOT=" + (dir_ / "afile/sub")}, "",
       "cannot create the data directory"},
  };
  for (const TCase& c : cases) {
    std::vector<std::string> env = c.env;
    for (const std::string& e : Env()) env.push_back(e);  // earlier entries win
    TChildProcess p;
    ASSERT_TRUE(p.Start(kServer, {"-REGSERVER"}, env, dir_ / "out.txt")) << c.what;
    int code = -1;
    ASSERT_TRUE(p.Wait(10000, &code)) << c.what;
    EXPECT_EQ(code, 0) << c.what;
    const std::string out = p.Output();
    EXPECT_NE(out.find(c.output), std::string::npos) << c.what << "\n" << out;
    if (c.root.empty()) continue;
    EXPECT_TRUE(FileExists(c.root + "/ZelOPC3/config.ini")) << c.what;
    std::string reg;
    EXPECT_TRUE(ReadFileBytes(c.root + "/ZelOPC3.registry", reg)) << c.what;
    EXPECT_NE(reg.find("LocalServer32"), std::string::npos) << c.what;
  }
  for (const char* parent : {"/.local", "/.local/share"}) {
    struct stat st {};
    ASSERT_EQ(stat((home + parent).c_str(), &st), 0) << parent;
    EXPECT_EQ(st.st_mode & 0777, 0700u) << parent;
  }
  std::string out;
  ReadFileBytes(dir_ / "out.txt", out);
  EXPECT_NE(out.find("/afile: exists and is not a folder"), std::string::npos) << out;
}
