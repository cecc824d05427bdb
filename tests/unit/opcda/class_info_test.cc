// The automation side of the server and group objects: which of IDispatch/IDA2,
// IProvideClassInfo, ISupportErrorInfo and IOPCGroup each answers, what the class's type
// information says, and that the parts share the object's identity and lifetime.
#include <string>
#include <vector>

#include "com/guid_text.h"
#include "server/namespace/name_space.h"
#include "server/opcda/class_info.h"
#include "server/runtime/zel_main.h"
#include "tests/unit/opcda/test_support.h"

namespace opcda_test {
namespace {
using zelcom::ComPtr;

TZelMain* g_main = nullptr;
void InitFromTestMain(TNxBaseOPCServer* s) { CreateOpcNameSpace(*g_main, *s); }

class ClassInfoTest : public LeakCheck {
 protected:
  void SetUp() override {
    LeakCheck::SetUp();
    auto p = main_.NewPrj();
    p->DispName = "P";
    p->Vars = {{"V", "", 3, 0}};
    main_.Prjs.push_back(std::move(p));
    main_.BuildRuntime();
    g_main = &main_;
    g_PInitServer = InitFromTestMain;
    server_ = ComPtr<IOPCServer>::Adopt(TNxBaseOPCServer::Create());
    OPCHANDLE h = 0;
    DWORD rate = 0;
    EXPECT_EQ(server_->AddGroup(u"G", TRUE, 1000, 1, nullptr, nullptr, 0, &h, &rate, IID_IUnknown, group_.Receive()),
              S_OK);
    ComPtr<IOPCGroupStateMgt> st;
    group_.As(IID_IOPCGroupStateMgt, &st);
    EXPECT_EQ(st->CloneGroup(u"C", IID_IUnknown, clone_.Receive()), S_OK);
  }
  void TearDown() override {
    clone_.Reset();
    group_.Reset();
    server_.Reset();
    g_PInitServer = nullptr;
    LeakCheck::TearDown();
  }
  static HRESULT Query(IUnknown* o, REFIID iid) {
    void* p = nullptr;
    HRESULT hr = o->QueryInterface(iid, &p);
    if (p) static_cast<IUnknown*>(p)->Release();
    return hr;
  }
  static ComPtr<ITypeInfo> ClassInfo(IUnknown* o) {
    ComPtr<IProvideClassInfo> pci;
    ComPtr<IUnknown>(o).As(IID_IProvideClassInfo, &pci);
    ComPtr<ITypeInfo> ti;
    EXPECT_EQ(pci->GetClassInfo(ti.Receive()), S_OK);
    return ti;
  }
  TZelMain main_;
  ComPtr<IOPCServer> server_;
  ComPtr<IUnknown> group_, clone_;
};

}  // namespace

TEST_F(ClassInfoTest, InterfacesEachObjectAnswers) {
  IUnknown* server = server_.Get();
  const struct {
    const char* what;
    IUnknown* object;
    const IID* iid;
    HRESULT hr;
  } cases[] = {
      {"server IDispatch", server, &IID_IDispatch, S_OK},
      {"server IDA2", server, &IID_IDA2, S_OK},
      {"server IProvideClassInfo", server, &IID_IProvideClassInfo, S_OK},
      {"server ISupportErrorInfo", server, &IID_ISupportErrorInfo, S_OK},
      {"server IOPCGroup", server, &IID_IOPCGroup, E_NOINTERFACE},
      {"group IProvideClassInfo", group_.Get(), &IID_IProvideClassInfo, S_OK},
      {"group ISupportErrorInfo", group_.Get(), &IID_ISupportErrorInfo, S_OK},
      {"group IOPCGroup", group_.Get(), &IID_IOPCGroup, S_OK},
      {"group IDispatch", group_.Get(), &IID_IDispatch, E_NOINTERFACE},
      {"group IDA2", group_.Get(), &IID_IDA2, E_NOINTERFACE},
      // A clone is a plain group: the class info, not the namespace class's IOPCGroup.
      {"clone IProvideClassInfo", clone_.Get(), &IID_IProvideClassInfo, S_OK},
      {"clone IOPCGroup", clone_.Get(), &IID_IOPCGroup, E_NOINTERFACE},
  };
  for (const auto& c : cases) EXPECT_EQ(Query(c.object, *c.iid), c.hr) << c.what;

  // Every part leads back to the object: same IUnknown, and the object's interfaces.
  for (IUnknown* o : {server, group_.Get()}) {
    ComPtr<IUnknown> self;
    ASSERT_EQ(o->QueryInterface(IID_IUnknown, self.ReceiveVoid()), S_OK);
    for (const IID* iid : {&IID_IProvideClassInfo, &IID_ISupportErrorInfo}) {
      ComPtr<IUnknown> part, back;
      ASSERT_EQ(o->QueryInterface(*iid, part.ReceiveVoid()), S_OK);
      ASSERT_EQ(part->QueryInterface(IID_IUnknown, back.ReceiveVoid()), S_OK);
      EXPECT_EQ(back.Get(), self.Get());
      EXPECT_EQ(Query(part.Get(), o == server ? IID_IOPCServer : IID_IOPCItemMgt), S_OK);
    }
  }
}

TEST_F(ClassInfoTest, SupportsErrorInfoForWhatTheObjectAnswers) {
  ComPtr<ISupportErrorInfo> s, g;
  server_.As(IID_ISupportErrorInfo, &s);
  group_.As(IID_ISupportErrorInfo, &g);
  const struct {
    ISupportErrorInfo* object;
    const IID* iid;
    HRESULT hr;
  } cases[] = {
      {s.Get(), &IID_IOPCServer, S_OK},          {s.Get(), &IID_IOPCBrowseServerAddressSpace, S_OK},
      {s.Get(), &IID_IOPCItemProperties, S_OK},  {s.Get(), &IID_IOPCItemMgt, S_FALSE},
      {s.Get(), &IID_IOPCServerList, S_FALSE},   {g.Get(), &IID_IOPCSyncIO, S_OK},
      {g.Get(), &IID_IOPCServer, S_FALSE},       {g.Get(), &IID_IDispatch, S_FALSE},
  };
  for (const auto& c : cases) EXPECT_EQ(c.object->InterfaceSupportsErrorInfo(*c.iid), c.hr) << GuidToText(*c.iid);
}

TEST_F(ClassInfoTest, ClassTypeInformation) {
  const struct {
    const char* what;
    IUnknown* object;
    const CLSID* clsid;
    WORD flags;
    const char16_t* name;
    const char16_t* doc;  // null: none
    const IID* iface;
    TYPEKIND ifaceKind;
    WORD ifaceFlags;
  } cases[] = {
      {"server", server_.Get(), &CLSID_ZELOPC,
       TYPEFLAG_FAPPOBJECT | TYPEFLAG_FCANCREATE | TYPEFLAG_FPREDECLID | TYPEFLAG_FHIDDEN, u"ZELOPC",
       u"Zel Net OPC Server 3", &IID_IDA2, TKIND_DISPATCH,
       TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE},
      {"group", group_.Get(), &CLSID_OPCGroup, TYPEFLAG_FCANCREATE, u"OPCGroup", nullptr, &IID_IOPCGroup,
       TKIND_INTERFACE, 0},
  };
  for (const auto& c : cases) {
    ComPtr<ITypeInfo> ti = ClassInfo(c.object);
    ASSERT_TRUE(ti) << c.what;
    TYPEATTR* a = nullptr;
    ASSERT_EQ(ti->GetTypeAttr(&a), S_OK);
    EXPECT_EQ(GuidToText(a->guid), GuidToText(*c.clsid)) << c.what;
    EXPECT_EQ(a->typekind, TKIND_COCLASS) << c.what;
    EXPECT_EQ(a->wTypeFlags, c.flags) << c.what;
    EXPECT_EQ(a->wMajorVerNum, 3) << c.what;
    EXPECT_EQ(a->wMinorVerNum, 0) << c.what;
    EXPECT_EQ(a->cImplTypes, 1) << c.what;
    EXPECT_EQ(a->cFuncs, 0) << c.what;
    ti->ReleaseTypeAttr(a);

    BSTR name = nullptr, doc = nullptr;
    ASSERT_EQ(ti->GetDocumentation(MEMBERID_NIL, &name, &doc, nullptr, nullptr), S_OK);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(name)), c.name) << c.what;
    if (c.doc) EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(doc)), c.doc) << c.what;
    else EXPECT_EQ(doc, nullptr) << c.what;
    SysFreeString(name);
    SysFreeString(doc);

    // The default interface of the class.
    HREFTYPE ref = 0;
    INT implFlags = 0;
    ASSERT_EQ(ti->GetRefTypeOfImplType(0, &ref), S_OK);
    EXPECT_EQ(ti->GetImplTypeFlags(0, &implFlags), S_OK);
    EXPECT_EQ(implFlags, IMPLTYPEFLAG_FDEFAULT);
    EXPECT_EQ(ti->GetRefTypeOfImplType(1, &ref), TYPE_E_ELEMENTNOTFOUND);
    ASSERT_EQ(ti->GetRefTypeOfImplType(0, &ref), S_OK);
    ComPtr<ITypeInfo> itf;
    ASSERT_EQ(ti->GetRefTypeInfo(ref, itf.Receive()), S_OK);
    ASSERT_EQ(itf->GetTypeAttr(&a), S_OK);
    EXPECT_EQ(GuidToText(a->guid), GuidToText(*c.iface)) << c.what;
    EXPECT_EQ(a->typekind, c.ifaceKind) << c.what;
    EXPECT_EQ(a->wTypeFlags, c.ifaceFlags) << c.what;
    EXPECT_EQ(a->wMajorVerNum, 2) << c.what;
    EXPECT_EQ(a->cImplTypes, 0) << c.what;
    itf->ReleaseTypeAttr(a);

    // No members to describe, and an interface cannot be instantiated.
    FUNCDESC* f = nullptr;
    EXPECT_EQ(itf->GetFuncDesc(0, &f), TYPE_E_ELEMENTNOTFOUND);
    void* p = nullptr;
    EXPECT_EQ(itf->CreateInstance(nullptr, IID_IUnknown, &p), TYPE_E_WRONGTYPEKIND);
    EXPECT_EQ(itf->GetDocumentation(5, &name, nullptr, nullptr, nullptr), TYPE_E_ELEMENTNOTFOUND);
  }
}

TEST_F(ClassInfoTest, DispatchHasNothingToCall) {
  ComPtr<IDispatch> d;
  ASSERT_EQ(server_.As(IID_IDispatch, &d), S_OK);
  UINT count = 0;
  EXPECT_EQ(d->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  ComPtr<ITypeInfo> ti;
  EXPECT_EQ(d->GetTypeInfo(1, 0, ti.Receive()), DISP_E_BADINDEX);
  ASSERT_EQ(d->GetTypeInfo(0, 0, ti.Receive()), S_OK);
  TYPEATTR* a = nullptr;
  ASSERT_EQ(ti->GetTypeAttr(&a), S_OK);
  EXPECT_EQ(GuidToText(a->guid), GuidToText(IID_IDA2));
  ti->ReleaseTypeAttr(a);

  std::u16string name = u"AddGroup";
  LPOLESTR names[] = {reinterpret_cast<LPOLESTR>(name.data())};
  DISPID id = 42;
  EXPECT_EQ(d->GetIDsOfNames(IID_NULL, names, 1, 0, &id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(id, DISPID_UNKNOWN);
  EXPECT_EQ(d->GetIDsOfNames(IID_IOPCServer, names, 1, 0, &id), DISP_E_UNKNOWNINTERFACE);
  DISPPARAMS none{};
  EXPECT_EQ(d->Invoke(1, IID_NULL, 0, 1, &none, nullptr, nullptr, nullptr), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(d->Invoke(1, IID_IOPCServer, 0, 1, &none, nullptr, nullptr, nullptr), DISP_E_UNKNOWNINTERFACE);

  // A reference held through the part keeps the object, as any other interface does.
  IDispatch* held = d.Detach();
  server_.Reset();
  EXPECT_EQ(TNxBaseOPCServer::GetServersCount(), 1u);
  held->Release();
  EXPECT_EQ(TNxBaseOPCServer::GetServersCount(), 0u);
}

}  // namespace opcda_test
