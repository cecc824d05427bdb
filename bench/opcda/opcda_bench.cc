// 100 000 items in 100 groups of one server object: sync reads of 1 000 items per call
// (ns per item) and the main-thread cost of one scan with every group active.
#include <cstdio>
#include <string>
#include <vector>

#include "bench/common/bench_stats.h"
#include "com/com_ptr.h"
#include "com/ole_text.h"
#include "common/log/link_texts.h"
#include "common/platform/text.h"
#include "server/namespace/name_space.h"
#include "server/runtime/zel_main.h"

using zelcom::ComPtr;

namespace {
TZelMain* g_main = nullptr;
void Init(TNxBaseOPCServer* s) { CreateOpcNameSpace(*g_main, *s); }
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
  return 0;
}
