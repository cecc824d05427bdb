// The data link against cloudsim over real HTTP and HTTPS: logins, enumeration, binary
// reads, writes, and recovery from every fault cloudsim can inject.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <functional>

#include "common/config/app_paths.h"
#include "common/link/data_server.h"
#include "common/link/login.h"
#include "common/log/link_texts.h"
#include "common/platform/clock.h"
#include "common/settings/sys_config.h"
#include "server/runtime/zel_main.h"
#include "tests/common/cloudsim_fixture.h"
#include "tests/common/sim_plant.h"

namespace {
// The link clock runs with the real one plus an offset the test can jump (the 20 s login
// retry and the 10 s error retry then need no waiting); the wall clock has an offset of
// its own, which a test steps as NTP or the end of daylight saving time would.
std::atomic<int64_t> g_offset{0};
std::atomic<int64_t> g_wallOffset{0};
int64_t OffsetSteady() { return MonotonicMs() + 86400000 + g_offset.load(); }
int64_t OffsetNow() { return SystemNowMs() + g_wallOffset.load(); }

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetNowSource(OffsetNow);
    SetSteadySource(OffsetSteady);
    g_wallOffset = 0;
    ResetAppPathsForTest();
    InitAppPaths();
    TSysOP = TSysOPRecord{};
    TSysOP.RetryAttempts = 1;
    TSysOP.WriteMaxLen = 32;
    TSysOP.LogWebErr = 1;
    g_DataServerMgr = std::make_unique<TDataServerMgr>();
  }
  void TearDown() override {
    g_DataServerMgr.reset();
    main_.reset();
    ResetAppPathsForTest();
    SetNowSource(nullptr);
    SetSteadySource(nullptr);
  }
  void Boot(int devices, bool tls = false) {
    ASSERT_TRUE(sim_.Start(dir_, SimPlant(devices)));
    setenv("ZELOPC_HTTP_CA_FILE", sim_.certFile.c_str(), 1);
    main_ = std::make_unique<TZelMain>();
    for (int i = 1; i <= devices; ++i) {
      auto p = main_->NewPrj();
      p->Name = std::to_string(1000 + i);
      p->Password = "pw" + std::to_string(i);
      p->DispName = "Dev" + std::to_string(i);
      p->CustServer = sim_.LoginUrl(tls);
      main_->Prjs.push_back(std::move(p));
    }
  }
  TOpcSPrj& P(size_t i) { return main_->SPrj(i); }
  // Ticks the main object every 5 ms until pred holds; false on time-out.
  bool Pump(const std::function<bool()>& pred, int ms = 20000) {
    const int64_t until = MonotonicMs() + ms;
    while (MonotonicMs() < until) {
      main_->RunTick(SteadyMs());
      if (pred()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
  // Every project has learnt its device's variable list (the first login's end).
  bool AllEnumerated() {
    for (size_t i = 0; i < main_->PrjCount(); ++i)
      if (P(i).ErrCode != nceVarConfig) return false;
    return true;
  }
  bool AllRunning() {
    for (size_t i = 0; i < main_->PrjCount(); ++i)
      if (P(i).NetState != ncsRunning) return false;
    return true;
  }
  // Waits for the link to come back, jumping the clock over the retry pauses.
  bool Recover(int ms = 30000) {
    const int64_t until = MonotonicMs() + ms;
    while (MonotonicMs() < until) {
      if (Pump([&] { return AllRunning(); }, 300)) return true;
      g_offset += 10000;
    }
    return false;
  }
  TTempDir dir_;
  TScopedEnv root_{"ZELOPC_DATA_ROOT", dir_.path()};
  TCloudSim sim_;
  std::unique_ptr<TZelMain> main_;
};
}  // namespace

TEST_F(LinkTest, FullCycleOverHttpAndHttps) {
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "https" : "http");
    Boot(3, tls);
    // The first login enumerates: the variable list arrives, then a restart is asked for
    // (the configured list was empty). Give the projects the device's list like a restart.
    ASSERT_TRUE(Pump([&] { return AllEnumerated(); }));
    for (size_t i = 0; i < 3; ++i) {
      ASSERT_EQ(P(i).TOpcPrj::Vars.size(), 3u);
      EXPECT_EQ(P(i).TOpcPrj::Vars[1].Group, "G1.S");
      EXPECT_EQ(P(i).TOpcPrj::Vars[0].RW, 1);
      EXPECT_EQ(P(i).DataUrl.rfind(tls ? "https://127.0.0.1:" : "http://127.0.0.1:", 0), 0u) << P(i).DataUrl;
      P(i).BuildVars();
    }
    // Two projects on one data server, the third on the other.
    EXPECT_EQ(g_DataServerMgr->Count(), 2u);
    ASSERT_TRUE(Recover());
    ASSERT_TRUE(Pump([&] { return P(0).Vars[0]->Value >= 2; }));
    EXPECT_TRUE(IsGood(*P(0).Vars[0]));
    EXPECT_EQ(P(1).Vars[1]->Value, 1.5);

    P(1).SetValue(*P(1).Vars[1], 42.25);
    P(1).SetValue(*P(1).Vars[2], 1);
    ASSERT_TRUE(Pump([&] { return P(1).SentQ.empty() && P(1).WriteQ.empty() && P(1).Vars[1]->WriteLock == 0; }));
    std::string writes = sim_.Control("writes");
    EXPECT_NE(writes.find("\"device\":\"1002\",\"name\":\"Set\",\"value\":\"42.25\""), std::string::npos) << writes;
    EXPECT_NE(writes.find("\"name\":\"On\",\"value\":\"1\""), std::string::npos) << writes;
    // The device now reads back the written value.
    ASSERT_TRUE(Pump([&] { return sim_.Control("value?device=1002&name=Set").find("42.25") != std::string::npos; }));
    g_DataServerMgr = std::make_unique<TDataServerMgr>();
    main_.reset();
    sim_.Stop();
  }
}

TEST_F(LinkTest, FaultsAndRecovery) {
  Boot(4);
  ASSERT_TRUE(Pump([&] { return AllEnumerated(); }));
  for (size_t i = 0; i < 4; ++i) P(i).BuildVars();
  ASSERT_TRUE(Recover());

  const char* faults[] = {
      "fault?kind=status&value=500&count=1",
      // A dropped reused connection is retried once by the HTTP layer itself: drop two.
      "fault?kind=drop&count=2",
      "fault?kind=truncate&count=1",
      "fault?kind=corruptgzip&count=1",
      "fault?kind=head&value=8&count=1",
      "fault?kind=head&value=17&count=1",
      "invalidate?device=1001",
      "offline?device=1002&mode=error",
  };
  for (const char* call : faults) {
    SCOPED_TRACE(call);
    sim_.Control("resetcounters");
    sim_.Control(call);
    // Some project leaves ncsRunning (or loses goodness) ...
    bool hit = Pump([&] {
      for (size_t i = 0; i < 4; ++i)
        if (P(i).NetState != ncsRunning || !IsGood(*P(i).Vars[0])) return true;
      return false;
    }, 10000);
    EXPECT_TRUE(hit);
    if (std::string(call).rfind("offline", 0) == 0) sim_.Control("online?device=1002");
    // ... and every project comes back.
    EXPECT_TRUE(Recover()) << sim_.Control("counters");
  }
}

TEST_F(LinkTest, WritesAcceptedWhileUpAreNotLost) {
  Boot(2);
  ASSERT_TRUE(Pump([&] { return AllEnumerated(); }));
  for (size_t i = 0; i < 2; ++i) P(i).BuildVars();
  ASSERT_TRUE(Recover());
  P(0).WriteOpt = 2;
  for (int i = 1; i <= 40; ++i) P(0).SetValue(*P(0).Vars[1], i);
  ASSERT_TRUE(Pump([&] { return P(0).WriteQ.empty() && P(0).SentQ.empty(); }));
  std::string writes = sim_.Control("writes");
  size_t count = 0;
  for (size_t p = 0; (p = writes.find("\"name\":\"Set\"", p)) != std::string::npos; ++p) ++count;
  EXPECT_EQ(count, 40u) << writes;
  EXPECT_NE(writes.find("\"value\":\"40\""), std::string::npos);
}

TEST_F(LinkTest, FiftyOneLoginsInTwoPosts) {
  Boot(51);
  main_->RunTick(SteadyMs());
  std::string c = sim_.Control("counters");
  EXPECT_NE(c.find("\"logins\":2,\"loginItems\":51"), std::string::npos) << c;
  for (size_t i = 0; i < 51; ++i) EXPECT_EQ(P(i).NetState, ncsEnum) << i;
}

TEST_F(LinkTest, WrongPasswordIsRetriedAndRecovers) {
  Boot(1);
  P(0).Password = "wrong";
  main_->RunTick(SteadyMs());
  EXPECT_EQ(P(0).NetState, ncsError);
  EXPECT_EQ(P(0).ErrCode, ncePassword);
  ASSERT_EQ(main_->RetryList.size(), 1u);
  P(0).Password = "pw1";
  g_offset += 20000;
  main_->RunTick(SteadyMs());  // sets the deadline
  g_offset += 20000;
  main_->RunTick(SteadyMs());  // the retry
  EXPECT_EQ(P(0).NetState, ncsEnum);
  EXPECT_TRUE(main_->RetryList.empty());
}

namespace {
// The device's count of read answers, from cloudsim's control API.
int64_t DeviceReads(const TCloudSim& sim, const std::string& device) {
  std::string r = sim.Control("reads?device=" + device);
  size_t at = r.find("\"reads\":");
  return at == std::string::npos ? -1 : std::strtoll(r.c_str() + at + 8, nullptr, 10);
}
}  // namespace

// The wall clock stepped back an hour (end of daylight saving time, NTP) leaves reads,
// writes and retries on their pace: the link reckons with the monotonic clock.
TEST_F(LinkTest, WallClockSteppedBackKeepsTheLinkGoing) {
  Boot(2);
  ASSERT_TRUE(Pump([&] { return AllEnumerated(); }));
  for (size_t i = 0; i < 2; ++i) P(i).BuildVars();
  ASSERT_TRUE(Recover());
  g_wallOffset -= 3600000;
  const int64_t before = DeviceReads(sim_, "1001");
  ASSERT_GE(before, 0);
  EXPECT_TRUE(Pump([&] { return DeviceReads(sim_, "1001") >= before + 3; }, 15000));
  P(1).SetValue(*P(1).Vars[1], 17.5);
  ASSERT_TRUE(Pump([&] { return P(1).WriteQ.empty() && P(1).SentQ.empty(); }, 15000));
  EXPECT_NE(sim_.Control("writes").find("\"device\":\"1002\",\"name\":\"Set\",\"value\":\"17.5\""), std::string::npos);
  // A failure is retried on time as well.
  sim_.Control("fault?kind=status&value=500&count=1");
  ASSERT_TRUE(Pump([&] { return P(0).NetState != ncsRunning || P(1).NetState != ncsRunning; }, 10000));
  EXPECT_TRUE(Recover());
}

// Uncompressed answers cut short: no value of a cut section is shown as good, and a
// write accepted just before such a read failure still reaches the device.
TEST_F(LinkTest, TruncatedReadsNeitherFakeValuesNorLoseWrites) {
  // A float last, so a cut inside its bytes would reach the two zero bytes after it.
  const std::string plant = "{\"dataServers\":1,\"devices\":[" +
                            SimDevice(1, 0,
                                      SimVar("Count", "I", "R", "G1", "counter", 0) + "," +
                                          SimVar("On", "B", "W", "", "constant", 0) + "," +
                                          SimVar("Set", "F", "W", "G1.S", "constant", 1.5)) +
                            "]}";
  ASSERT_TRUE(sim_.Start(dir_, plant, {"--no-gzip"}));
  main_ = std::make_unique<TZelMain>();
  auto p = main_->NewPrj();
  p->Name = "1001";
  p->Password = "pw1";
  p->DispName = "Dev1";
  p->CustServer = sim_.LoginUrl();
  main_->Prjs.push_back(std::move(p));
  ASSERT_TRUE(Pump([&] { return AllEnumerated(); }));
  P(0).BuildVars();
  ASSERT_TRUE(Recover());
  // Values the device can hold: the counter whole and not negative, the setpoint as
  // configured or as written, the switch 0 or 1.
  auto possible = [](const TZelVarItem& v) {
    if (v.Name == "Count") return v.Value >= 0 && v.Value == std::floor(v.Value);
    if (v.Name == "Set") return v.Value == 1.5 || (v.Value >= 100 && v.Value == std::floor(v.Value));
    return v.Value == 0 || v.Value == 1;
  };
  // The answer cut at every place of its section, one round each; every third round
  // with a write accepted just before.
  for (int keep = 13; keep <= 31; ++keep) {
    SCOPED_TRACE(keep);
    const bool write = keep % 3 == 0;
    const double target = 100 + keep;
    if (write) {
      sim_.Control("clearwrites");
      P(0).SetValue(*P(0).Vars[2], target);
    }
    sim_.Control("fault?kind=truncate&value=" + std::to_string(keep) + "&count=1");
    // Watched for a while: the cut answer comes within a read interval or two.
    bool faked = Pump([&] {
      for (auto& v : P(0).Vars)
        if (IsGood(*v) && !possible(*v)) {
          ADD_FAILURE() << v->Name << "=" << v->Value << " shown as good";
          return true;
        }
      return false;
    }, 1500);
    if (faked) break;
    ASSERT_TRUE(Recover());
    if (!write) continue;
    ASSERT_TRUE(Pump([&] { return P(0).WriteQ.empty() && P(0).SentQ.empty(); }));
    EXPECT_NE(sim_.Control("writes").find("\"value\":\"" + FormatWriteValue(target) + "\""), std::string::npos)
        << sim_.Control("writes");
  }
}
