// Drives a server object and its groups with call sequences taken from the input:
// groups added, removed, renamed, cloned and released, items added with arbitrary ids,
// handles and types, reads, writes, browsing, properties and enumerators. Every result
// is freed the way a client frees it, so the leak check sees only the server's leaks.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "com/com_ptr.h"
#include "com/ole_text.h"
#include "common/log/link_texts.h"
#include "common/platform/text.h"
#include "server/namespace/name_space.h"
#include "server/runtime/zel_main.h"

namespace {

using zelcom::ComPtr;

class Bytes {
 public:
  Bytes(const uint8_t* d, size_t n) : d_(d), n_(n) {}
  bool more() const { return i_ < n_; }
  uint8_t u8() { return i_ < n_ ? d_[i_++] : 0; }
  uint32_t u32() { return u8() | (u8() << 8) | (u8() << 16) | (static_cast<uint32_t>(u8()) << 24); }
  std::string text() {
    static const char* known[] = {"P.A.V", "p.a.v", "P.D", "P.R", "$$Count", "P.$$RegInfo",
                                  "P.$$ForceRefresh", "P", "A", "..", "\"P\"", ""};
    uint8_t k = u8();
    if (k < 200) return known[k % (sizeof known / sizeof known[0])];
    std::string s(u8() % 16, '\0');
    for (char& c : s) c = static_cast<char>(u8());
    return s;
  }

 private:
  const uint8_t* d_;
  size_t n_;
  size_t i_ = 0;
};

TZelMain& Main() {
  static TZelMain* main = [] {
    auto* m = new TZelMain();
    auto p = m->NewPrj();
    p->DispName = std::string(1, 'P');  // not a literal: GCC 12 warns falsely (-Wrestrict)
    p->UseGroup = 1;
    p->Vars = {{"V", "A", 3, 0}, {"D", "", 1, 0}, {"R", "", 2, 1}, {"S", "", 5, 0}};
    m->Prjs.push_back(std::move(p));
    m->BuildRuntime();
    m->SPrj(0).NetState = ncsRunning;
    for (auto& v : m->SPrj(0).Vars) v->Valid = true;
    return m;
  }();
  return *main;
}

void InitServer(TNxBaseOPCServer* s) { CreateOpcNameSpace(Main(), *s); }

void FreeErrors(HRESULT* e) { CoTaskMemFree(e); }

void Run(Bytes& in) {
  auto server = ComPtr<IOPCServer>::Adopt(TNxBaseOPCServer::Create());
  ComPtr<IOPCBrowseServerAddressSpace> browse;
  ComPtr<IOPCItemProperties> props;
  server.As(IID_IOPCBrowseServerAddressSpace, &browse);
  server.As(IID_IOPCItemProperties, &props);
  std::vector<ComPtr<IUnknown>> groups;
  std::vector<OPCHANDLE> groupHandles, itemHandles;
  for (int steps = 0; in.more() && steps < 200; ++steps) {
    uint8_t op = in.u8() % 16;
    ComPtr<IUnknown> g = groups.empty() ? ComPtr<IUnknown>() : groups[in.u8() % groups.size()];
    auto pickHandle = [&](std::vector<OPCHANDLE>& from) -> OPCHANDLE {
      uint8_t k = in.u8();
      if (k < 128 && !from.empty()) return from[k % from.size()];
      return in.u32();
    };
    switch (op) {
      case 0: {
        std::u16string name = Utf8ToUtf16(in.text());
        ComPtr<IUnknown> ng;
        OPCHANDLE h = 0;
        DWORD rate = 0;
        if (server->AddGroup(name.c_str(), in.u8() & 1, in.u32(), in.u32(), nullptr, nullptr, 0, &h,
                             &rate, IID_IUnknown, ng.Receive()) == S_OK) {
          groups.push_back(ng);
          groupHandles.push_back(h);
        }
        break;
      }
      case 1: server->RemoveGroup(pickHandle(groupHandles), in.u8() & 1); break;
      case 2:
        if (!groups.empty()) groups.erase(groups.begin() + in.u8() % groups.size());
        break;
      case 3:
        if (g) {
          ComPtr<IOPCItemMgt> mgt;
          g.As(IID_IOPCItemMgt, &mgt);
          DWORD n = in.u8() % 5;
          std::vector<std::u16string> ids(n);
          std::vector<OPCITEMDEF> defs(n);
          for (DWORD i = 0; i < n; ++i) {
            ids[i] = Utf8ToUtf16(in.text());
            defs[i].szItemID = ids[i].data();
            defs[i].bActive = in.u8() & 1;
            defs[i].vtRequestedDataType = in.u8() % 24;
          }
          OPCITEMRESULT* r = nullptr;
          HRESULT* e = nullptr;
          if (SUCCEEDED(mgt->AddItems(n, defs.data(), &r, &e)))
            for (DWORD i = 0; i < n; ++i)
              if (e[i] == S_OK) itemHandles.push_back(r[i].hServer);
          CoTaskMemFree(r);
          FreeErrors(e);
        }
        break;
      case 4:
      case 5:
      case 6:
        if (g) {
          ComPtr<IOPCItemMgt> mgt;
          g.As(IID_IOPCItemMgt, &mgt);
          DWORD n = in.u8() % 4;
          std::vector<OPCHANDLE> hs(n + 1);
          std::vector<VARTYPE> types(n + 1);
          for (DWORD i = 0; i < n; ++i) {
            hs[i] = pickHandle(itemHandles);
            types[i] = in.u8() % 24;
          }
          HRESULT* e = nullptr;
          if (op == 4) mgt->RemoveItems(n, hs.data(), &e);
          if (op == 5) mgt->SetActiveState(n, hs.data(), in.u8() & 1, &e);
          if (op == 6) mgt->SetDatatypes(n, hs.data(), types.data(), &e);
          FreeErrors(e);
        }
        break;
      case 7:
      case 8:
        if (g) {
          ComPtr<IOPCSyncIO> io;
          g.As(IID_IOPCSyncIO, &io);
          DWORD n = in.u8() % 4;
          std::vector<OPCHANDLE> hs(n + 1);
          std::vector<VARIANT> vs(n + 1);
          for (DWORD i = 0; i < n; ++i) {
            hs[i] = pickHandle(itemHandles);
            VariantInit(&vs[i]);
            vs[i].vt = VT_R8;
            vs[i].dblVal = static_cast<int32_t>(in.u32());
          }
          HRESULT* e = nullptr;
          if (op == 7) {
            OPCITEMSTATE* st = nullptr;
            if (SUCCEEDED(io->Read(in.u8() & 1 ? OPC_DS_DEVICE : OPC_DS_CACHE, n, hs.data(), &st, &e)))
              for (DWORD i = 0; i < n; ++i) VariantClear(&st[i].vDataValue);
            CoTaskMemFree(st);
          } else {
            io->Write(n, hs.data(), vs.data(), &e);
          }
          FreeErrors(e);
        }
        break;
      case 9:
        if (g) {
          ComPtr<IOPCGroupStateMgt> sm;
          g.As(IID_IOPCGroupStateMgt, &sm);
          std::u16string name = Utf8ToUtf16(in.text());
          if (in.u8() & 1) {
            sm->SetName(name.c_str());
          } else {
            ComPtr<IUnknown> c;
            if (sm->CloneGroup(name.c_str(), IID_IUnknown, c.Receive()) == S_OK) groups.push_back(c);
          }
          DWORD rate = in.u32();
          BOOL active = in.u8() & 1;
          sm->SetState(&rate, nullptr, &active, nullptr, nullptr, nullptr, nullptr);
        }
        break;
      case 10: {
        std::u16string s = Utf8ToUtf16(in.text());
        browse->ChangeBrowsePosition(static_cast<OPCBROWSEDIRECTION>(in.u8() % 4), s.c_str());
        break;
      }
      case 11: {
        ComPtr<IEnumString> e;
        if (browse->BrowseOPCItemIDs(static_cast<OPCBROWSETYPE>(in.u8() % 4), nullptr, in.u8() % 12,
                                     in.u8() % 5, e.Receive()) == S_OK) {
          LPOLESTR s[3] = {};
          ULONG got = 0;
          if (SUCCEEDED(e->Next(3, s, &got)))
            for (ULONG i = 0; i < got; ++i) CoTaskMemFree(s[i]);
          e->Skip(in.u32());
        }
        break;
      }
      case 12: {
        std::u16string s = Utf8ToUtf16(in.text());
        LPWSTR out = nullptr;
        browse->GetItemID(s.data(), &out);
        CoTaskMemFree(out);
        break;
      }
      case 13: {
        std::u16string s = Utf8ToUtf16(in.text());
        DWORD ids[2] = {in.u8() % 8u, in.u32()};
        VARIANT* v = nullptr;
        HRESULT* e = nullptr;
        if (SUCCEEDED(props->GetItemProperties(s.data(), 2, ids, &v, &e))) {
          VariantClear(&v[0]);
          VariantClear(&v[1]);
        }
        CoTaskMemFree(v);
        FreeErrors(e);
        break;
      }
      case 14:
        if (g) {
          ComPtr<IOPCItemMgt> mgt;
          g.As(IID_IOPCItemMgt, &mgt);
          ComPtr<IUnknown> u;
          if (mgt->CreateEnumerator(IID_IEnumOPCItemAttributes, u.Receive()) == S_OK) {
            ComPtr<IEnumOPCItemAttributes> e;
            u.As(IID_IEnumOPCItemAttributes, &e);
            OPCITEMATTRIBUTES* a = nullptr;
            ULONG got = 0;
            e->Skip(in.u8() % 3);
            if (SUCCEEDED(e->Next(in.u32(), &a, &got)))
              for (ULONG i = 0; i < got; ++i) {
                CoTaskMemFree(a[i].szAccessPath);
                CoTaskMemFree(a[i].szItemID);
              }
            CoTaskMemFree(a);
          }
        }
        break;
      case 15:
        ScanOPCServers();
        if (in.u8() == 0xFF) server.Reset(), browse.Reset(), props.Reset();  // groups outlive it
        if (!server) return;
        break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_PInitServer = InitServer;
  Bytes in(data, size);
  Run(in);
  return 0;
}
