// The real server process: single instance, registration, the start modes.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>

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

namespace {
// The HKCR part of the registry file as rows "key | value name | data"; a key without
// values is one row "key |  | (key)". Names: '@' for the default value.
std::set<std::string> HkcrRows(const std::string& text) {
  std::set<std::string> rows;
  std::string key;
  bool hasValues = true;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
      if (!hasValues) rows.insert(key + " |  | (key)");
      key = line.substr(1, line.size() - 2);
      hasValues = false;
      continue;
    }
    if (line.empty() || key.rfind("HKCR\\", 0) != 0) continue;
    const size_t eq = line.find("=\"");
    std::string name = line.substr(0, eq);
    if (name.size() >= 2 && name.front() == '"') name = name.substr(1, name.size() - 2);
    rows.insert(key + " | " + name + " | " + line.substr(eq + 2, line.size() - eq - 3));
    hasValues = true;
  }
  if (!hasValues && key.rfind("HKCR\\", 0) == 0) rows.insert(key + " |  | (key)");
  return rows;
}
}  // namespace

// "-REGSERVER" writes exactly the classes' entries, the type library's records and the
// OPC DA 2.0 category; "-UNREGSERVER" takes back everything but the category, which other
// servers share.
TEST_F(ServerStart, RegServerWritesTheRegistryAndUnregServerRemovesIt) {
  const std::string srv = "{6B1D9A52-3C7E-4F0A-9E21-5A8C0D3F7B11}";
  const std::string grp = "{6B1D9A52-3C7E-4F0A-9E21-5A8C0D3F7B12}";
  const std::string lib = "{6B1D9A52-3C7E-4F0A-9E21-5A8C0D3F7B10}";
  const std::string ida2 = "{6B1D9A52-3C7E-4F0A-9E21-5A8C0D3F7B13}";
  const std::string cat20 = "{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}";
  const std::string psoa = "{00020424-0000-0000-C000-000000000046}";
  const std::string dir = kServer.substr(0, kServer.rfind('/'));
  const std::string category = "HKCR\\Component Categories\\" + cat20 + " | 409 | OPC Data Access Servers Version 2.0";
  std::set<std::string> expected = {
      "HKCR\\ZELOPC | @ | ZELOPC",
      "HKCR\\ZELOPC\\CLSID | @ | " + srv,
      "HKCR\\ZELOPC\\OPC | Vendor | ZELOPC",
      category,
      "HKCR\\CLSID\\" + srv + "\\Implemented Categories\\" + cat20 + " |  | (key)",
      "HKCR\\TypeLib\\" + lib + "\\3.0 | @ | Zel Net OPC Server V3",
      "HKCR\\TypeLib\\" + lib + "\\3.0\\409\\win64 | @ | " + kServer,
      "HKCR\\TypeLib\\" + lib + "\\3.0\\FLAGS | @ | 0",
      "HKCR\\TypeLib\\" + lib + "\\3.0\\HELPDIR | @ | " + dir,
      "HKCR\\Interface\\" + ida2 + " | @ | IDA2",
      "HKCR\\Interface\\" + ida2 + "\\ProxyStubClsid | @ | " + psoa,
      "HKCR\\Interface\\" + ida2 + "\\ProxyStubClsid32 | @ | " + psoa,
      "HKCR\\Interface\\" + ida2 + "\\TypeLib | @ | " + lib,
      "HKCR\\Interface\\" + ida2 + "\\TypeLib | Version | 3.0",
  };
  const struct {
    std::string clsid, progId, description;
    bool typed;
  } classes[] = {
      {srv, "ZelOpcServer3.ZELOPC", "Zel Net OPC Server 3", true},
      {grp, "ZelOpcServer3.OPCGroup", "", true},
      {"{00000100-0000-0000-C000-000000000046}", "ZelOpcServer3.TS3UnknownEnumerator", "Unknown Enumerator", false},
      {"{39C13A55-011E-11D0-9675-0020AFD8ADB3}", "ZelOpcServer3.TOPCItemAttEnumerator", "Item Attribute Enumerator",
       false},
      {"{00000101-0000-0000-C000-000000000046}", "ZelOpcServer3.TOPCStringsEnumerator", "String Enumerator", false},
  };
  for (const auto& c : classes) {
    const std::string key = "HKCR\\CLSID\\" + c.clsid;
    expected.insert(key + " | @ | " + c.description);
    expected.insert(key + "\\LocalServer32 | @ | " + kServer);
    expected.insert(key + "\\ProgID | @ | " + c.progId);
    expected.insert("HKCR\\" + c.progId + " | @ | " + c.description);
    expected.insert("HKCR\\" + c.progId + "\\Clsid | @ | " + c.clsid);
    if (c.typed) {
      expected.insert(key + "\\Version | @ | 3.0");
      expected.insert(key + "\\TypeLib | @ | " + lib);
    }
  }

  EXPECT_EQ(RunToEnd({"-REGSERVER"}), 0);
  const std::set<std::string> rows = HkcrRows(Registry());
  for (const std::string& r : expected) EXPECT_TRUE(rows.count(r)) << "missing: " << r;
  for (const std::string& r : rows) EXPECT_TRUE(expected.count(r)) << "not expected: " << r;

  // Registering twice changes nothing; the switch is read in any case, with '/' too.
  EXPECT_EQ(RunToEnd({"/regserver"}), 0);
  EXPECT_EQ(HkcrRows(Registry()), rows);

  EXPECT_EQ(RunToEnd({"-UNREGSERVER"}), 0);
  EXPECT_EQ(HkcrRows(Registry()), std::set<std::string>{category});
  // Once more on an empty registry: nothing to remove is no fault.
  EXPECT_EQ(RunToEnd({"/UnRegServer"}), 0);
  EXPECT_EQ(HkcrRows(Registry()), std::set<std::string>{category});
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
