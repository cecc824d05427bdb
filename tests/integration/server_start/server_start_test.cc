// The real server process: single instance, registration, the start modes.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>
#include <filesystem>

#include "common/config/cfg_file.h"
#include "common/platform/paths.h"
#include "common/platform/window_channel.h"
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

// A large gateway's "values" answer comes whole, terminator included, while another
// requester that asked for it and reads nothing holds the server up in no way.
TEST_F(ServerStart, ValuesAnswerOfALargeGatewayComesWhole) {
  struct TCfg : TOpcCfgFile {
    std::unique_ptr<TOpcPrj> NewPrj() override { return std::make_unique<TOpcPrj>(); }
  } cfg;
  constexpr int kPrjs = 3, kVarsPerPrj = 4000;
  for (int i = 0; i < kPrjs; ++i) {
    auto p = cfg.NewPrj();
    p->Name = std::to_string(1001 + i);
    p->Password = "pw";
    p->CustServer = "http://127.0.0.1:9";  // nothing answers: the values stay bad
    for (int v = 0; v < kVarsPerPrj; ++v)
      p->Vars.push_back({"Variable_with_a_long_descriptive_name_" + std::to_string(v), "", 3, 0});
    cfg.Prjs.push_back(std::move(p));
  }
  ASSERT_TRUE(CreateDir(dir_ / "ZelOPC3"));
  std::string error;
  ASSERT_TRUE(cfg.SavePrjFileAs(dir_ / "ZelOPC3/ZelOpc.Dat", ObjArFormat::BIN, error)) << error;
  TScopedEnv runtime("XDG_RUNTIME_DIR", dir_.path());
  TChildProcess server;
  ASSERT_TRUE(server.Start(kServer, {"-K"}, Env(), dir_ / "server.txt"));
  std::vector<std::string> lines;
  for (int i = 0; i < 100 && !FindWindowChannel("TfrmOpcServer3Main", "$ZEL_OPC_SERVER3$"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

  // The stuck requester: asks, never reads.
  const int stuck = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  const std::string path = WindowSocketPath("TfrmOpcServer3Main", "$ZEL_OPC_SERVER3$");
  std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(connect(stuck, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(send(stuck, "values\n", 7, MSG_NOSIGNAL), 7);

  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(WindowRequest("TfrmOpcServer3Main", "$ZEL_OPC_SERVER3$", "values", lines, 20000))
        << "round " << round << ": " << lines.size() << " lines\n" << server.Output();
    ASSERT_EQ(lines.size(), size_t(kPrjs * kVarsPerPrj)) << "round " << round;
    EXPECT_EQ(lines.back(), "1003\tVariable_with_a_long_descriptive_name_3999\t0\tbad");
  }
  close(stuck);
  EXPECT_TRUE(server.Running());
  server.Signal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(server.Wait(10000, &code));
  EXPECT_EQ(code, 0);
}

// Log lines on stderr with the journal's priority prefixes: with -LOG (any spelling the
// command line accepts) and when JOURNAL_STREAM names the very stream stderr is, not
// when it names another one (a child whose stderr was redirected) nor without either.
// The datagrams go out as always.
TEST_F(ServerStart, JournalPrefixesOnStderrOnlyWhenAsked) {
  const std::string out = dir_ / "journal.txt";
  dir_.Write("journal.txt", "");
  struct stat st {};
  ASSERT_EQ(stat(out.c_str(), &st), 0);
  const std::string thisStream = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  const std::string otherStream = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + 1);
  struct TCase {
    const char* what;
    std::vector<std::string> args;
    std::string journal;  // JOURNAL_STREAM
    bool prefixed;
  } cases[] = {
      {"-LOG", {"-LOG"}, "", true},
      {"/log", {"/log"}, "", true},
      {"journal stream", {}, thisStream, true},
      {"another stream", {}, otherStream, false},
      {"neither", {}, "", false},
      {"-LOGX is no -LOG", {"-LOGX"}, "", false},
  };
  for (const TCase& c : cases) {
    std::vector<std::string> env = Env();
    env.insert(env.begin(), "JOURNAL_STREAM=" + c.journal);
    TChildProcess p;
    ASSERT_TRUE(p.Start(kServer, c.args, env, out)) << c.what;
    int code = -1;
    ASSERT_TRUE(p.Wait(10000, &code)) << c.what;
    EXPECT_EQ(code, 0) << c.what;
    const std::string text = p.Output();
    EXPECT_EQ(text.find("<6>ZelOpcServer_V3 Start!\n") != std::string::npos, c.prefixed) << c.what << "\n" << text;
    if (!c.prefixed) {
      EXPECT_EQ(text.find("ZelOpcServer_V3 Start!"), std::string::npos) << c.what;
    }
    EXPECT_FALSE(log_.WaitFor("ZelOpcServer_V3 Start!", 5000).empty()) << c.what;
  }
}


// A message box of the headless server reaches the journal once, with an error's
// priority for an error, and without -LOG stays the plain stderr line it was.
TEST_F(ServerStart, JournalCarriesAnErrorBoxOnce) {
  dir_.Write("afile", "x");
  for (const bool journal : {true, false}) {
    std::vector<std::string> env = Env();
    env.insert(env.begin(), "ZELOPC_DATA_ROOT=" + (dir_ / "afile/sub"));
    env.insert(env.begin(), "JOURNAL_STREAM=");
    std::vector<std::string> args;
    if (journal) args.push_back("-LOG");
    TChildProcess p;
    ASSERT_TRUE(p.Start(kServer, args, env, dir_ / "box.txt"));
    int code = -1;
    ASSERT_TRUE(p.Wait(10000, &code));
    const std::string out = p.Output();
    size_t first = out.find("cannot create the data directory");
    ASSERT_NE(first, std::string::npos) << out;
    EXPECT_EQ(out.find("cannot create the data directory", first + 1), std::string::npos) << out;
    const size_t lineStart = out.rfind('\n', first) == std::string::npos ? 0 : out.rfind('\n', first) + 1;
    EXPECT_EQ(out.compare(lineStart, 10, "<3>[ERROR]") == 0, journal) << out;
    EXPECT_EQ(out.compare(lineStart, 8, "[ERROR] ") == 0, !journal) << out;
  }
}
