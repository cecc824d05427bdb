// The data link's decisions on answers, as tables: login answers, enumeration answers,
// server codes, texts, thread names; and the batch split into POSTs against cloudsim.
#include <gtest/gtest.h>

#include <thread>

#include "common/config/cfg_file.h"
#include "common/link/data_server.h"
#include "common/link/link_state.h"
#include "common/link/login.h"
#include "common/log/link_texts.h"
#include "common/platform/clock.h"
#include "common/settings/sys_config.h"
#include "tests/common/cloudsim_fixture.h"
#include "tests/common/sim_plant.h"
#include "tests/integration/http/tiny_server.h"

#include <cstring>

namespace {
TOpcPrj Prj(const std::string& custServer = "") {
  TOpcPrj p;
  p.Name = "1001";
  p.DispName = "Dev1";
  p.CustServer = custServer;
  return p;
}
}  // namespace

TEST(LinkCases, LoginAnswers) {
  struct Case {
    std::vector<std::string> lines;
    std::string custServer;
    bool ok;
    int err;
    std::string dataUrl;
  } cases[] = {
      {{"OK", "XINFO=ZEL300,X", "SID=s1", "ADDRS=DS1:7443", "ADDR=ds1:80"}, "", true, nceNone, "https://ds1:7443"},
      {{"OK", "XINFO=ZEL300,X", "SID=s1", "ADDRS=ds1:7443", "ADDR=ds1:80"}, "http://c:1", true, nceNone, "http://ds1:80"},
      {{"OK", "XINFO=ZEL300,X", "SID=s1", "ADDRS=ds1:7443", "ADDR=ds1:80"}, "https://c:1", true, nceNone,
       "https://ds1:7443"},
      {{"OK", "XINFO=ZEL300", "SID=s1", "ADDR=ds1:80"}, "", true, nceNone, "http://ds1:80"},
      // Device families without this function: "718"/"748" at characters 4 to 6 only.
      {{"OK", "XINFO=ZEL718,OLD", "SID=s1", "ADDR=a"}, "", false, nceNotSupported, ""},
      {{"OK", "XINFO=ZEL748", "SID=s1", "ADDR=a"}, "", false, nceNotSupported, ""},
      {{"OK", "XINFO=ZE718X", "SID=s1", "ADDR=a"}, "", true, nceNone, "http://a"},
      {{"OK", "SID=s1", "ADDR=a"}, "", false, nceNotSupported, ""},
      {{"ERROR"}, "", false, nceDeviceConn, ""},  // no code: 17
      {{}, "", false, nceDeviceConn, ""},
      {{"ERROR", "3"}, "", false, ncePassword, ""},
      {{"ERROR", "abc"}, "", false, nceDeviceConn, ""},
      {{"ERROR", "15"}, "", false, nceTooManyConn, ""},
      // Items cut short or garbled: no session or no usable data-server address.
      {{"OK", "XINFO=ZEL300", "SID=s1"}, "", false, nceNetwork, ""},
      {{"OK", "XINFO=ZEL300", "SID=s1", "ADDRS=", "ADDR="}, "", false, nceNetwork, ""},
      {{"OK", "XINFO=ZEL300", "SID=", "ADDR=ds1:80"}, "", false, nceNetwork, ""},
      {{"OK", "XINFO=ZEL300", "SID=s1", "ADDRS=ds1:", "ADDR=ds1:80"}, "", false, nceNetwork, ""},
      {{"OK", "XINFO=ZEL300", "SID=s1", "ADDRS=ds1:70000"}, "", false, nceNetwork, ""},
      {{"OK", "XINFO=ZEL300", "SID=s1", "ADDR=ds1 :80"}, "", false, nceNetwork, ""},
      {{"OK", "XINFO=ZEL300", "SID=s1", "ADDR=ds1/x:80"}, "", false, nceNetwork, ""},
      // Only the address in use counts.
      {{"OK", "XINFO=ZEL300", "SID=s1", "ADDRS=ds1:", "ADDR=ds1:80"}, "http://c:1", true, nceNone, "http://ds1:80"},
  };
  TSysOP = TSysOPRecord{};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lines.empty() ? "<none>" : c.lines[0] + (c.lines.size() > 1 ? "/" + c.lines[1] : ""));
    TOpcPrj p = Prj(c.custServer);
    EXPECT_EQ(ParseLoginReply(p, c.lines), c.ok);
    EXPECT_EQ(p.ErrCode, c.err);
    EXPECT_EQ(p.NetState, c.ok ? ncsEnum : ncsError);
    EXPECT_EQ(p.DataUrl, c.dataUrl);
    if (c.err == nceNetwork) {
      EXPECT_EQ(p.HttpCode, -12152);  // shown as an invalid answer of the login server
      EXPECT_TRUE(p.SID.empty());
    }
  }
}

TEST(LinkCases, EnumerationAnswers) {
  auto info = [](const std::string& fingerprint, const std::string& delay, size_t lines = 15) {
    std::string s = "OK\r\nDevName";
    for (size_t i = 2; i < lines; ++i) s += "\r\n" + (i == 13 ? fingerprint : i == 14 ? delay : "x");
    return s;
  };
  struct Case {
    const char* name;
    std::string info, e;
    int linkMode;
    bool ok;
    int err, refresh, readInterval;
    size_t vars;
  } cases[] = {
      {"unchanged", info("F1", "1000"), "OK\r\n2\r\na,F,W,G\r\nb,I,R,", lmRun, true, nceNone, 1000, 800, 2},
      {"new fingerprint", info("F2", "1000"), "OK\r\n2\r\na,F,W,G\r\nb,I,R,", lmRun, false, nceVarConfig, 1000, 800, 2},
      {"other count", info("F1", "1000"), "OK\r\n3\r\na,F,W,G\r\nb,I,R,\r\nc,B,W,", lmRun, false, nceVarConfig, 1000,
       800, 3},
      {"forced refresh", info("F1", "1000"), "OK\r\n2\r\na,F,W,G\r\nb,I,R,", lmForceRefresh, false, nceVarConfig,
       1000, 800, 2},
      // Fewer lines than the count: only the listed variables.
      {"short list", info("F2", "1000"), "OK\r\n3\r\na,F,W,G", lmRun, false, nceVarConfig, 1000, 800, 1},
      {"delay abc", info("F1", "abc"), "OK\r\n2\r\na,F,W,G\r\nb,I,R,", lmRun, true, nceNone, 2000, 1600, 2},
      {"delay 100", info("F1", "100"), "OK\r\n2\r\na,F,W,G\r\nb,I,R,", lmRun, true, nceNone, 100, 400, 2},
      {"delay 1000000", info("F1", "1000000"), "OK\r\n2\r\na,F,W,G\r\nb,I,R,", lmRun, true, nceNone, 1000000, 300000,
       2},
      {"14 lines", info("F1", "1000", 14), "OK\r\n2\r\na,F,W,G\r\nb,I,R,", lmRun, false, nceNotSupported, 0, 0, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TOpcPrj p = Prj();
    p.StrMD5 = "F1";
    p.LinkMode = c.linkMode;
    p.Vars = {{"a", "G", 3, 0}, {"b", "", 2, 1}};
    EXPECT_EQ(ParseEnumReply(p, c.info, c.e), c.ok);
    EXPECT_EQ(p.ErrCode, c.err);
    EXPECT_EQ(p.Server_RefreshDelayMS, c.refresh);
    EXPECT_EQ(p.ReadIntervalMS, c.readInterval);
    EXPECT_EQ(p.Vars.size(), c.vars);
  }
  // A line of five words: the group keeps everything after the third comma.
  TOpcPrj p = Prj();
  EXPECT_FALSE(ParseEnumReply(p, info("F9", "500"), "OK\r\n1\r\nv,B,R,G1.G2,more"));
  ASSERT_EQ(p.Vars.size(), 1u);
  EXPECT_EQ(p.Vars[0].Group, "G1.G2,more");
  EXPECT_EQ(p.Vars[0].Type, 1);
  EXPECT_EQ(p.Vars[0].RW, 1);
  EXPECT_EQ(p.StrMD5, "F9");
}

TEST(LinkCases, CodesTextsAndNames) {
  const std::pair<int, int> codes[] = {{0, nceNone},          {1, ncePassword},     {3, ncePassword},
                                       {4, nceDeviceConn},    {5, nceNotSupported}, {8, nceNone},
                                       {10, nceTransparent},  {12, nceVarConfig},   {15, nceTooManyConn},
                                       {17, nceDeviceConn},   {21, ncePassword},    {24, nceNone},
                                       {25, nceNone},         {-1, nceNone}};
  for (auto [server, err] : codes) EXPECT_EQ(MapServerCode(server), err) << server;
  EXPECT_EQ(StateText(ncsRunning), "正常运行");
  EXPECT_EQ(StateText(7), "#ERROR");
  EXPECT_EQ(ErrText(nceNetwork, -12029), "网络通讯故障#12029");
  EXPECT_EQ(ErrText(nceNetwork, 0), "网络通讯故障");
  EXPECT_EQ(ErrText(9), "#错误");
  EXPECT_EQ(DataThreadName('R', "https://ds7.zelcloud.example:7443"), "OPC_DS_R_DS7");
  EXPECT_EQ(DataThreadName('W', "http://127.0.0.1:8081"), "OPC_DS_W_127.0.0.1");
}

TEST(LinkCases, BatchOfLinesGoesOutInPostsOf100) {
  TTempDir dir;
  TCloudSim sim;
  ASSERT_TRUE(sim.Start(dir, SimPlant(1)));
  TSysOP = TSysOPRecord{};
  TSysOP.RetryAttempts = 1;
  NxWinHTTP session("ZelTest", false);
  TOpcPrj p = Prj();
  p.SID = "unknown";
  TOpcDataThread t(session, 'R', "http://127.0.0.1:" + std::to_string(sim.data[0]));
  auto run = [&] {
    t.ResetBatch();
    for (int i = 0; i < 250; ++i) t.QueueOp(p, "RA", "");
    t.StartBatch(true);
    for (int i = 0; i < 1000 && !t.IsDone(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(t.IsDone());
  };
  sim.Control("resetcounters");
  run();
  EXPECT_EQ(t.HttpStatus, 200);
  EXPECT_NE(sim.Control("counters").find("\"batches\":3,\"lines\":250"), std::string::npos) << sim.Control("counters");
  EXPECT_GT(t.Result.size(), 250u * 4);

  // The second POST fails: the first one's answer is dropped with it, the third not sent.
  sim.Control("resetcounters");
  sim.Control("fault?kind=status&value=500&count=1&skip=1");
  run();
  EXPECT_EQ(t.HttpStatus, 500);
  EXPECT_EQ(t.Result, std::string(2, '\0'));
  std::string c = sim.Control("counters");
  EXPECT_NE(c.find("\"batches\":1,\"lines\":100,"), std::string::npos) << c;  // the spoiled one is not counted
  EXPECT_NE(c.find("\"faults\":1,"), std::string::npos) << c;
}

TEST(LinkCases, HeadOfAnErrorAnswer) {
  struct Case {
    const char* body;
    int code;
  } cases[] = {{"ERROR\r\n008", 8}, {"ERROR\r\nabc", 16}, {"ERROR\r\n", 16}, {"OK\r\n", 0}};
  TSysOP = TSysOPRecord{};
  TSysOP.RetryAttempts = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    TTinyServer server(TTinyServer::TMode::Answer, "HTTP/1.1 200 OK\r\nContent-Length: " +
                                                       std::to_string(strlen(c.body)) + "\r\n\r\n" + c.body);
    NxWinHTTP session("ZelTest", false);
    std::string answer;
    int32_t code = -1;
    EXPECT_EQ(TOpcDataThread::PostBatch(session, "http://127.0.0.1:" + std::to_string(server.Port()), {"OP=RA&SID=x"},
                                        0, 1, answer, code),
              200);
    EXPECT_EQ(code, c.code);
  }
}

namespace {
class TCacheCfg : public TOpcCfgFile {
 public:
  std::unique_ptr<TOpcPrj> NewPrj() override { return std::make_unique<TOpcPrj>(); }
};
}  // namespace

TEST(LinkCases, LoginCacheReuseBoundary) {
  TTempDir dir;
  TCloudSim sim;
  ASSERT_TRUE(sim.Start(dir, SimPlant(2)));
  TSysOP = TSysOPRecord{};
  TCacheCfg cfg;
  const int64_t now = SteadyMs();
  for (int i = 1; i <= 2; ++i) {
    auto p = cfg.NewPrj();
    p->Name = std::to_string(1000 + i);
    p->Password = "pw" + std::to_string(i);
    p->DispName = "Dev" + std::to_string(i);
    p->CustServer = sim.LoginUrl();
    cfg.Prjs.push_back(std::move(p));
  }
  // 1001 logged in just under 420 s ago (still fresh), 1002 just over.
  cfg.RegCache.Put("1001", now - kLoginCacheReuseMs + 50, "cached:1", "cached:2", "cachedSid");
  cfg.RegCache.Put("1002", now - kLoginCacheReuseMs - 1, "old:1", "old:2", "oldSid");
  LoginBatch(cfg, {cfg.Prjs[0].get(), cfg.Prjs[1].get()});
  EXPECT_EQ(cfg.Prjs[0]->SID, "cachedSid");
  EXPECT_EQ(cfg.Prjs[0]->DataUrl, "http://cached:1");
  EXPECT_NE(cfg.Prjs[1]->SID, "oldSid");
  EXPECT_EQ(cfg.Prjs[1]->NetState, ncsEnum);
  std::string c = sim.Control("counters");
  EXPECT_NE(c.find("\"logins\":1,\"loginItems\":1"), std::string::npos) << c;
}
