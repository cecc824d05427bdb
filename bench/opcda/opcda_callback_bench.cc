// Subscriptions at scale: 100 000 items in 100 groups of one server object at 200 ms,
// every value changing between ticks; each group has a connected sink that counts what
// it is given. Prints the OnDataChange items delivered per 200 ms tick and per second,
// and the main-thread time of a tick per delivered item (and of a tick with nothing
// changed). The link clock is moved by hand 200 ms per tick, so every group is due.
#include <cstdio>
#include <string>
#include <vector>

#include "bench/common/bench_stats.h"
#include "com/com_ptr.h"
#include "common/log/link_texts.h"
#include "common/platform/clock.h"
#include "common/platform/text.h"
#include "server/namespace/name_space.h"
#include "server/opcda/da2.h"
#include "server/runtime/zel_main.h"

using zelcom::ComPtr;

namespace {

TZelMain* g_main = nullptr;
void Init(TNxBaseOPCServer* s) { CreateOpcNameSpace(*g_main, *s); }
int64_t g_steady = 1000000;
int64_t Steady() { return g_steady; }

class CountingSink final : public IOPCDataCallback {
 public:
  virtual ~CountingSink() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOPCDataCallback)) {
      *ppv = static_cast<IOPCDataCallback*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }
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

  static inline uint64_t items = 0;

 private:
  ULONG refs_ = 1;
};

}  // namespace

int main() {
  constexpr int kGroups = 100, kItems = 1000, kTicks = 30;
  SetSteadySource(Steady);
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
  std::vector<ComPtr<IUnknown>> groups;
  auto sink = ComPtr<IOPCDataCallback>::Adopt(new CountingSink());
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
    CoTaskMemFree(r);
    CoTaskMemFree(e);
    ComPtr<IConnectionPointContainer> cpc;
    grp.As(IID_IConnectionPointContainer, &cpc);
    ComPtr<IConnectionPoint> cp;
    cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.Receive());
    DWORD cookie = 0;
    if (cp->Advise(sink.Get(), &cookie) != S_OK) return 1;
    groups.push_back(grp);
  }
  auto tick = [&](bool change) {
    if (change)
      for (size_t i = 0; i < main.PrjCount(); ++i)
        for (auto& v : main.SPrj(i).Vars) v->Value += 1;
    g_steady += 201;  // the timer's 200 ms, plus the strict "more than the rate"
    uint64_t before = CountingSink::items;
    int64_t t0 = ThreadCpuNs();
    ScanOPCServers();
    return std::pair<double, uint64_t>(double(ThreadCpuNs() - t0), CountingSink::items - before);
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
  TSummary item = Summarize(perItemNs), tk = Summarize(tickMs), quiet = Summarize(quietMs);
  double perTick = double(delivered) / kTicks;
  std::printf("OnDataChange items delivered: %.0f per 200 ms tick (of %d changed), %.0f items/s at the group rate\n",
              perTick, kGroups * kItems, perTick * 5);
  std::printf("main-thread time per delivered item: %.1f ns (p50), %.1f ns (max)\n", item.p50, item.max);
  std::printf("main-thread time of a tick with every value changed: %.2f ms (p50), %.2f ms (max); capacity %.1f M items/s\n",
              tk.p50, tk.max, 1e3 * kGroups * kItems / tk.p50 / 1e6);
  std::printf("main-thread time of a tick with nothing changed: %.2f ms (p50)\n", quiet.p50);
  SetSteadySource(nullptr);
  return 0;
}
