// Asynchronous IO and callbacks of the OPC DA group over a small runtime, driven only
// through the COM interfaces with a recording sink, and scans on a hand-moved clock:
// subscription reports of changed items, the rate and active rules, the completions and
// their order, cancelling, enable, and sinks that fail or call back into the server.
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "common/log/link_texts.h"
#include "common/platform/clock.h"
#include "server/namespace/name_space.h"
#include "server/opcda/da2.h"
#include "server/runtime/zel_main.h"
#include "tests/unit/opcda/callback_sink.h"
#include "tests/unit/opcda/test_support.h"

namespace opcda_test {
namespace {

using zelcom::ComPtr;

int64_t g_steady = 0;
int64_t TestSteady() { return g_steady; }
TZelMain* g_main = nullptr;
void InitFromTestMain(TNxBaseOPCServer* s) { CreateOpcNameSpace(*g_main, *s); }

// A client's view of one group: its interfaces, its sink and the handles of its items.
struct Client {
  ComPtr<IUnknown> group;
  OPCHANDLE hServer = 0;
  ComPtr<IOPCAsyncIO2> io;
  ComPtr<IOPCItemMgt> mgt;
  ComPtr<IOPCGroupStateMgt> state;
  ComPtr<Sink> sink;
  DWORD cookie = 0;
  std::vector<OPCHANDLE> items;

  std::vector<Call> Take() {
    std::vector<Call> out;
    out.swap(sink->calls);
    return out;
  }
  HRESULT Unadvise() {
    ComPtr<IConnectionPointContainer> cpc;
    group.As(IID_IConnectionPointContainer, &cpc);
    ComPtr<IConnectionPoint> cp;
    cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.Receive());
    return cp->Unadvise(cookie);
  }
  HRESULT AsyncRead(std::vector<OPCHANDLE> h, DWORD trans, DWORD* cancel,
                    std::vector<HRESULT>* errors = nullptr) {
    HRESULT* e = nullptr;
    HRESULT hr = io->Read(static_cast<DWORD>(h.size()), h.data(), trans, cancel, &e);
    if (e && errors) errors->assign(e, e + h.size());
    CoTaskMemFree(e);
    return hr;
  }
  HRESULT AsyncWrite(std::vector<OPCHANDLE> h, double value, DWORD trans, DWORD* cancel) {
    std::vector<VARIANT> v(h.size());
    for (VARIANT& x : v) {
      VariantInit(&x);
      x.vt = VT_R8;
      x.dblVal = value;
    }
    HRESULT* e = nullptr;
    HRESULT hr = io->Write(static_cast<DWORD>(h.size()), h.data(), v.data(), trans, cancel, &e);
    CoTaskMemFree(e);
    return hr;
  }
  HRESULT SetActive(BOOL active) {
    return state->SetState(nullptr, nullptr, &active, nullptr, nullptr, nullptr, nullptr);
  }
};

class AsyncTest : public LeakCheck {
 protected:
  void SetUp() override {
    LeakCheck::SetUp();
    SetSteadySource(TestSteady);
    g_steady = 5000000;
    auto p = main_.NewPrj();
    p->DispName = "P";
    // V, W analog; R read-only (at the device: OPC writes are accepted and dropped); L integer.
    p->Vars = {{"V", "", 3, 0}, {"W", "", 3, 0}, {"R", "", 3, 1}, {"L", "", 2, 0}};
    main_.Prjs.push_back(std::move(p));
    main_.BuildRuntime();
    P().NetState = ncsRunning;
    for (auto& v : P().Vars) v->Valid = true;
    g_main = &main_;
    g_PInitServer = InitFromTestMain;
    servers_.push_back(ComPtr<IOPCServer>::Adopt(TNxBaseOPCServer::Create()));
  }
  void TearDown() override {
    clients_.clear();
    servers_.clear();
    g_PInitServer = nullptr;
    SetSteadySource(nullptr);
    LeakCheck::TearDown();
  }
  TOpcSPrj& P() { return main_.SPrj(0); }
  TZelVarItem& Var(size_t i) { return *P().Vars[i]; }

  // A group of server s with the items, a connected sink (unless advise is false).
  Client& Open(std::vector<const char*> ids, DWORD rate = 100, BOOL active = TRUE,
               bool advise = true, size_t s = 0, OPCHANDLE hClient = 77) {
    clients_.emplace_back();
    Client& c = clients_.back();
    DWORD revised = 0;
    EXPECT_EQ(servers_[s]->AddGroup(nullptr, active, rate, hClient, nullptr, nullptr, 0,
                                    &c.hServer, &revised, IID_IUnknown, c.group.Receive()),
              S_OK);
    c.group.As(IID_IOPCAsyncIO2, &c.io);
    c.group.As(IID_IOPCItemMgt, &c.mgt);
    c.group.As(IID_IOPCGroupStateMgt, &c.state);
    std::vector<std::u16string> w;
    for (const char* id : ids) w.push_back(W(id));
    std::vector<OPCITEMDEF> defs(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
      defs[i].szItemID = w[i].data();
      defs[i].bActive = TRUE;
      defs[i].hClient = static_cast<OPCHANDLE>(100 + i);
    }
    if (!ids.empty()) {
      OPCITEMRESULT* r = nullptr;
      HRESULT* e = nullptr;
      EXPECT_EQ(c.mgt->AddItems(static_cast<DWORD>(ids.size()), defs.data(), &r, &e), S_OK);
      for (size_t i = 0; i < ids.size(); ++i) c.items.push_back(r[i].hServer);
      CoTaskMemFree(r);
      CoTaskMemFree(e);
    }
    c.sink = ComPtr<Sink>::Adopt(new Sink());
    if (advise) {
      ComPtr<IConnectionPointContainer> cpc;
      c.group.As(IID_IConnectionPointContainer, &cpc);
      ComPtr<IConnectionPoint> cp;
      EXPECT_EQ(cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.Receive()), S_OK);
      EXPECT_EQ(cp->Advise(c.sink.Get(), &c.cookie), S_OK);
    }
    return c;
  }
  TZelMain main_;
  std::deque<Client> clients_;

 public:
  // One tick of the scan timer, ms after the last.
  void Tick(int64_t ms = 200) {
    g_steady += ms;
    ScanOPCServers();
  }
  std::vector<ComPtr<IOPCServer>> servers_;  // also for the re-entering clients
};

// ---- subscription reports

TEST_F(AsyncTest, ReportsEveryItemFirstThenOnlyWhatChanged) {
  Client& c = Open({"P.V", "P.W", "P.R"});
  Var(0).Value = 1.5;
  Tick();
  auto calls = c.Take();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].kind, 'D');
  EXPECT_EQ(calls[0].trans, 0u);
  EXPECT_EQ(calls[0].group, 77u);
  EXPECT_EQ(calls[0].handles, (std::vector<OPCHANDLE>{100, 101, 102}));
  EXPECT_EQ(calls[0].values, (std::vector<std::string>{"1.5", "0", "0"}));
  EXPECT_TRUE(calls[0].oneTimeStamp);
  EXPECT_EQ(calls[0].master, S_OK);

  struct Step {
    const char* what;
    std::function<void()> change;
    std::vector<OPCHANDLE> reported;
    HRESULT master;
  };
  const Step steps[] = {
      {"nothing changed", [] {}, {}, S_OK},
      {"a value", [&] { Var(1).Value = 4; }, {101}, S_OK},
      {"two values", [&] { Var(0).Value = 2, Var(2).Value = 3; }, {100, 102}, S_OK},
      {"the same value written again", [&] { Var(0).Value = 2; }, {}, S_OK},
      {"a quality", [&] { Var(2).Valid = false; }, {102}, S_FALSE},
      {"the quality back", [&] { Var(2).Valid = true; }, {102}, S_OK},
  };
  for (const Step& s : steps) {
    s.change();
    Tick();
    calls = c.Take();
    if (s.reported.empty()) {
      EXPECT_TRUE(calls.empty()) << s.what;
      continue;
    }
    ASSERT_EQ(calls.size(), 1u) << s.what;
    EXPECT_EQ(calls[0].handles, s.reported) << s.what;
    EXPECT_EQ(calls[0].master, s.master) << s.what;
  }
}

TEST_F(AsyncTest, ReportsComeAtTheGroupsRate) {
  // Ticks of 200 ms; a group is due when more than its rate has elapsed since its last
  // processing scan. The value changes before every tick.
  struct Case {
    DWORD rate;
    std::vector<int> reportingTicks;  // of ticks 0..12
  } cases[] = {
      {10, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
      {200, {0, 2, 4, 6, 8, 10, 12}},
      {1000, {0, 6, 12}},
  };
  for (const Case& k : cases) {
    Client& c = Open({"P.V"}, k.rate);
    std::vector<int> got;
    for (int t = 0; t <= 12; ++t) {
      Var(0).Value += 1;
      Tick();
      if (!c.Take().empty()) got.push_back(t);
    }
    EXPECT_EQ(got, k.reportingTicks) << "rate " << k.rate;
    servers_[0]->RemoveGroup(c.hServer, TRUE);
  }
}

TEST_F(AsyncTest, InactiveGroupsAndItemsAreNotReported) {
  struct Case {
    const char* what;
    BOOL groupActive;
    BOOL itemActive;
    bool reported;
  } cases[] = {
      {"both active", TRUE, TRUE, true},
      {"item inactive", TRUE, FALSE, false},
      {"group inactive", FALSE, TRUE, false},
      {"both inactive", FALSE, FALSE, false},
  };
  for (const Case& k : cases) {
    Client& c = Open({"P.V", "P.W"}, 10, k.groupActive);
    HRESULT* e = nullptr;
    c.mgt->SetActiveState(1, &c.items[0], k.itemActive, &e);
    CoTaskMemFree(e);
    Var(0).Value += 1;
    Tick();
    auto calls = c.Take();
    bool sawV = false;
    for (const Call& call : calls)
      for (OPCHANDLE h : call.handles) sawV |= h == 100;
    EXPECT_EQ(sawV, k.reported) << k.what;
    servers_[0]->RemoveGroup(c.hServer, TRUE);
  }
}

TEST_F(AsyncTest, AnItemOrGroupThatTurnsActiveIsReportedAgainUnchanged) {
  Client& c = Open({"P.V", "P.W"}, 10);
  Tick();
  c.Take();
  HRESULT* e = nullptr;
  c.mgt->SetActiveState(1, &c.items[0], FALSE, &e);
  CoTaskMemFree(e);
  Tick();
  c.mgt->SetActiveState(1, &c.items[0], TRUE, &e);
  CoTaskMemFree(e);
  Tick();
  auto calls = c.Take();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].handles, (std::vector<OPCHANDLE>{100}));

  c.SetActive(FALSE);
  Tick();
  EXPECT_TRUE(c.Take().empty());
  c.SetActive(TRUE);
  Tick();
  calls = c.Take();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].handles, (std::vector<OPCHANDLE>{100, 101}));
}

// ---- IOPCAsyncIO2 calls

TEST_F(AsyncTest, CallsAnswerTheirResultCodes) {
  Client& none = Open({"P.V"}, 100, TRUE, false);
  Client& c = Open({"P.V"});
  Client& idle = Open({"P.V"}, 100, FALSE);
  DWORD cancel = 0;
  BOOL enabled = FALSE;
  OPCHANDLE bad = 5;
  struct Case {
    const char* what;
    std::function<HRESULT()> call;
    HRESULT want;
  } cases[] = {
      {"read without a sink", [&] { return none.AsyncRead({none.items[0]}, 1, &cancel); }, CONNECT_E_NOCONNECTION},
      {"read of none without a sink", [&] { return none.AsyncRead({}, 1, &cancel); }, CONNECT_E_NOCONNECTION},
      {"write without a sink", [&] { return none.AsyncWrite({none.items[0]}, 1, 1, &cancel); }, CONNECT_E_NOCONNECTION},
      {"refresh without a sink", [&] { return none.io->Refresh2(OPC_DS_CACHE, 1, &cancel); }, CONNECT_E_NOCONNECTION},
      {"enable without a sink", [&] { return none.io->SetEnable(TRUE); }, CONNECT_E_NOCONNECTION},
      {"get enable without a sink", [&] { return none.io->GetEnable(&enabled); }, CONNECT_E_NOCONNECTION},
      {"read of none", [&] { return c.AsyncRead({}, 1, &cancel); }, E_INVALIDARG},
      {"read without a cancel id", [&] { return c.AsyncRead({c.items[0]}, 1, nullptr); }, E_INVALIDARG},
      {"write without values", [&] { HRESULT* e = nullptr; return c.io->Write(1, &c.items[0], nullptr, 1, &cancel, &e); }, E_INVALIDARG},
      {"read of an unknown handle", [&] { return c.AsyncRead({bad}, 1, &cancel); }, S_FALSE},
      {"refresh of an inactive group", [&] { return idle.io->Refresh2(OPC_DS_DEVICE, 1, &cancel); }, E_FAIL},
      {"cancel of an unknown id", [&] { return c.io->Cancel2(999); }, E_FAIL},
      {"get enable without an out value", [&] { return c.io->GetEnable(nullptr); }, E_INVALIDARG},
  };
  for (const Case& k : cases) EXPECT_EQ(k.call(), k.want) << k.what;
}

TEST_F(AsyncTest, CompletionsComeInCallOrderBeforeTheReport) {
  Client& c = Open({"P.V", "P.W", "$$Count"});  // the system item is read-only
  Tick();
  c.Take();
  Var(0).Value = 9;
  DWORD id1 = 0, id2 = 0, id3 = 0, id4 = 0;
  std::vector<HRESULT> errors;
  EXPECT_EQ(c.AsyncRead({c.items[0], 4711}, 11, &id1, &errors), S_FALSE);
  EXPECT_EQ(errors, (std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE}));
  EXPECT_EQ(c.AsyncWrite({c.items[1], c.items[2]}, 6.5, 12, &id2), S_OK);
  EXPECT_EQ(c.io->Refresh2(OPC_DS_CACHE, 13, &id3), S_OK);
  EXPECT_EQ(c.AsyncRead({c.items[1]}, 14, &id4), S_OK);
  EXPECT_EQ((std::vector<DWORD>{id1, id2, id3, id4}), (std::vector<DWORD>{1, 2, 3, 4}));
  Tick();
  auto calls = c.Take();
  ASSERT_EQ(calls.size(), 4u);
  std::string order;
  for (const Call& k : calls) order += k.kind + std::to_string(k.trans) + " ";
  // No report after the refresh: it gave the client every present value already.
  EXPECT_EQ(order, "R11 W12 D13 R14 ");
  EXPECT_EQ(calls[0].handles, (std::vector<OPCHANDLE>{100}));
  EXPECT_EQ(calls[0].values, (std::vector<std::string>{"9"}));
  EXPECT_EQ(calls[1].handles, (std::vector<OPCHANDLE>{101, 102}));
  EXPECT_EQ(calls[1].errors, (std::vector<HRESULT>{S_OK, OPC_E_BADRIGHTS}));
  EXPECT_EQ(calls[1].master, S_FALSE);
  ASSERT_EQ(P().WriteQ.size(), 1u);  // W took 6.5
  EXPECT_EQ(P().WriteQ[0].Value, 6.5);
  EXPECT_EQ(calls[2].handles, (std::vector<OPCHANDLE>{100, 101, 102}));  // every active item
  EXPECT_EQ(calls[2].values, (std::vector<std::string>{"9", "6.5", "1"}));
  EXPECT_TRUE(calls[2].oneTimeStamp);
  EXPECT_EQ(calls[3].values, (std::vector<std::string>{"6.5"}));
  Tick();
  EXPECT_TRUE(c.Take().empty());
}

TEST_F(AsyncTest, ReadsDeliverTheRequestedType) {
  Client& c = Open({"P.V", "P.L"});
  VARTYPE types[] = {VT_BSTR, VT_I2};
  HRESULT* e = nullptr;
  c.mgt->SetDatatypes(2, c.items.data(), types, &e);
  CoTaskMemFree(e);
  Var(0).Value = 2.25;
  Var(3).Value = 1e9;  // does not fit VT_I2
  DWORD id = 0;
  c.AsyncRead(c.items, 5, &id);
  Tick();
  auto calls = c.Take();
  ASSERT_GE(calls.size(), 1u);
  EXPECT_EQ(calls[0].values, (std::vector<std::string>{"s:2.25", "mismatch"}));
  EXPECT_EQ(calls[0].errors, (std::vector<HRESULT>{S_OK, S_OK}));
}

TEST_F(AsyncTest, CancelledTransactionsEndWithACancelCompletion) {
  Client& c = Open({"P.V"});
  DWORD a = 0, b = 0;
  c.AsyncRead({c.items[0]}, 21, &a);
  c.AsyncWrite({c.items[0]}, 3, 22, &b);
  EXPECT_EQ(c.io->Cancel2(b), S_OK);
  EXPECT_EQ(c.io->Cancel2(b), E_FAIL);  // once
  Tick();
  std::string order;
  for (const Call& k : c.Take()) order += k.kind + std::to_string(k.trans) + " ";
  EXPECT_EQ(order, "R21 C22 D0 ");
  EXPECT_TRUE(P().WriteQ.empty());
  EXPECT_EQ(c.io->Cancel2(a), E_FAIL);  // completed already
}

TEST_F(AsyncTest, TransactionsOfItemsRemovedSinceTheCallLeaveThemOut) {
  Client& c = Open({"P.V", "P.W"});
  DWORD id = 0;
  c.AsyncRead(c.items, 1, &id);
  c.AsyncRead({c.items[1]}, 2, &id);
  HRESULT* e = nullptr;
  c.mgt->RemoveItems(1, &c.items[1], &e);
  CoTaskMemFree(e);
  Tick();
  auto calls = c.Take();
  ASSERT_EQ(calls.size(), 2u);  // read 1 with V only, nothing for read 2, the report
  EXPECT_EQ(calls[0].trans, 1u);
  EXPECT_EQ(calls[0].handles, (std::vector<OPCHANDLE>{100}));
  EXPECT_EQ(calls[1].trans, 0u);
}

TEST_F(AsyncTest, SetEnableSilencesReportsButNotCompletions) {
  Client& c = Open({"P.V"});
  EXPECT_EQ(c.io->SetEnable(FALSE), S_OK);
  BOOL on = TRUE;
  EXPECT_EQ(c.io->GetEnable(&on), S_OK);
  EXPECT_EQ(on, FALSE);
  Var(0).Value = 1;
  DWORD id = 0;
  c.AsyncRead({c.items[0]}, 31, &id);
  c.io->Refresh2(OPC_DS_DEVICE, 32, &id);
  Tick();
  std::string order;
  for (const Call& k : c.Take()) order += k.kind + std::to_string(k.trans) + " ";
  EXPECT_EQ(order, "R31 D32 ");
  Var(0).Value = 2;
  Tick();
  EXPECT_TRUE(c.Take().empty());
  c.io->SetEnable(TRUE);
  Tick();
  auto calls = c.Take();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].values, (std::vector<std::string>{"2"}));
}

TEST_F(AsyncTest, PendingTransactionsOfAnUnadvisedClientGoWithoutCallbacks) {
  Client& c = Open({"P.V"});
  DWORD id = 0;
  c.AsyncRead({c.items[0]}, 1, &id);
  c.AsyncWrite({c.items[0]}, 8, 2, &id);
  EXPECT_EQ(c.Unadvise(), S_OK);
  Tick();
  EXPECT_TRUE(c.Take().empty());
  EXPECT_TRUE(P().WriteQ.empty());
  ComPtr<IConnectionPointContainer> cpc;
  c.group.As(IID_IConnectionPointContainer, &cpc);
  ComPtr<IConnectionPoint> cp;
  cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.Receive());
  ASSERT_EQ(cp->Advise(c.sink.Get(), &c.cookie), S_OK);
  Tick();
  auto calls = c.Take();
  ASSERT_EQ(calls.size(), 1u);  // the report only
  EXPECT_EQ(calls[0].trans, 0u);
}

TEST_F(AsyncTest, TwoServerObjectsReportToTheirOwnClients) {
  servers_.push_back(ComPtr<IOPCServer>::Adopt(TNxBaseOPCServer::Create()));
  Client& a = Open({"P.V"}, 100, TRUE, true, 0, 1);
  Client& b = Open({"P.W"}, 100, TRUE, true, 1, 2);
  DWORD id = 0;
  b.AsyncRead({b.items[0]}, 40, &id);
  Tick();
  auto ca = a.Take(), cb = b.Take();
  ASSERT_EQ(ca.size(), 1u);
  EXPECT_EQ(ca[0].group, 1u);
  ASSERT_EQ(cb.size(), 2u);
  EXPECT_EQ(cb[0].kind, 'R');
  EXPECT_EQ(cb[1].group, 2u);
  Var(1).Value = 5;  // only b's item
  Tick();
  EXPECT_TRUE(a.Take().empty());
  EXPECT_EQ(b.Take().size(), 1u);
}

TEST_F(AsyncTest, NoMemoryForACallbackSkipsItAndLeavesNothingBehind) {
  Client& c = Open({"P.V", "P.W"});
  // Each of the first allocations of a report fails once; the report is skipped, and
  // the items count as not given, so the next tick brings them.
  for (uint64_t n = 1; n <= 5; ++n) {
    Var(0).Value += 1;
    zelcom::FailTaskAllocAt(n);
    Tick();
    EXPECT_TRUE(c.Take().empty()) << n;
    zelcom::FailTaskAllocAt(0);
    Tick();
    EXPECT_EQ(c.Take().size(), 1u) << n;
  }
}

// ---- clients that fail or call back

TEST_F(AsyncTest, AFailingSinkStopsNothingForOtherClients) {
  servers_.push_back(ComPtr<IOPCServer>::Adopt(TNxBaseOPCServer::Create()));
  struct Case {
    const char* what;
    HRESULT answer;
    bool throws;
    bool dropped;  // the connection is cut
  } cases[] = {
      {"returns an error", E_FAIL, false, false},
      {"returns an unknown failure", static_cast<HRESULT>(0x8FFF0001), false, false},
      {"throws", S_OK, true, false},
      {"is disconnected", kRpcDisconnected, false, true},
      {"its server is unavailable", static_cast<HRESULT>(0x800706BA), false, true},
  };
  for (const Case& k : cases) {
    Client& bad = Open({"P.V", "P.W"}, 10, TRUE, true, 0);
    Client& other = Open({"P.V"}, 10, TRUE, true, 0);
    Client& far = Open({"P.V"}, 10, TRUE, true, 1);
    bad.sink->answer = k.answer;
    bad.sink->throws = k.throws;
    DWORD id = 0;
    bad.AsyncRead({bad.items[0]}, 1, &id);
    bad.AsyncWrite({bad.items[1]}, 4, 2, &id);
    Var(0).Value += 1;
    Tick();
    EXPECT_EQ(other.Take().size(), 1u) << k.what;
    EXPECT_EQ(far.Take().size(), 1u) << k.what;
    // After a disconnect nothing more is tried; otherwise every callback is.
    EXPECT_EQ(bad.Take().size(), k.dropped ? 1u : 3u) << k.what;
    EXPECT_EQ(bad.AsyncRead({bad.items[0]}, 3, &id), k.dropped ? CONNECT_E_NOCONNECTION : S_OK)
        << k.what;
    Var(0).Value += 1;
    Tick();
    EXPECT_EQ(bad.Take().size(), k.dropped ? 0u : 2u) << k.what;
    EXPECT_EQ(other.Take().size(), 1u) << k.what;
    for (Client* c : {&bad, &other}) servers_[0]->RemoveGroup(c->hServer, TRUE);
    servers_[1]->RemoveGroup(far.hServer, TRUE);
  }
}

TEST_F(AsyncTest, ASinkThatCallsBackLeavesEveryObjectConsistent) {
  // Each action runs inside the first callback of the first group; then the scan of
  // the tick goes on, a second group of the same server still reports, and the first
  // group (when it still exists) answers a later tick sanely.
  struct Case {
    const char* what;
    std::function<void(AsyncTest&, Client&)> action;
    size_t sameTick;    // callbacks of the first group at the tick of the action
    size_t laterCalls;  // and at the next tick
  };
  const Case cases[] = {
      {"adds items",
       [](AsyncTest&, Client& c) {
         std::u16string id = W("P.L");
         OPCITEMDEF d{};
         d.szItemID = id.data();
         d.bActive = TRUE;
         d.hClient = 999;
         OPCITEMRESULT* r = nullptr;
         HRESULT* e = nullptr;
         c.mgt->AddItems(1, &d, &r, &e);
         CoTaskMemFree(r);
         CoTaskMemFree(e);
       },
       3, 1},  // the read queued then (the new item was reported in the same tick)
      {"removes every item",
       [](AsyncTest&, Client& c) {
         HRESULT* e = nullptr;
         c.mgt->RemoveItems(static_cast<DWORD>(c.items.size()), c.items.data(), &e);
         CoTaskMemFree(e);
       },
       1, 0},
      {"refreshes and cancels its next transaction",
       [](AsyncTest&, Client& c) {
         DWORD id = 0;
         c.io->Refresh2(OPC_DS_CACHE, 50, &id);
         c.io->Cancel2(2);  // the write, still in this scan's batch
       },
       3, 2},  // the refresh queued in the callback, the pending read
      {"turns the group inactive", [](AsyncTest&, Client& c) { c.SetActive(FALSE); }, 2, 1},
      // As a timer message dispatched while the call is out would: the calling group
      // is not scanned again, the others are.
      {"lets a scan tick run", [](AsyncTest& t, Client&) { t.Tick(); }, 3, 1},
      {"unadvises", [](AsyncTest&, Client& c) { c.Unadvise(); }, 1, 0},
      {"removes its group and keeps it",  // no more callbacks; the group still answers
       [](AsyncTest& t, Client& c) { t.servers_[0]->RemoveGroup(c.hServer, TRUE); }, 1, 0},
      {"removes and releases its group",
       [](AsyncTest& t, Client& c) {
         t.servers_[0]->RemoveGroup(c.hServer, TRUE);
         c.io.Reset();
         c.mgt.Reset();
         c.state.Reset();
         c.group.Reset();
       },
       1, 0},
      {"releases the server and its group",
       [](AsyncTest& t, Client& c) {
         c.io.Reset();
         c.mgt.Reset();
         c.state.Reset();
         c.group.Reset();
         t.servers_[0].Reset();
       },
       3, 0},
  };
  for (const Case& k : cases) {
    if (!servers_[0]) servers_[0] = ComPtr<IOPCServer>::Adopt(TNxBaseOPCServer::Create());
    Client& c = Open({"P.V", "P.W"}, 10);
    Client& second = Open({"P.V"}, 10);
    DWORD id = 0;
    c.AsyncRead({c.items[0]}, 1, &id);
    c.AsyncWrite({c.items[1]}, 4, 2, &id);
    bool once = true;
    c.sink->during = [&, k](const Call&) {
      if (once) once = false, k.action(*this, c);
    };
    Var(0).Value += 1;
    Tick();
    EXPECT_FALSE(once) << k.what;
    EXPECT_EQ(second.Take().size(), 1u) << k.what;
    EXPECT_EQ(c.Take().size(), k.sameTick) << k.what;
    DWORD id2 = 0;
    if (c.io) c.AsyncRead({c.items[0]}, 3, &id2);
    Tick();
    EXPECT_EQ(c.Take().size(), k.laterCalls) << k.what;
    if (c.state) {
      DWORD rate = 0;
      EXPECT_EQ(c.state->GetState(&rate, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr),
                S_OK);
    }
    clients_.clear();
    if (servers_[0]) {
      servers_[0].Reset();
    }
  }
}

}  // namespace
}  // namespace opcda_test
