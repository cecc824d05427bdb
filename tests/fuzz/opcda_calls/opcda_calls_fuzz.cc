// Drives a server object and its groups with call sequences taken from the input:
// groups added, removed, renamed, cloned and released, items added with arbitrary ids,
// handles and types, reads, writes, browsing, properties and enumerators, asynchronous
// reads, writes, refreshes, cancels and enables, sinks advised and unadvised, scans on a
// clock moved by the input. A sink takes its next calls from the input too, inside the
// callback (the re-entering client), and answers success, failure or a gone client.
// Every result is freed the way a client frees it, so the leak check sees only the
// server's leaks.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "com/com_ptr.h"
#include "com/ole_text.h"
#include "common/log/link_texts.h"
#include "common/platform/clock.h"
#include "common/platform/text.h"
#include "server/namespace/name_space.h"
#include "server/opcda/com_object.h"
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

int64_t g_steady = 1000;
int64_t FuzzSteady() { return g_steady; }

struct State {
  explicit State(Bytes& b) : in(b) {}
  Bytes& in;
  ComPtr<IOPCServer> server;
  ComPtr<IOPCBrowseServerAddressSpace> browse;
  ComPtr<IOPCItemProperties> props;
  std::vector<ComPtr<IUnknown>> groups;
  std::vector<OPCHANDLE> groupHandles, itemHandles;
  std::vector<DWORD> cancelIds, cookies;
};

void Step(State& st, int depth);

// A client's sink: reads every array it is given, then lets the input make the next
// calls from inside the callback (two levels deep at most).
class FuzzSink final : public TComObject<IOPCDataCallback, &IID_IOPCDataCallback> {
 public:
  FuzzSink(State& st, int depth) : st_(st), depth_(depth) {}
  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD n, OPCHANDLE* h,
                                         VARIANT* v, WORD* q, FILETIME* t, HRESULT* e) override {
    return Called(n, h, v, q, t, e);
  }
  HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD n,
                                           OPCHANDLE* h, VARIANT* v, WORD* q, FILETIME* t,
                                           HRESULT* e) override {
    return Called(n, h, v, q, t, e);
  }
  HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD n, OPCHANDLE* h,
                                            HRESULT* e) override {
    return Called(n, h, nullptr, nullptr, nullptr, e);
  }
  HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override {
    return Called(0, nullptr, nullptr, nullptr, nullptr, nullptr);
  }

 private:
  HRESULT Called(DWORD n, OPCHANDLE* h, VARIANT* v, WORD* q, FILETIME* t, HRESULT* e) {
    volatile uint64_t sum = 0;
    for (DWORD i = 0; i < n; ++i) {
      sum = sum + h[i] + static_cast<uint32_t>(e[i]);
      if (v) {
        VARIANT copy;
        VariantInit(&copy);
        VariantCopy(&copy, &v[i]);
        VariantClear(&copy);
      }
      if (q) sum = sum + q[i];
      if (t) sum = sum + t[i].dwLowDateTime;
    }
    auto keep = ComPtr<IOPCDataCallback>(this);  // the calls below may unadvise it
    if (depth_ < 2 && st_.in.more()) Step(st_, depth_ + 1);
    switch (st_.in.u8() % 4) {
      case 0: return E_FAIL;
      case 1: return static_cast<HRESULT>(0x80010108);  // the client is gone
      default: return S_OK;
    }
  }
  State& st_;
  int depth_;
};

void Step(State& st, int depth) {
  Bytes& in = st.in;
  ComPtr<IOPCServer>& server = st.server;
  ComPtr<IOPCBrowseServerAddressSpace>& browse = st.browse;
  ComPtr<IOPCItemProperties>& props = st.props;
  std::vector<ComPtr<IUnknown>>& groups = st.groups;
  std::vector<OPCHANDLE>& groupHandles = st.groupHandles;
  std::vector<OPCHANDLE>& itemHandles = st.itemHandles;
  {
    uint8_t op = in.u8() % 22;
    ComPtr<IUnknown> g = groups.empty() ? ComPtr<IUnknown>() : groups[in.u8() % groups.size()];
    auto pickHandle = [&](std::vector<OPCHANDLE>& from) -> OPCHANDLE {
      uint8_t k = in.u8();
      if (k < 128 && !from.empty()) return from[k % from.size()];
      return in.u32();
    };
    // n handles and values (numbers or texts) for reads and writes; one spare entry,
    // so the arrays exist for n = 0 too. The caller clears the values.
    auto pickItems = [&](DWORD n, std::vector<OPCHANDLE>& hs, std::vector<VARIANT>& vs) {
      hs.assign(n + 1, 0);
      vs.resize(n + 1);
      for (VARIANT& v : vs) VariantInit(&v);
      for (DWORD i = 0; i < n; ++i) {
        hs[i] = pickHandle(itemHandles);
        if (in.u8() & 1) {
          vs[i].vt = VT_BSTR;
          vs[i].bstrVal = Utf8ToBstr(in.text());
        } else {
          vs[i].vt = VT_R8;
          vs[i].dblVal = static_cast<int32_t>(in.u32());
        }
      }
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
          std::vector<OPCHANDLE> hs;
          std::vector<VARIANT> vs;
          pickItems(n, hs, vs);
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
          for (VARIANT& v : vs) VariantClear(&v);
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
        g_steady += in.u32() % 2000;
        ScanOPCServers();
        // The client lets the server go; its groups outlive it. Not from inside a
        // callback: the outer steps still use the server.
        if (in.u8() == 0xFF && depth == 0) server.Reset(), browse.Reset(), props.Reset();
        break;
      case 16:
      case 17:
        if (g) {
          ComPtr<IConnectionPointContainer> cpc;
          g.As(IID_IConnectionPointContainer, &cpc);
          ComPtr<IConnectionPoint> cp;
          if (cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.Receive()) != S_OK) break;
          if (op == 16) {
            auto sink = ComPtr<IOPCDataCallback>::Adopt(new FuzzSink(st, depth));
            DWORD cookie = 0;
            if (cp->Advise(sink.Get(), &cookie) == S_OK) st.cookies.push_back(cookie);
          } else {
            uint8_t k = in.u8();
            cp->Unadvise(k < 128 && !st.cookies.empty() ? st.cookies[k % st.cookies.size()] : in.u32());
          }
        }
        break;
      case 18:
      case 19:
      case 20:
      case 21:
        if (g) {
          ComPtr<IOPCAsyncIO2> io;
          g.As(IID_IOPCAsyncIO2, &io);
          DWORD cancel = 0;
          DWORD trans = in.u32();
          if (op == 18) {
            DWORD n = in.u8() % 4;
            std::vector<OPCHANDLE> hs;
            std::vector<VARIANT> vs;
            pickItems(n, hs, vs);
            HRESULT* e = nullptr;
            HRESULT hr = in.u8() & 1 ? io->Read(n, hs.data(), trans, &cancel, &e)
                                     : io->Write(n, hs.data(), vs.data(), trans, &cancel, &e);
            if (SUCCEEDED(hr)) st.cancelIds.push_back(cancel);
            FreeErrors(e);
            for (VARIANT& v : vs) VariantClear(&v);
          } else if (op == 19) {
            if (io->Refresh2(static_cast<OPCDATASOURCE>(in.u8() % 4), trans, &cancel) == S_OK)
              st.cancelIds.push_back(cancel);
          } else if (op == 20) {
            uint8_t k = in.u8();
            io->Cancel2(k < 128 && !st.cancelIds.empty() ? st.cancelIds[k % st.cancelIds.size()] : in.u32());
          } else {
            BOOL on = FALSE;
            io->SetEnable(in.u8() & 1);
            io->GetEnable(&on);
          }
        }
        break;
    }
  }
}

void Run(Bytes& in) {
  State st(in);
  st.server = ComPtr<IOPCServer>::Adopt(TNxBaseOPCServer::Create());
  st.server.As(IID_IOPCBrowseServerAddressSpace, &st.browse);
  st.server.As(IID_IOPCItemProperties, &st.props);
  for (int steps = 0; in.more() && steps < 200 && st.server; ++steps) Step(st, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_PInitServer = InitServer;
  SetSteadySource(FuzzSteady);
  Bytes in(data, size);
  Run(in);
  return 0;
}
