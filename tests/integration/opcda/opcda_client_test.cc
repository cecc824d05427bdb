// An in-process OPC DA client against a server object over a runtime fed by cloudsim:
// only the COM interfaces, results freed with CoTaskMemFree, as a real client does;
// sync reads and writes, and subscriptions with asynchronous IO through a data callback.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <chrono>
#include <functional>
#include <thread>

#include "com/com_ptr.h"
#include "com/ole_text.h"
#include "common/config/app_paths.h"
#include "common/link/data_server.h"
#include "common/log/link_texts.h"
#include "common/platform/clock.h"
#include "common/platform/text.h"
#include "common/settings/sys_config.h"
#include "server/namespace/name_space.h"
#include "server/runtime/zel_main.h"
#include "tests/common/cloudsim_fixture.h"
#include "tests/common/sim_plant.h"
#include "tests/unit/opcda/callback_sink.h"

namespace {

using opcda_test::Call;
using opcda_test::Sink;
using zelcom::ComPtr;

std::atomic<int64_t> g_offset{0};
int64_t OffsetNow() { return SystemNowMs() + g_offset.load(); }
TZelMain* g_main = nullptr;
void InitFromMain(TNxBaseOPCServer* s) { CreateOpcNameSpace(*g_main, *s); }

class OpcDaClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetNowSource(OffsetNow);
    ResetAppPathsForTest();
    InitAppPaths();
    TSysOP = TSysOPRecord{};
    TSysOP.RetryAttempts = 1;
    TSysOP.WriteMaxLen = 32;
    g_DataServerMgr = std::make_unique<TDataServerMgr>();
    ASSERT_TRUE(sim_.Start(dir_, SimPlant(1)));
    main_ = std::make_unique<TZelMain>();
    auto p = main_->NewPrj();
    p->Name = "1001";
    p->Password = "pw1";
    p->DispName = "Dev1";
    p->CustServer = sim_.LoginUrl();
    main_->Prjs.push_back(std::move(p));
    ASSERT_TRUE(Pump([&] { return P().ErrCode == nceVarConfig; }));  // the list arrived
    P().BuildVars();
    ASSERT_TRUE(Recover());
    g_main = main_.get();
    g_PInitServer = InitFromMain;
  }
  void TearDown() override {
    g_PInitServer = nullptr;
    g_DataServerMgr.reset();
    main_.reset();
    ResetAppPathsForTest();
    SetNowSource(nullptr);
  }
  TOpcSPrj& P() { return main_->SPrj(0); }
  // The item id of a variable of Dev1.
  static std::string IdOf(const TZelVarItem& v) {
    std::string id = "Dev1.";
    if (!v.GroupName.empty()) id += v.GroupName + ".";
    if (!v.SubGroupName.empty()) id += v.SubGroupName + ".";
    return id + v.Name;
  }
  bool Pump(const std::function<bool()>& pred, int ms = 20000) {
    const int64_t until = MonotonicMs() + ms;
    while (MonotonicMs() < until) {
      main_->RunTick(NowMs());
      if (pred()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
  bool Recover(int ms = 30000) {
    const int64_t until = MonotonicMs() + ms;
    while (MonotonicMs() < until) {
      if (Pump([&] { return P().NetState == ncsRunning; }, 300)) return true;
      g_offset += 10000;
    }
    return false;
  }
  TTempDir dir_;
  TScopedEnv root_{"ZELOPC_DATA_ROOT", dir_.path()};
  TCloudSim sim_;
  std::unique_ptr<TZelMain> main_;
};

TEST_F(OpcDaClientTest, ReadsWritesAndSeesTheDeviceGoOffline) {
  IUnknown* unk = nullptr;
  TNxBaseOPCServer* created = TNxBaseOPCServer::Create();
  ASSERT_EQ(created->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk)), S_OK);
  created->Release();
  auto server = ComPtr<IUnknown>::Adopt(unk);
  ComPtr<IOPCServer> srv;
  ASSERT_EQ(server.As(IID_IOPCServer, &srv), S_OK);
  OPCSERVERSTATUS* st = nullptr;
  ASSERT_EQ(srv->GetStatus(&st), S_OK);
  EXPECT_EQ(st->dwServerState, OPC_STATUS_RUNNING);
  CoTaskMemFree(st->szVendorInfo);
  CoTaskMemFree(st);

  // Every item of the flat browse, added to one group.
  ComPtr<IOPCBrowseServerAddressSpace> browse;
  ASSERT_EQ(server.As(IID_IOPCBrowseServerAddressSpace, &browse), S_OK);
  ComPtr<IEnumString> e;
  ASSERT_EQ(browse->BrowseOPCItemIDs(OPC_FLAT, nullptr, VT_EMPTY, 0, e.Receive()), S_OK);
  std::vector<std::u16string> ids;
  LPOLESTR s = nullptr;
  ULONG n = 0;
  while (e->Next(1, &s, &n) == S_OK) {
    ids.push_back(OleToUtf16(s));
    CoTaskMemFree(s);
  }
  ASSERT_EQ(ids.size(), 1 + 7 + P().Vars.size());
  ComPtr<IUnknown> group;
  OPCHANDLE hGroup = 0;
  DWORD rate = 0;
  ASSERT_EQ(srv->AddGroup(nullptr, TRUE, 200, 1, nullptr, nullptr, 0, &hGroup, &rate, IID_IUnknown,
                          group.Receive()),
            S_OK);
  ComPtr<IOPCItemMgt> mgt;
  ASSERT_EQ(group.As(IID_IOPCItemMgt, &mgt), S_OK);
  std::vector<OPCITEMDEF> defs(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    defs[i].szItemID = ids[i].data();
    defs[i].bActive = TRUE;
  }
  OPCITEMRESULT* res = nullptr;
  HRESULT* errs = nullptr;
  ASSERT_EQ(mgt->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &res, &errs), S_OK);
  // The item of the first writable variable.
  TZelVarItem* target = nullptr;
  for (auto& v : P().Vars)
    if (!v->ReadOnly && !target) target = v.get();
  ASSERT_NE(target, nullptr);
  std::string targetId = IdOf(*target);
  std::vector<OPCHANDLE> handles;
  OPCHANDLE writable = 0;
  for (size_t i = 0; i < ids.size(); ++i) {
    handles.push_back(res[i].hServer);
    if (Utf16ToUtf8(ids[i]) == targetId) writable = res[i].hServer;
  }
  ASSERT_NE(writable, 0u) << targetId;
  CoTaskMemFree(res);
  CoTaskMemFree(errs);

  // Variables read good from the running device.
  ComPtr<IOPCSyncIO> io;
  ASSERT_EQ(group.As(IID_IOPCSyncIO, &io), S_OK);
  auto readQualities = [&] {
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    EXPECT_EQ(io->Read(OPC_DS_DEVICE, static_cast<DWORD>(handles.size()), handles.data(), &states,
                       &errors),
              S_OK);
    std::vector<WORD> q;
    for (size_t i = 0; i < handles.size(); ++i) {
      q.push_back(states[i].wQuality);
      VariantClear(&states[i].vDataValue);
    }
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    return q;
  };
  for (WORD q : readQualities()) EXPECT_EQ(q, OPC_QUALITY_GOOD);

  // A sync write reaches cloudsim as a write of that variable.
  {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R8;
    v.dblVal = target->Value == 1 ? 0 : 1;  // a change, so it is queued
    ASSERT_EQ(io->Write(1, &writable, &v, &errs), S_OK);
    CoTaskMemFree(errs);
    ASSERT_TRUE(Pump([&] { return P().WriteQ.empty() && P().SentQ.empty(); }));
    std::string writes = sim_.Control("writes");
    EXPECT_NE(writes.find("\"name\":\"" + target->Name + "\""), std::string::npos) << writes;
  }

  // The device goes away: its variables turn bad (quality 0).
  sim_.Stop();
  ASSERT_TRUE(Pump([&] { return P().NetState == ncsError || P().NetState < ncsStartRW; }, 30000));
  std::vector<WORD> q = readQualities();
  for (size_t i = 0; i < q.size(); ++i) {
    std::string id = Utf16ToUtf8(ids[i]);
    if (id.find("$$") == std::string::npos) {
      EXPECT_EQ(q[i], OPC_QUALITY_BAD) << id;
    }
  }
  // The client still holds the group through three interfaces.
  EXPECT_EQ(srv->RemoveGroup(hGroup, FALSE), OPC_S_INUSE);
  EXPECT_EQ(srv->RemoveGroup(hGroup, TRUE), S_OK);
}

// One client of the subscription test: its own server object, a group of every
// variable of the device at 10 ms, and a recording sink.
struct SubscriptionClient {
  ComPtr<IOPCServer> server;
  ComPtr<IUnknown> group;
  ComPtr<IOPCAsyncIO2> io;
  ComPtr<Sink> sink = ComPtr<Sink>::Adopt(new Sink());
  std::vector<OPCHANDLE> items;  // in the order of the ids; client handles 100, 101, ...
  std::vector<Call> seen;

  void Open(const std::vector<std::u16string>& ids, OPCHANDLE hClientGroup) {
    server = ComPtr<IOPCServer>::Adopt(TNxBaseOPCServer::Create());
    OPCHANDLE h = 0;
    DWORD rate = 0;
    ASSERT_EQ(server->AddGroup(nullptr, TRUE, 10, hClientGroup, nullptr, nullptr, 0, &h, &rate,
                               IID_IUnknown, group.Receive()),
              S_OK);
    ComPtr<IOPCItemMgt> mgt;
    ASSERT_EQ(group.As(IID_IOPCItemMgt, &mgt), S_OK);
    std::vector<std::u16string> w = ids;
    std::vector<OPCITEMDEF> defs(w.size());
    for (size_t i = 0; i < w.size(); ++i) {
      defs[i].szItemID = w[i].data();
      defs[i].bActive = TRUE;
      defs[i].hClient = static_cast<OPCHANDLE>(100 + i);
    }
    OPCITEMRESULT* r = nullptr;
    HRESULT* e = nullptr;
    ASSERT_EQ(mgt->AddItems(static_cast<DWORD>(w.size()), defs.data(), &r, &e), S_OK);
    for (size_t i = 0; i < w.size(); ++i) items.push_back(r[i].hServer);
    CoTaskMemFree(r);
    CoTaskMemFree(e);
    ASSERT_EQ(group.As(IID_IOPCAsyncIO2, &io), S_OK);
    ComPtr<IConnectionPointContainer> cpc;
    ASSERT_EQ(group.As(IID_IConnectionPointContainer, &cpc), S_OK);
    ComPtr<IConnectionPoint> cp;
    ASSERT_EQ(cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.Receive()), S_OK);
    DWORD cookie = 0;
    ASSERT_EQ(cp->Advise(sink.Get(), &cookie), S_OK);
  }
  // Moves what the sink got into seen; true when a call of that kind and transaction
  // is among it.
  bool Got(char kind, DWORD trans) {
    for (Call& c : sink->calls) seen.push_back(std::move(c));
    sink->calls.clear();
    for (const Call& c : seen)
      if (c.kind == kind && c.trans == trans) return true;
    return false;
  }
  const Call* Find(char kind, DWORD trans) const {
    for (const Call& c : seen)
      if (c.kind == kind && c.trans == trans) return &c;
    return nullptr;
  }
  // The values the subscription reports gave for client handle h, in order.
  std::vector<std::string> Reported(OPCHANDLE h) const {
    std::vector<std::string> out;
    for (const Call& c : seen)
      if (c.kind == 'D' && c.trans == 0)
        for (size_t i = 0; i < c.handles.size(); ++i)
          if (c.handles[i] == h) out.push_back(c.values[i]);
    return out;
  }
};

TEST_F(OpcDaClientTest, SubscriptionsAndAsyncIoFollowTheDevice) {
  // Dev1: Count (a counter of cloudsim), G1.S.Set (a writable float, 1.5) and On (a
  // switch, 0, never changed here).
  std::vector<std::u16string> ids;
  std::vector<std::string> names;
  for (auto& v : P().Vars) {
    ids.push_back(Utf8ToUtf16(IdOf(*v)));
    names.push_back(v->Name);
  }
  auto handleOf = [&](const char* name) {
    for (size_t i = 0; i < names.size(); ++i)
      if (names[i] == name) return static_cast<OPCHANDLE>(100 + i);
    return OPCHANDLE(0);
  };
  const OPCHANDLE count = handleOf("Count"), set = handleOf("Set"), on = handleOf("On");
  ASSERT_TRUE(count && set && on);
  SubscriptionClient a, b;  // two clients, each with its own server object
  a.Open(ids, 1);
  b.Open(ids, 2);
  ScanOPCServers();  // the first reports: the values before any change below
  auto pumpScan = [&](const std::function<bool()>& pred) {
    return Pump([&] {
      ScanOPCServers();
      return pred();
    });
  };
  auto setValue = [&](const char* value) {
    sim_.Control(std::string("set?device=1001&name=Set&value=") + value);
    return pumpScan([&] {
      a.Got('D', 0);
      auto r = a.Reported(set);
      return !r.empty() && r.back() == value;
    });
  };
  // Every change cloudsim makes arrives; nothing is reported twice without a change.
  for (const char* v : {"10.5", "11.25", "-3"}) ASSERT_TRUE(setValue(v)) << v;
  EXPECT_EQ(a.Reported(set), (std::vector<std::string>{"1.5", "10.5", "11.25", "-3"}));
  EXPECT_EQ(a.Reported(on), (std::vector<std::string>{"0"}));
  std::vector<std::string> counts = a.Reported(count);
  ASSERT_GE(counts.size(), 2u);  // the counter moved while the values were set
  for (size_t i = 1; i < counts.size(); ++i) EXPECT_NE(counts[i], counts[i - 1]) << i;
  for (const Call& c : a.seen) EXPECT_EQ(c.group, 1u);

  // Refresh from cache and from device: every item, with the transaction id.
  DWORD cancel = 0;
  ASSERT_EQ(a.io->Refresh2(OPC_DS_CACHE, 501, &cancel), S_OK);
  ASSERT_EQ(a.io->Refresh2(OPC_DS_DEVICE, 502, &cancel), S_OK);
  ASSERT_TRUE(pumpScan([&] { return a.Got('D', 501) && a.Got('D', 502); }));
  for (DWORD t : {501u, 502u}) {
    EXPECT_EQ(a.Find('D', t)->handles.size(), ids.size()) << t;
    EXPECT_EQ(a.Find('D', t)->master, S_OK) << t;
  }

  // b silences its reports; its completions still come. A read, a write that reaches
  // cloudsim, and a read cancelled before its completion.
  ASSERT_EQ(b.io->SetEnable(FALSE), S_OK);
  b.Got('D', 0);
  size_t bReports = b.Reported(set).size();
  HRESULT* e = nullptr;
  OPCHANDLE setServer = b.items[set - 100];
  ASSERT_EQ(b.io->Read(1, &setServer, 601, &cancel, &e), S_OK);
  CoTaskMemFree(e);
  const DWORD readCancel = cancel;
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_R8;
  v.dblVal = 7.25;
  ASSERT_EQ(b.io->Write(1, &setServer, &v, 602, &cancel, &e), S_OK);
  CoTaskMemFree(e);
  DWORD dropped = 0;
  ASSERT_EQ(b.io->Read(1, &setServer, 603, &dropped, &e), S_OK);
  CoTaskMemFree(e);
  EXPECT_EQ(b.io->Cancel2(dropped), S_OK);
  ASSERT_TRUE(pumpScan([&] { return b.Got('R', 601) && b.Got('W', 602) && b.Got('C', 603); }));
  EXPECT_EQ(b.Find('R', 601)->values, (std::vector<std::string>{"-3"}));
  EXPECT_EQ(b.Find('W', 602)->errors, (std::vector<HRESULT>{S_OK}));
  EXPECT_EQ(b.Find('R', 603), nullptr);
  EXPECT_EQ(b.io->Cancel2(readCancel), E_FAIL);  // completed already
  ASSERT_TRUE(pumpScan([&] { return P().WriteQ.empty() && P().SentQ.empty(); }));
  std::string writes = sim_.Control("writes");
  EXPECT_NE(writes.find("\"name\":\"Set\""), std::string::npos) << writes;
  // a, still enabled, sees the written value; b's reports stay silent.
  ASSERT_TRUE(pumpScan([&] {
    a.Got('D', 0);
    auto r = a.Reported(set);
    return !r.empty() && r.back() == "7.25";
  }));
  b.Got('D', 0);
  EXPECT_EQ(b.Reported(set).size(), bReports);

  // The inactive rules: an inactive item, then an inactive group, hear nothing of a
  // change the runtime has taken.
  auto runtimeHas = [&](double x) {
    return pumpScan([&] {
      for (auto& var : P().Vars)
        if (var->Name == "Set") return var->Value == x;
      return false;
    });
  };
  ComPtr<IOPCItemMgt> mgt;
  ASSERT_EQ(a.group.As(IID_IOPCItemMgt, &mgt), S_OK);
  OPCHANDLE aSet = a.items[set - 100];
  ASSERT_EQ(mgt->SetActiveState(1, &aSet, FALSE, &e), S_OK);
  CoTaskMemFree(e);
  a.Got('D', 0);
  size_t aReports = a.Reported(set).size();
  sim_.Control("set?device=1001&name=Set&value=21");
  ASSERT_TRUE(runtimeHas(21));
  ComPtr<IOPCGroupStateMgt> state;
  ASSERT_EQ(a.group.As(IID_IOPCGroupStateMgt, &state), S_OK);
  BOOL inactive = FALSE;
  ASSERT_EQ(state->SetState(nullptr, nullptr, &inactive, nullptr, nullptr, nullptr, nullptr), S_OK);
  ASSERT_EQ(mgt->SetActiveState(1, &aSet, TRUE, &e), S_OK);
  CoTaskMemFree(e);
  a.Got('D', 0);
  size_t aCalls = a.seen.size();
  sim_.Control("set?device=1001&name=Set&value=22");
  ASSERT_TRUE(runtimeHas(22));
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(15));  // more than the group's rate
    ScanOPCServers();
  }
  a.Got('D', 0);
  EXPECT_EQ(a.seen.size(), aCalls);
  EXPECT_EQ(a.Reported(set).size(), aReports);
}

// Clients that fail or call back into the server while others follow the device.
TEST_F(OpcDaClientTest, FailingAndReenteringSinksStopNobodyElse) {
  std::vector<std::u16string> ids;
  for (auto& v : P().Vars)
    if (v->Name == "Set") ids.push_back(Utf8ToUtf16(IdOf(*v)));
  ASSERT_EQ(ids.size(), 1u);
  SubscriptionClient watcher;
  watcher.Open(ids, 1);
  struct Case {
    const char* what;
    HRESULT answer;
    bool removeAndRelease;  // the client removes and releases its group in the callback
  } cases[] = {
      {"answers an error", E_FAIL, false},
      {"is gone", opcda_test::kRpcDisconnected, false},
      {"removes and releases its group", S_OK, true},
  };
  int value = 30;
  for (const Case& k : cases) {
    SubscriptionClient x;
    x.Open(ids, 2);
    ScanOPCServers();  // x's first report, before the changes below
    x.sink->answer = k.answer;
    if (k.removeAndRelease)  // from the first change on
      x.sink->during = [&](const Call&) {
        OPCHANDLE h = 0;
        ComPtr<IOPCGroupStateMgt> st;
        x.group.As(IID_IOPCGroupStateMgt, &st);
        st->GetState(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &h);
        st.Reset();
        x.server->RemoveGroup(h, TRUE);
        x.io.Reset();
        x.group.Reset();
      };
    for (int round = 0; round < 2; ++round) {
      std::string v = std::to_string(++value);
      sim_.Control("set?device=1001&name=Set&value=" + v);
      ASSERT_TRUE(Pump([&] {
        ScanOPCServers();
        watcher.Got('D', 0);
        auto r = watcher.Reported(100);
        return !r.empty() && r.back() == v;
      })) << k.what;
    }
    x.Got('D', 0);
    // The first report, then: the failing client each change, the gone one and the one
    // that left at the first change only.
    EXPECT_EQ(x.seen.size(), k.answer == E_FAIL ? 3u : 2u) << k.what;
  }
}

}  // namespace
