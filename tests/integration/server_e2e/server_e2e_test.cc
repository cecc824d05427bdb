// The real server process against cloudsim: every device polled, values that follow the
// cloud, the login cache across a restart, the 20 s login retry, a changed variable list,
// and faults injected while it runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "common/config/cfg_file.h"
#include "common/log/link_texts.h"
#include "common/platform/clock.h"
#include "common/platform/paths.h"
#include "common/platform/window_channel.h"
#include "tests/common/child_process.h"
#include "tests/common/cloudsim_fixture.h"
#include "tests/common/log_receiver.h"
#include "tests/common/plant_archive.h"
#include "tests/common/sim_plant.h"
#include "tests/common/test_env.h"
#include "tests/common/text_fields.h"

namespace {
const std::string kServer = std::string(ZEL_BIN_DIR) + "/ZelOpcServer3";
constexpr const char* kWindowClass = "TfrmOpcServer3Main";
constexpr const char* kWindowCaption = "$ZEL_OPC_SERVER3$";

class TTestCfg : public TOpcCfgFile {
 public:
  std::unique_ptr<TOpcPrj> NewPrj() override { return std::make_unique<TOpcPrj>(); }
};

class ServerE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim_.Start(dir_, SimPlant(3)));
    // One POST attempt per batch, so a fault shows at once instead of after 40 s of retries.
    dir_.Write("ZelOPC3/config.ini", "[SYS]\nLogWebErr=1\nErrorRetrySec=20\nWriteMaxLen=32\n[OPCUA]\nEnable=0\n");
  }
  void TearDown() override {
    if (server_.Running()) server_.Signal(SIGTERM);
    server_.Wait(5000);
  }
  std::string DataFile(const char* name) const { return dir_ / (std::string("ZelOPC3/") + name); }

  // The configuration a plant engineer would have after a first start: every device with
  // its variable list and the list's fingerprint, so the server has nothing to relearn.
  void WritePlant(bool withVars = true) {
    std::vector<TOpcCfgVar> vars;
    if (withVars) vars = {{"Count", "G1", 2, 1}, {"Set", "G1.S", 3, 0}, {"On", "", 1, 0}};
    std::string error;
    ASSERT_TRUE(WriteSimPlantArchive(sim_, DataFile("ZelOpc.Dat"), 3, vars, error)) << error;
  }
  void Start(std::vector<std::string> args = {"-K"}) {
    ASSERT_TRUE(server_.Start(kServer, args, {log_.Env()}, dir_ / "server.txt"));
  }
  std::vector<std::string> Request(const std::string& what) {
    std::vector<std::string> lines;
    if (!WindowRequest(kWindowClass, kWindowCaption, what, lines, 3000)) lines.clear();
    return lines;
  }
  bool Until(const std::function<bool()>& pred, int ms) {
    const int64_t until = MonotonicMs() + ms;
    while (MonotonicMs() < until) {
      if (pred()) return true;
      if (!server_.Running()) return pred();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  bool AllRunning() {
    auto lines = Request("status");
    if (lines.size() != 3) return false;
    for (const auto& l : lines)
      if (Fields(l).size() < 3 || Fields(l)[2] != StateText(ncsRunning)) return false;
    return true;
  }
  // Value and validity of one variable as the server holds it.
  bool Value(const std::string& device, const std::string& var, double& value, bool& good) {
    for (const auto& l : Request("values")) {
      auto f = Fields(l);
      if (f.size() == 4 && f[0] == device && f[1] == var) {
        value = std::strtod(f[2].c_str(), nullptr);
        good = f[3] == "good";
        return true;
      }
    }
    return false;
  }
  std::string Diagnose() {
    std::string s = "server output:\n" + server_.Output() + "\nstatus:\n";
    for (const auto& l : Request("status")) s += l + "\n";
    return s + "counters: " + sim_.Control("counters");
  }

  TTempDir dir_;
  TScopedEnv root_{"ZELOPC_DATA_ROOT", dir_.path()};
  TScopedEnv runtime_{"XDG_RUNTIME_DIR", dir_.path()};
  TLogReceiver log_;
  TCloudSim sim_;
  TChildProcess server_;
};
}  // namespace

TEST_F(ServerE2E, PollsEveryDeviceAndFollowsTheCloud) {
  WritePlant();
  Start();
  ASSERT_TRUE(Until([&] { return AllRunning(); }, 20000)) << Diagnose();
  // Both data servers carry devices.
  std::string counters = sim_.Control("counters");
  EXPECT_EQ(counters.find("\"perServer\":[0,"), std::string::npos) << counters;
  EXPECT_EQ(counters.find(",0]"), std::string::npos) << counters;

  double v = 0, first = 0;
  bool good = false;
  ASSERT_TRUE(Value("1001", "Count", first, good));
  ASSERT_TRUE(Until([&] { return Value("1001", "Count", v, good) && good && v >= first + 3; }, 10000)) << Diagnose();
  // The counter never runs ahead of the device's own value.
  std::string now = sim_.Control("value?device=1001&name=Count");
  EXPECT_LE(v, std::strtod(now.c_str() + now.find_first_of("0123456789"), nullptr)) << now;
  for (const char* dev : {"1001", "1002", "1003"}) {
    ASSERT_TRUE(Value(dev, "Set", v, good)) << dev;
    EXPECT_EQ(v, 1.5) << dev;
    EXPECT_TRUE(good) << dev;
  }
  server_.Signal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(server_.Wait(5000, &code));
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(FileExists(DataFile("OpcRegCache.Dat")));
}

TEST_F(ServerE2E, CloseMessageKeepsTheLoginCacheForTheNextStart) {
  WritePlant();
  Start();
  ASSERT_TRUE(Until([&] { return AllRunning(); }, 20000)) << Diagnose();
  std::string answer;
  ASSERT_TRUE(SendWindowMessage(kWindowClass, kWindowCaption, 1034, &answer, 3000));
  ASSERT_TRUE(server_.Wait(5000));
  ASSERT_TRUE(FileExists(DataFile("OpcRegCache.Dat")));
  // The cache holds session ids: only the owner may read it.
  EXPECT_EQ(std::filesystem::status(DataFile("OpcRegCache.Dat")).permissions() & std::filesystem::perms::group_read,
            std::filesystem::perms::none);

  sim_.Control("resetcounters");
  Start();
  ASSERT_TRUE(Until([&] { return AllRunning(); }, 20000)) << Diagnose();
  std::string counters = sim_.Control("counters");
  EXPECT_NE(counters.find("\"logins\":0,"), std::string::npos) << counters;
}

TEST_F(ServerE2E, RefusedLoginIsRetriedAndRecovers) {
  WritePlant();
  sim_.Control("loginerror?device=1002&code=3");
  Start();
  auto state = [&](const std::string& dev) {
    for (const auto& l : Request("status"))
      if (Fields(l).size() > 3 && Fields(l)[1] == dev) return Fields(l)[2] + "/" + Fields(l)[3];
    return std::string();
  };
  ASSERT_TRUE(Until([&] { return state("1002") == StateText(ncsError) + "/" + ErrText(ncePassword); }, 20000))
      << Diagnose();
  sim_.Control("loginerror?device=1002&code=0");
  // The next attempt comes with the 20 s retry round.
  ASSERT_TRUE(Until([&] { return AllRunning(); }, 45000)) << Diagnose();
}

TEST_F(ServerE2E, ChangedVariableListRewritesTheConfigurationAndEnds) {
  WritePlant();
  Start();
  ASSERT_TRUE(Until([&] { return AllRunning(); }, 20000)) << Diagnose();
  sim_.Control("changevars?device=1003");
  int code = -1;
  ASSERT_TRUE(server_.Wait(30000, &code)) << Diagnose();
  EXPECT_EQ(code, 0);
  TTestCfg cfg;
  ASSERT_TRUE(cfg.LoadPrjFile(DataFile("ZelOpc.Dat")));
  int i = cfg.FindPrj("1003");
  ASSERT_GE(i, 0);
  const auto& vars = cfg.Prjs[size_t(i)]->Vars;
  ASSERT_EQ(vars.size(), 4u);
  EXPECT_EQ(vars[3].Name, "Added1");
  EXPECT_EQ(vars[3].Group, "Added");
  EXPECT_EQ(cfg.Prjs[0]->Vars.size(), 3u);  // the others keep theirs
}

TEST_F(ServerE2E, FirstStartLearnsTheVariablesThenRuns) {
  WritePlant(/*withVars=*/false);
  Start();
  ASSERT_TRUE(server_.Wait(30000)) << Diagnose();
  TTestCfg cfg;
  ASSERT_TRUE(cfg.LoadPrjFile(DataFile("ZelOpc.Dat")));
  ASSERT_EQ(cfg.Prjs.size(), 3u);
  for (const auto& p : cfg.Prjs) EXPECT_EQ(p->Vars.size(), 3u) << p->Name;
  Start();
  ASSERT_TRUE(Until([&] { return AllRunning(); }, 20000)) << Diagnose();
}

TEST_F(ServerE2E, KeepsRunningThroughCloudFaults) {
  WritePlant();
  Start();
  ASSERT_TRUE(Until([&] { return AllRunning(); }, 20000)) << Diagnose();
  const char* rounds[][2] = {
      {"fault?kind=status&value=500&count=2", nullptr},
      {"fault?kind=drop&count=3", nullptr},
      {"invalidate?device=1001", nullptr},
      {"offline?device=1003&mode=error", "online?device=1003"},
      {"fault?kind=truncate&count=1", "fault?kind=corruptgzip&count=1"},
  };
  for (const auto& r : rounds) {
    SCOPED_TRACE(r[0]);
    sim_.Control(r[0]);
    if (r[1]) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));
      sim_.Control(r[1]);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    ASSERT_TRUE(Until([&] { return AllRunning(); }, 40000)) << Diagnose();
    ASSERT_TRUE(server_.Running());
  }
  double v = 0;
  bool good = false;
  ASSERT_TRUE(Until([&] { return Value("1003", "Count", v, good) && good; }, 10000)) << Diagnose();
  // A clean end after all that (under the sanitizers a fault found on the way fails it).
  server_.Signal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(server_.Wait(5000, &code));
  EXPECT_EQ(code, 0) << server_.Output();
}

// A stop while the cloud holds back its answers for a minute ends the server at once:
// transfers in progress are aborted rather than waited out (curl's time-outs are 30 s
// and more). The bound is generous and far below those time-outs.
TEST_F(ServerE2E, StopsPromptlyWhileTheCloudStalls) {
  WritePlant();
  struct Case {
    const char* name;
    bool stalledLogin;  // the login of the start is held back (else the batches)
    bool bySignal;      // SIGTERM, else MSG 1034
  } cases[] = {{"batches, MSG 1034", false, false}, {"batches, SIGTERM", false, true}, {"login, SIGTERM", true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // No login cache: the start logs in.
    std::filesystem::remove(DataFile("OpcRegCache.Dat"));
    if (c.stalledLogin) {
      sim_.Control("fault?kind=delay&value=60000&count=1000&path=exlog2");
      Start();
    } else {
      Start();
      ASSERT_TRUE(Until([&] { return AllRunning(); }, 20000)) << Diagnose();
      sim_.Control("fault?kind=delay&value=60000&count=1000");
    }
    // Batches go out every few hundred milliseconds, the login at the first tick: some
    // are held back by now.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    if (c.bySignal) {
      server_.Signal(SIGTERM);
    } else {
      std::string answer;
      ASSERT_TRUE(SendWindowMessage(kWindowClass, kWindowCaption, 1034, &answer, 3000));
    }
    int code = -1;
    EXPECT_TRUE(server_.Wait(10000, &code)) << Diagnose();
    EXPECT_EQ(code, 0);
    sim_.Control("clearfaults");
    if (server_.Running()) server_.Kill();
  }
}
