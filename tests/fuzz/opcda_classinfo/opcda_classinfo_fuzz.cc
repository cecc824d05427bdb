// Drives the automation side of a server object and a group with arguments taken from
// the input: QueryInterface and InterfaceSupportsErrorInfo with arbitrary interface ids,
// IDispatch with arbitrary indexes, names, member ids and interface ids, the class's type
// information walked through arbitrary implementation indexes and references, and the
// letter-case folding of arbitrary bytes. Results are freed as a client frees them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "com/com_ptr.h"
#include "server/namespace/case_fold.h"
#include "server/namespace/name_space.h"
#include "server/opcda/class_info.h"
#include "server/runtime/zel_main.h"

namespace {

using zelcom::ComPtr;

class Bytes {
 public:
  Bytes(const uint8_t* d, size_t n) : d_(d), n_(n) {}
  bool more() const { return i_ < n_; }
  uint8_t u8() { return i_ < n_ ? d_[i_++] : 0; }
  uint32_t u32() { return u8() | (u8() << 8) | (u8() << 16) | (static_cast<uint32_t>(u8()) << 24); }
  // A known interface id most of the time, else 16 bytes of the input.
  IID iid() {
    static const IID* known[] = {&IID_IUnknown,    &IID_IDispatch,        &IID_IDA2,
                                 &IID_IOPCGroup,   &IID_IProvideClassInfo, &IID_ISupportErrorInfo,
                                 &IID_IOPCServer,  &IID_IOPCItemMgt,       &IID_ITypeInfo,
                                 &IID_NULL,        &IID_IOPCSyncIO,        &IID_IConnectionPointContainer};
    uint8_t k = u8();
    if (k < 200) return *known[k % (sizeof known / sizeof known[0])];
    IID g;
    uint8_t raw[sizeof g];
    for (uint8_t& b : raw) b = u8();
    std::memcpy(&g, raw, sizeof g);
    return g;
  }
  std::string text() {
    std::string s(u8() % 24, '\0');
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
    p->DispName = std::string(1, 'P');
    p->Vars = {{"V", "", 3, 0}};
    m->Prjs.push_back(std::move(p));
    m->BuildRuntime();
    return m;
  }();
  return *main;
}

void InitServer(TNxBaseOPCServer* s) { CreateOpcNameSpace(Main(), *s); }

void WalkTypeInfo(ITypeInfo* ti, Bytes& in, int depth) {
  if (!ti || depth > 3) return;
  TYPEATTR* a = nullptr;
  if (SUCCEEDED(ti->GetTypeAttr(&a))) ti->ReleaseTypeAttr(a);
  BSTR name = nullptr, doc = nullptr, help = nullptr;
  DWORD ctx = 0;
  if (SUCCEEDED(ti->GetDocumentation(static_cast<MEMBERID>(in.u32()), &name, &doc, &ctx, &help))) {
    SysFreeString(name);
    SysFreeString(doc);
    SysFreeString(help);
  }
  HREFTYPE ref = 0;
  INT flags = 0;
  const UINT index = in.u8() % 3;
  ti->GetImplTypeFlags(index, &flags);
  ti->GetRefTypeOfImplType(index, &ref);
  ComPtr<ITypeInfo> next;
  if (SUCCEEDED(ti->GetRefTypeInfo(in.u8() & 1 ? ref : in.u32(), next.Receive()))) WalkTypeInfo(next.Get(), in, depth + 1);
  FUNCDESC* f = nullptr;
  ti->GetFuncDesc(in.u8(), &f);
  std::u16string n16(in.u8() % 8, u'x');
  LPOLESTR names[] = {reinterpret_cast<LPOLESTR>(n16.data())};
  MEMBERID id = 0;
  ti->GetIDsOfNames(names, 1, &id);
  void* obj = nullptr;
  if (SUCCEEDED(ti->CreateInstance(nullptr, IID_IUnknown, &obj))) static_cast<IUnknown*>(obj)->Release();
}

void Run(Bytes& in) {
  auto server = ComPtr<IOPCServer>::Adopt(TNxBaseOPCServer::Create());
  ComPtr<IUnknown> group;
  OPCHANDLE h = 0;
  DWORD rate = 0;
  server->AddGroup(u"G", TRUE, 1000, 1, nullptr, nullptr, 0, &h, &rate, IID_IUnknown, group.Receive());
  for (int steps = 0; in.more() && steps < 100; ++steps) {
    IUnknown* target = in.u8() & 1 ? static_cast<IUnknown*>(server.Get()) : group.Get();
    switch (in.u8() % 5) {
      case 0: {
        void* p = nullptr;
        if (SUCCEEDED(target->QueryInterface(in.iid(), &p)) && p) static_cast<IUnknown*>(p)->Release();
        break;
      }
      case 1: {
        ComPtr<ISupportErrorInfo> s;
        if (ComPtr<IUnknown>(target).As(IID_ISupportErrorInfo, &s) == S_OK) s->InterfaceSupportsErrorInfo(in.iid());
        break;
      }
      case 2: {
        ComPtr<IDispatch> d;
        if (ComPtr<IUnknown>(target).As(IID_IDispatch, &d) != S_OK) break;
        UINT count = 0;
        d->GetTypeInfoCount(&count);
        ComPtr<ITypeInfo> ti;
        if (SUCCEEDED(d->GetTypeInfo(in.u8() % 3, in.u32(), ti.Receive()))) WalkTypeInfo(ti.Get(), in, 0);
        std::vector<std::u16string> texts(in.u8() % 4);
        std::vector<LPOLESTR> names;
        for (auto& t : texts) {
          t = std::u16string(in.u8() % 8, static_cast<char16_t>(in.u8()));
          names.push_back(reinterpret_cast<LPOLESTR>(t.data()));
        }
        std::vector<DISPID> ids(names.size());
        d->GetIDsOfNames(in.iid(), names.data(), static_cast<UINT>(names.size()), in.u32(), ids.data());
        DISPPARAMS none{};
        VARIANT result;
        VariantInit(&result);
        UINT argErr = 0;
        d->Invoke(static_cast<DISPID>(in.u32()), in.iid(), in.u32(), in.u8(), &none, &result, nullptr, &argErr);
        VariantClear(&result);
        break;
      }
      case 3: {
        ComPtr<IProvideClassInfo> pci;
        if (ComPtr<IUnknown>(target).As(IID_IProvideClassInfo, &pci) != S_OK) break;
        ComPtr<ITypeInfo> ti;
        if (SUCCEEDED(pci->GetClassInfo(ti.Receive()))) WalkTypeInfo(ti.Get(), in, 0);
        break;
      }
      case 4:
        (void)FoldCaseUtf8(in.text());
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
