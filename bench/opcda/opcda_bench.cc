// 100 000 items in 100 groups of one server object at 200 ms: sync reads of 1 000 items
// per call (ns per item) and the main-thread cost of one scan with every group active;
// then subscriptions: each group gets a sink that counts what it is given, every value
// changes between ticks, and the link clock is moved by hand 200 ms per tick so every
// group is due. Prints the OnDataChange items delivered per tick and per second and the
// main-thread time per delivered item (and of a tick with nothing changed).
#include <cstdio>
#include <string>
#include <vector>

#include "bench/common/bench_stats.h"
#include "com/com_ptr.h"
#include "com/ole_text.h"
#include "common/log/link_texts.h"
#include "common/platform/clock.h"
#include "common/platform/text.h"
#include "server/namespace/name_space.h"
#include "server/opcda/com_object.h"
#include "server/opcda/da2.h"
#include "server/runtime/zel_main.h"

using zelcom::ComPtr;

namespace {
TZelMain* g_main = nullptr;
void Init(TNxBaseOPCServer* s) { CreateOpcNameSpace(*g_main, *s); }
int64_t g_steady = 1000000;
int64_t Steady() { return g_steady; }

class CountingSink final : public TComObject<IOPCDataCallback, &IID_IOPCDataCallback> {
 public:
  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD n, OPCHANDLE*,
                                         VARIANT*, WORD*, FILETIME*, HRESULT*) override {
    items += n;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*,
                                           VARIANT*, WORD*, FILETIME*, HRESULT*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*,
                                            HRESULT*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

  uint64_t items = 0;
};

// The subscription part: sinks on every group, kTicks ticks with every value changed,
// each followed by one with nothing changed.
void BenchSubscriptions(TZelMain& main, std::vector<ComPtr<IOPCSyncIO>>& groups, int items) {
  constexpr int kTicks = 30;
  SetSteadySource(Steady);
  auto sink = ComPtr<CountingSink>::Adopt(new CountingSink());
  for (auto& g : groups) {
    ComPtr<IConnectionPointContainer> cpc;
    g.As(IID_IConnectionPointContainer, &cpc);
    ComPtr<IConnectionPoint> cp;
    cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.Receive());
    DWORD cookie = 0;
    cp->Advise(sink.Get(), &cookie);
  }
  auto tick = [&](bool change) {
    if (change)
      for (size_t i = 0; i < main.PrjCount(); ++i)
        for (auto& v : main.SPrj(i).Vars) v->Value += 1;
    g_steady += 201;  // the timer's 200 ms, and the group is due after more than its rate
    uint64_t before = sink->items;
    int64_t t0 = ThreadCpuNs();
    ScanOPCServers();
    return std::pair<double, uint64_t>(double(ThreadCpuNs() - t0), sink->items - before);
  };
  tick(true);  // the first reports
  std::vector<double> perItemNs, tickMs, quietMs;
  uint64_t delivered = 0;
  for (int t = 0; t < kTicks; ++t) {
    auto [ns, n] = tick(true);
    delivered += n;
    tickMs.push_back(ns / 1e6);
    perItemNs.push_back(n ? ns / double(n) : 0);
    auto [qns, qn] = tick(false);
    if (qn != 0) std::printf("unexpected: %llu items reported without a change\n", (unsigned long long)qn);
    quietMs.push_back(qns / 1e6);
  }
  SetSteadySource(nullptr);
  TSummary item = Summarize(perItemNs), tk = Summarize(tickMs), quiet = Summarize(quietMs);
  double perTick = double(delivered) / kTicks;
  std::printf("OnDataChange items delivered: %.0f per 200 ms tick (of %d changed), %.0f items/s\n",
              perTick, items, perTick * 5);
  std::printf("main-thread time per delivered item: %.1f ns (p50), %.1f ns (max)\n", item.p50, item.max);
  std::printf("main-thread time of a tick with every value changed: %.2f ms (p50), %.2f ms (max)\n",
              tk.p50, tk.max);
  std::printf("main-thread time of a tick with sinks and nothing changed: %.2f ms (p50)\n", quiet.p50);
}
}  // namespace

int main() {
  constexpr int kGroups = 100, kItems = 1000;
  TZelMain main;
  for (int p = 0; p < kGroups; ++p) {
    auto prj = main.NewPrj();
    prj->DispName = "D" + std::to_string(p);
    for (int v = 0; v < kItems; ++v) prj->Vars.push_back({"V" + std::to_string(v), "", 3, 0});
    main.Prjs.push_back(std::move(prj));
  }
  main.BuildRuntime();
  for (size_t i = 0; i < main.PrjCount(); ++i) {
    main.SPrj(i).NetState = ncsRunning;
    for (auto& v : main.SPrj(i).Vars) v->Valid = true;
  }
  g_main = &main;
  g_PInitServer = Init;
  auto server = ComPtr<IOPCServer>::Adopt(TNxBaseOPCServer::Create());
  std::vector<ComPtr<IOPCSyncIO>> ios;
  std::vector<std::vector<OPCHANDLE>> handles(kGroups);
  for (int g = 0; g < kGroups; ++g) {
    ComPtr<IUnknown> grp;
    OPCHANDLE h;
    DWORD rate;
    server->AddGroup(nullptr, TRUE, 200, g, nullptr, nullptr, 0, &h, &rate, IID_IUnknown, grp.Receive());
    ComPtr<IOPCItemMgt> mgt;
    grp.As(IID_IOPCItemMgt, &mgt);
    std::vector<std::u16string> ids(kItems);
    std::vector<OPCITEMDEF> defs(kItems);
    for (int i = 0; i < kItems; ++i) {
      ids[i] = Utf8ToUtf16("D" + std::to_string(g) + ".V" + std::to_string(i));
      defs[i].szItemID = ids[i].data();
      defs[i].bActive = TRUE;
    }
    OPCITEMRESULT* r = nullptr;
    HRESULT* e = nullptr;
    if (mgt->AddItems(kItems, defs.data(), &r, &e) != S_OK) return 1;
    for (int i = 0; i < kItems; ++i) handles[g].push_back(r[i].hServer);
    CoTaskMemFree(r);
    CoTaskMemFree(e);
    ComPtr<IOPCSyncIO> io;
    grp.As(IID_IOPCSyncIO, &io);
    ios.push_back(io);
  }
  std::vector<double> readNs;
  for (int round = 0; round < 5; ++round) {
    int64_t t0 = ThreadCpuNs();
    for (int g = 0; g < kGroups; ++g) {
      OPCITEMSTATE* st = nullptr;
      HRESULT* e = nullptr;
      ios[g]->Read(OPC_DS_CACHE, kItems, handles[g].data(), &st, &e);
      CoTaskMemFree(st);  // R8 values: nothing to clear
      CoTaskMemFree(e);
    }
    readNs.push_back(double(ThreadCpuNs() - t0) / (kGroups * kItems));
  }
  std::vector<double> scanMs;
  for (int i = 0; i < 50; ++i) {
    int64_t t0 = ThreadCpuNs();
    ScanOPCServers();
    scanMs.push_back(double(ThreadCpuNs() - t0) / 1e6);
  }
  TSummary r = Summarize(readNs), s = Summarize(scanMs);
  std::printf("sync read, 1000 items per call: %.1f ns/item (p50), %.0f items/s\n", r.p50, 1e9 / r.p50);
  std::printf("scan of 100 000 items in 100 active groups: %.3f ms (p50), %.3f ms (max)\n", s.p50, s.max);
  BenchSubscriptions(main, ios, kGroups * kItems);
  return 0;
}
