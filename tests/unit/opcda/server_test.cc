// The server object, its groups and the namespace over a runtime of two projects, driven
// only through the COM interfaces the way a client does.
#include <algorithm>
#include <functional>
#include <vector>

#include "common/log/link_texts.h"
#include "common/platform/clock.h"
#include "server/opcda/opc_util.h"
#include "tests/common/da_runtime.h"
#include "tests/unit/opcda/test_support.h"

namespace opcda_test {
namespace {

using zelcom::ComPtr;

int64_t g_now = 0;
int64_t TestNow() { return g_now; }

// Project "P" (groups used): V in A.B, W in A, C in A.C, D discrete, R read-only, L
// integer; project "Q X" (a blank in its name, no groups: no folders) with v1.
const std::vector<TDaTestDevice> kDevices = {
    {"P", 1,
     {{"V", "A.B", 3, 0}, {"W", "A", 3, 0}, {"C", "A.C", 4, 0}, {"D", "", 1, 0}, {"R", "", 3, 1}, {"L", "", 2, 0}}},
    {"Q X", 0, {{"v1", "G", 5, 0}}},
};

class ServerTest : public LeakCheck {
 protected:
  void SetUp() override {
    LeakCheck::SetUp();
    SetNowSource(TestNow);
    g_now = 1000000;
    rt_.Serve();
    server_ = ComPtr<IOPCServer>::Adopt(TNxBaseOPCServer::Create());
    server_.As(IID_IOPCBrowseServerAddressSpace, &browse_);
  }
  void TearDown() override {
    browse_.Reset();
    server_.Reset();
    SetNowSource(nullptr);
    LeakCheck::TearDown();
  }
  TOpcSPrj& P() { return rt_.main.SPrj(0); }

  std::vector<std::string> Browse(OPCBROWSETYPE type, VARTYPE vt = VT_EMPTY, DWORD rights = 0) {
    ComPtr<IEnumString> e;
    EXPECT_EQ(browse_->BrowseOPCItemIDs(type, nullptr, vt, rights, e.Receive()), S_OK);
    std::vector<std::string> out;
    LPOLESTR s = nullptr;
    ULONG n = 0;
    while (e && e->Next(1, &s, &n) == S_OK) {
      out.push_back(OleToUtf8(s));
      CoTaskMemFree(s);
    }
    return out;
  }
  HRESULT Move(OPCBROWSEDIRECTION dir, const char* to) {
    std::u16string w = W(to);
    return browse_->ChangeBrowsePosition(dir, w.c_str());
  }
  ComPtr<IUnknown> AddGroup(const char* name, BOOL active = TRUE, DWORD rate = 1000,
                            OPCHANDLE* hServer = nullptr, DWORD* revised = nullptr) {
    std::u16string w = W(name);
    ComPtr<IUnknown> g;
    OPCHANDLE h = 0;
    DWORD r = 0;
    EXPECT_EQ(server_->AddGroup(w.c_str(), active, rate, 7, nullptr, nullptr, 0, &h, &r,
                                IID_IUnknown, g.Receive()),
              S_OK);
    if (hServer) *hServer = h;
    if (revised) *revised = r;
    return g;
  }
  std::string GroupName(IUnknown* g) {
    ComPtr<IOPCGroupStateMgt> st;
    ComPtr<IUnknown>(g).As(IID_IOPCGroupStateMgt, &st);
    LPWSTR name = nullptr;
    st->GetState(nullptr, nullptr, &name, nullptr, nullptr, nullptr, nullptr, nullptr);
    std::string out = OleToUtf8(name);
    CoTaskMemFree(name);
    return out;
  }
  // AddItems of ids; returns the errors and fills the server handles.
  std::vector<HRESULT> AddItems(IUnknown* g, std::vector<const char*> ids,
                                std::vector<OPCHANDLE>* handles, HRESULT* result = nullptr,
                                VARTYPE vt = VT_EMPTY) {
    ComPtr<IOPCItemMgt> mgt;
    ComPtr<IUnknown>(g).As(IID_IOPCItemMgt, &mgt);
    ItemDefs defs(ids, vt);
    OPCITEMRESULT* res = nullptr;
    HRESULT* errs = nullptr;
    HRESULT hr = mgt->AddItems(defs.count(), defs.defs.data(), &res, &errs);
    if (result) *result = hr;
    std::vector<HRESULT> out;
    if (errs)
      for (size_t i = 0; i < ids.size(); ++i) {
        out.push_back(errs[i]);
        if (handles) handles->push_back(res[i].hServer);
      }
    CoTaskMemFree(res);
    CoTaskMemFree(errs);
    return out;
  }

  TDaTestRuntime rt_{kDevices, true};
  ComPtr<IOPCServer> server_;
  ComPtr<IOPCBrowseServerAddressSpace> browse_;
};

TEST_F(ServerTest, FlatBrowseShowsEveryItemWithItsFullId) {
  std::vector<std::string> want = {
      "$$Count",           "P.$$ForceRefresh",    "P.$$IOServerCommInfo", "P.$$IOServerInfo",
      "P.$$IOServerState", "P.$$RegCommInfo",     "P.$$RegInfo",          "P.$$RegState",
      "P.D",               "P.L",                 "P.R",                  "P.A.W",
      "P.A.B.V",           "P.A.C.C",             "Q X.$$ForceRefresh",   "Q X.$$IOServerCommInfo",
      "Q X.$$IOServerInfo", "Q X.$$IOServerState", "Q X.$$RegCommInfo",   "Q X.$$RegInfo",
      "Q X.$$RegState",    "Q X.v1"};
  EXPECT_EQ(Browse(OPC_FLAT), want);
  EXPECT_EQ(Browse(OPC_FLAT, VT_R8), std::vector<std::string>{"P.A.C.C"});
  EXPECT_EQ(Browse(OPC_BRANCH), (std::vector<std::string>{"P", "Q X"}));
  EXPECT_EQ(Browse(OPC_LEAF), std::vector<std::string>{"$$Count"});
  // Only "readable and writeable" or "any" rights select anything.
  EXPECT_TRUE(Browse(OPC_FLAT, VT_EMPTY, OPC_READABLE).empty());
  EXPECT_EQ(Browse(OPC_FLAT, VT_EMPTY, 3).size(), want.size());
  EXPECT_TRUE(Browse(static_cast<OPCBROWSETYPE>(0)).empty());  // 0: no such type
}

TEST_F(ServerTest, ChangeBrowsePositionTable) {
  struct Step {
    OPCBROWSEDIRECTION dir;
    const char* arg;
    HRESULT hr;
    std::vector<std::string> leaves;  // at the position afterwards
  };
  const std::vector<std::string> root = {"$$Count"};
  const std::vector<std::string> ab = {"V"};
  const std::vector<std::string> a = {"W"};
  const Step steps[] = {
      {OPC_BROWSE_UP, "", E_FAIL, root},               // at the root already
      {OPC_BROWSE_DOWN, "/P/", S_OK, {"$$ForceRefresh", "$$IOServerCommInfo", "$$IOServerInfo",
                                      "$$IOServerState", "$$RegCommInfo", "$$RegInfo",
                                      "$$RegState", "D", "L", "R"}},
      {OPC_BROWSE_DOWN, "a", E_FAIL, {}},              // folder moves are case-sensitive
      {OPC_BROWSE_DOWN, "A", S_OK, a},
      {OPC_BROWSE_DOWN, "", E_FAIL, a},
      {OPC_BROWSE_TO, "P/A\\B", S_OK, ab},
      {OPC_BROWSE_UP, "", S_OK, a},
      {OPC_BROWSE_TO, "P.A.B", S_OK, ab},
      {OPC_BROWSE_TO, "ZelOpcServer3.ZELOPC.P.A", S_OK, a},  // own prefix removed
      {OPC_BROWSE_TO, "Q X", E_FAIL, a},               // the blank splits: no folder "Q"
      {OPC_BROWSE_TO, "\"Q X\"", S_OK, {"$$ForceRefresh", "$$IOServerCommInfo", "$$IOServerInfo",
                                        "$$IOServerState", "$$RegCommInfo", "$$RegInfo",
                                        "$$RegState", "v1"}},
      {static_cast<OPCBROWSEDIRECTION>(0), "P", S_OK, {}},  // no such direction: nothing changes
      {OPC_BROWSE_TO, "", S_OK, root},
  };
  std::vector<std::string> last = root;
  for (const Step& s : steps) {
    EXPECT_EQ(Move(s.dir, s.arg), s.hr) << s.dir << " " << s.arg;
    std::vector<std::string> leaves = Browse(OPC_LEAF);
    EXPECT_EQ(leaves, s.leaves.empty() ? last : s.leaves) << s.dir << " " << s.arg;
    last = leaves;
  }
}

TEST_F(ServerTest, GetItemIdTable) {
  ASSERT_EQ(Move(OPC_BROWSE_TO, "P.A"), S_OK);
  struct Case {
    const char* in;
    HRESULT hr;
    const char* out;
  };
  const Case cases[] = {
      {"W", S_OK, "P.A.W"},
      {"w", S_OK, "P.A.W"},        // item names ignore case
      {"B", S_OK, "B"},            // a child folder answers its own name
      {"p.a.b.v", S_OK, "p.a.b.v"},  // a full id is accepted as given
      {"X", OPC_E_UNKNOWNITEMID, ""},
      {"", OPC_E_UNKNOWNITEMID, ""},
  };
  for (const Case& c : cases) {
    std::u16string in = W(c.in);
    LPWSTR out = nullptr;
    EXPECT_EQ(browse_->GetItemID(in.data(), &out), c.hr) << c.in;
    EXPECT_EQ(OleToUtf8(out), c.out) << c.in;
    CoTaskMemFree(out);
  }
  LPENUMSTRING e = reinterpret_cast<LPENUMSTRING>(1);
  EXPECT_EQ(browse_->BrowseAccessPaths(nullptr, &e), E_NOTIMPL);
  EXPECT_EQ(e, nullptr);
  OPCNAMESPACETYPE t{};
  EXPECT_EQ(browse_->QueryOrganization(&t), S_OK);
  EXPECT_EQ(t, OPC_NS_HIERARCHIAL);
}

TEST_F(ServerTest, AddGroupNamesRatesAndLookup) {
  OPCHANDLE h1 = 0, h2 = 0, h3 = 0, h4 = 0;
  DWORD rate = 0;
  auto a = AddGroup("A", TRUE, 0, &h1, &rate);
  EXPECT_EQ(rate, 10u);
  auto a1 = AddGroup("A", TRUE, 5000, &h2, &rate);
  EXPECT_EQ(rate, 5000u);
  auto a2 = AddGroup("A", TRUE, 1000, &h3);
  auto none = AddGroup("", TRUE, 1000, &h4);
  EXPECT_EQ(GroupName(a.Get()), "A");
  EXPECT_EQ(GroupName(a1.Get()), "A1");
  EXPECT_EQ(GroupName(a2.Get()), "A2");
  EXPECT_EQ(GroupName(none.Get()), "SYSTEM_NO_NAME_GROUP");
  EXPECT_EQ((std::vector<OPCHANDLE>{h1, h2, h3, h4}), (std::vector<OPCHANDLE>{1, 2, 3, 4}));

  ComPtr<IUnknown> found;
  std::u16string empty;
  EXPECT_EQ(server_->GetGroupByName(empty.c_str(), IID_IUnknown, found.Receive()), S_OK);
  EXPECT_EQ(found.Get(), none.Get());
  std::u16string lower = W("a");
  EXPECT_EQ(server_->GetGroupByName(lower.c_str(), IID_IUnknown, found.Receive()), E_INVALIDARG);
  std::u16string upper = W("A1");
  EXPECT_EQ(server_->GetGroupByName(upper.c_str(), IID_IOPCSyncIO, found.Receive()), S_OK);
  EXPECT_EQ(server_->GetGroupByName(upper.c_str(), IID_IEnumString, found.Receive()), E_NOINTERFACE);
  EXPECT_EQ(server_->GetGroupByName(upper.c_str(), IID_IUnknown, nullptr), E_INVALIDARG);
}

TEST_F(ServerTest, RemoveGroupInUseAndForce) {
  OPCHANDLE h = 0;
  auto g = AddGroup("G", TRUE, 1000, &h);
  EXPECT_EQ(server_->RemoveGroup(0, FALSE), E_INVALIDARG);
  EXPECT_EQ(server_->RemoveGroup(99, FALSE), E_INVALIDARG);
  ComPtr<IUnknown> second = g;  // the client holds it twice
  EXPECT_EQ(server_->RemoveGroup(h, FALSE), OPC_S_INUSE);
  second.Reset();
  EXPECT_EQ(server_->RemoveGroup(h, FALSE), S_OK);
  EXPECT_EQ(server_->RemoveGroup(h, FALSE), E_INVALIDARG);  // gone from the list
  ComPtr<IUnknown> found;
  std::u16string name = W("G");
  EXPECT_EQ(server_->GetGroupByName(name.c_str(), IID_IUnknown, found.Receive()), E_INVALIDARG);
  auto g2 = AddGroup("G2", TRUE, 1000, &h);
  ComPtr<IUnknown> again = g2;
  EXPECT_EQ(server_->RemoveGroup(h, TRUE), S_OK);
}

TEST_F(ServerTest, GroupEnumeratorScopes) {
  auto a = AddGroup("a");
  auto b = AddGroup("b");
  ComPtr<IOPCPublicGroupStateMgt> pub;
  a.As(IID_IOPCPublicGroupStateMgt, &pub);
  EXPECT_EQ(pub->MoveToPublic(), S_OK);
  EXPECT_EQ(pub->MoveToPublic(), S_OK);
  BOOL isPublic = FALSE;
  EXPECT_EQ(pub->GetState(&isPublic), S_OK);
  EXPECT_TRUE(isPublic);
  auto names = [&](OPCENUMSCOPE scope) {
    ComPtr<IUnknown> u;
    EXPECT_EQ(server_->CreateGroupEnumerator(scope, IID_IEnumString, u.Receive()), S_OK);
    ComPtr<IEnumString> e;
    u.As(IID_IEnumString, &e);
    std::vector<std::string> out;
    LPOLESTR s;
    ULONG n;
    while (e->Next(1, &s, &n) == S_OK) {
      out.push_back(OleToUtf8(s));
      CoTaskMemFree(s);
    }
    return out;
  };
  EXPECT_EQ(names(OPC_ENUM_PRIVATE), std::vector<std::string>{"b"});
  EXPECT_EQ(names(OPC_ENUM_PRIVATE_CONNECTIONS), std::vector<std::string>{"b"});
  EXPECT_EQ(names(OPC_ENUM_PUBLIC), std::vector<std::string>{"a"});
  EXPECT_EQ(names(OPC_ENUM_ALL), (std::vector<std::string>{"b", "a"}));  // private first
  ComPtr<IUnknown> u;
  EXPECT_EQ(server_->CreateGroupEnumerator(static_cast<OPCENUMSCOPE>(7), IID_IEnumString, u.Receive()),
            E_INVALIDARG);
  EXPECT_EQ(server_->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumVARIANT, u.Receive()), E_NOINTERFACE);
  ASSERT_EQ(server_->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumUnknown, u.Receive()), S_OK);
  ComPtr<IEnumUnknown> eu;
  u.As(IID_IEnumUnknown, &eu);
  IUnknown* got[2] = {};
  ULONG n = 0;
  EXPECT_EQ(eu->Next(2, got, &n), S_OK);
  EXPECT_EQ(got[0], b.Get());
  EXPECT_EQ(got[1], a.Get());
  got[0]->Release();
  got[1]->Release();
}

TEST_F(ServerTest, CommonLocaleStatusAndErrorText) {
  ComPtr<IOPCCommon> common;
  ASSERT_EQ(server_.As(IID_IOPCCommon, &common), S_OK);
  EXPECT_EQ(common->SetLocaleID(0x409), E_INVALIDARG);
  LCID lcid = 0;
  EXPECT_EQ(common->GetLocaleID(&lcid), S_OK);
  EXPECT_EQ(lcid, 0x800u);
  EXPECT_EQ(common->SetLocaleID(0x400), S_OK);
  DWORD count = 0;
  LCID* ids = nullptr;
  EXPECT_EQ(common->QueryAvailableLocaleIDs(&count, &ids), S_OK);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(ids[0], 0x800u);
  EXPECT_EQ(ids[1], 0x400u);
  CoTaskMemFree(ids);
  LPWSTR text = nullptr;
  EXPECT_EQ(common->GetErrorString(static_cast<HRESULT>(0xC0040007), &text), S_OK);
  EXPECT_EQ(OleToUtf8(text), "The item is no longer available in the server address space.");
  CoTaskMemFree(text);
  std::u16string client = W("me");
  EXPECT_EQ(common->SetClientName(client.c_str()), S_OK);

  auto g = AddGroup("g");
  OPCSERVERSTATUS* st = nullptr;
  EXPECT_EQ(server_->GetStatus(nullptr), E_INVALIDARG);
  ASSERT_EQ(server_->GetStatus(&st), S_OK);
  EXPECT_EQ(st->dwServerState, OPC_STATUS_RUNNING);
  EXPECT_EQ(st->dwGroupCount, 1u);
  EXPECT_EQ(st->dwBandWidth, 100u);
  EXPECT_EQ(st->wMajorVersion, 3);
  EXPECT_EQ(st->wMinorVersion, 1);
  EXPECT_EQ(st->wBuildNumber, 0);
  EXPECT_EQ(OleToUtf8(st->szVendorInfo), "ZEL Net OPC Server");
  CoTaskMemFree(st->szVendorInfo);
  CoTaskMemFree(st);

  ComPtr<IPersistFile> pf;
  ASSERT_EQ(server_.As(IID_IPersistFile, &pf), S_OK);
  EXPECT_EQ(pf->IsDirty(), S_FALSE);
  EXPECT_EQ(pf->Load(nullptr, 0), S_FALSE);
  ComPtr<IUnknown> none;
  EXPECT_EQ(server_.As(IID_IOPCAsyncIO, &none), E_NOINTERFACE);
}

TEST_F(ServerTest, AddAndValidateItemsErrors) {
  auto g = AddGroup("g");
  std::vector<OPCHANDLE> h;
  HRESULT hr = 0;
  EXPECT_EQ(AddItems(g.Get(), {"p.a.b.v", "P.none", ""}, &h, &hr),
            (std::vector<HRESULT>{S_OK, OPC_E_UNKNOWNITEMID, OPC_E_INVALIDITEMID}));
  EXPECT_EQ(hr, S_FALSE);
  EXPECT_GE(h[0], 0x100000u);
  EXPECT_EQ(h[1], 0u);
  EXPECT_EQ(AddItems(g.Get(), {"P.L"}, nullptr, &hr, VT_UI8), std::vector<HRESULT>{OPC_E_BADTYPE});
  EXPECT_EQ(AddItems(g.Get(), {"P.L"}, nullptr, &hr, VT_I8), std::vector<HRESULT>{S_OK});
  EXPECT_EQ(hr, S_OK);

  ComPtr<IOPCItemMgt> mgt;
  g.As(IID_IOPCItemMgt, &mgt);
  std::u16string unknown = W("P.none"), known = W("P.R");
  OPCITEMDEF defs[2] = {};
  defs[0].szItemID = unknown.data();
  defs[1].szItemID = known.data();
  OPCITEMRESULT* res = nullptr;
  HRESULT* errs = nullptr;
  EXPECT_EQ(mgt->ValidateItems(2, defs, FALSE, &res, &errs), S_FALSE);
  EXPECT_EQ(errs[0], OPC_E_INVALIDITEMID);
  EXPECT_EQ(errs[1], S_OK);
  EXPECT_EQ(res[1].vtCanonicalDataType, VT_R4);
  EXPECT_EQ(res[1].dwAccessRights, 3u);  // read-only variables refuse in the write itself
  EXPECT_EQ(res[1].hServer, 0u);
  CoTaskMemFree(res);
  CoTaskMemFree(errs);
  EXPECT_EQ(mgt->AddItems(0, defs, &res, &errs), E_INVALIDARG);
  EXPECT_EQ(mgt->ValidateItems(0, defs, FALSE, &res, &errs), E_INVALIDARG);
}

TEST_F(ServerTest, HandlesResolveOnlyInTheirOwnGroup) {
  auto g1 = AddGroup("g1");
  auto g2 = AddGroup("g2");
  std::vector<OPCHANDLE> h1, h2;
  AddItems(g1.Get(), {"P.D", "P.L"}, &h1);
  AddItems(g2.Get(), {"P.D"}, &h2);
  EXPECT_NE(h1[0], h2[0]);
  ComPtr<IOPCItemMgt> mgt;
  g1.As(IID_IOPCItemMgt, &mgt);
  HRESULT* errs = nullptr;
  OPCHANDLE rm[] = {h1[1]};
  ASSERT_EQ(mgt->RemoveItems(1, rm, &errs), S_OK);
  CoTaskMemFree(errs);
  OPCHANDLE probe[] = {0, h1[1], h2[0], h1[0]};
  ASSERT_EQ(mgt->SetActiveState(4, probe, FALSE, &errs), S_FALSE);
  EXPECT_EQ((std::vector<HRESULT>(errs, errs + 4)),
            (std::vector<HRESULT>{OPC_E_INVALIDHANDLE, OPC_E_INVALIDHANDLE, OPC_E_INVALIDHANDLE, S_OK}));
  CoTaskMemFree(errs);
  OPCHANDLE clients[] = {1, 2, 3, 4};
  ASSERT_EQ(mgt->SetClientHandles(4, probe, clients, &errs), S_FALSE);
  EXPECT_EQ(errs[3], S_OK);
  CoTaskMemFree(errs);
  VARTYPE types[] = {VT_I4, VT_I4, VT_I4, VT_EMPTY};
  ASSERT_EQ(mgt->SetDatatypes(4, probe, types, &errs), S_FALSE);
  EXPECT_EQ(errs[3], S_OK);
  CoTaskMemFree(errs);
  VARTYPE bad[] = {VT_UI8};
  OPCHANDLE one[] = {h1[0]};
  ASSERT_EQ(mgt->SetDatatypes(1, one, bad, &errs), S_FALSE);
  EXPECT_EQ(errs[0], OPC_E_BADTYPE);
  CoTaskMemFree(errs);
  EXPECT_EQ(mgt->RemoveItems(0, one, &errs), E_INVALIDARG);

  // The attribute enumerator shows the canonical type stored by SetDatatypes(0).
  ComPtr<IUnknown> u;
  ASSERT_EQ(mgt->CreateEnumerator(IID_IEnumOPCItemAttributes, u.Receive()), S_OK);
  ComPtr<IEnumOPCItemAttributes> e;
  u.As(IID_IEnumOPCItemAttributes, &e);
  OPCITEMATTRIBUTES* a = nullptr;
  ULONG n = 0;
  ASSERT_EQ(e->Next(5, &a, &n), S_FALSE);
  ASSERT_EQ(n, 1u);
  EXPECT_EQ(a[0].vtRequestedDataType, VT_BOOL);
  EXPECT_EQ(a[0].hClient, 4u);
  EXPECT_EQ(a[0].bActive, FALSE);
  EXPECT_EQ(OleToUtf8(a[0].szItemID), "P.D");
  CoTaskMemFree(a[0].szAccessPath);
  CoTaskMemFree(a[0].szItemID);
  CoTaskMemFree(a);
  auto empty = AddGroup("empty");
  ComPtr<IOPCItemMgt> emptyMgt;
  empty.As(IID_IOPCItemMgt, &emptyMgt);
  EXPECT_EQ(emptyMgt->CreateEnumerator(IID_IEnumOPCItemAttributes, u.Receive()), S_FALSE);
  EXPECT_FALSE(u);
}

TEST_F(ServerTest, SyncReadQualitiesAndValues) {
  auto g = AddGroup("g");
  std::vector<OPCHANDLE> h;
  AddItems(g.Get(), {"P.A.B.V", "P.D", "P.L", "$$Count", "P.$$RegInfo"}, &h);
  P().Vars[0]->Value = 2.5;
  P().Vars[3]->Value = 5;
  P().Vars[5]->Value = -7.9;
  P().Vars[5]->Valid = true;
  ComPtr<IOPCSyncIO> io;
  g.As(IID_IOPCSyncIO, &io);
  auto read = [&](OPCDATASOURCE src, std::vector<OPCHANDLE> hs, std::vector<OPCITEMSTATE>& out,
                  std::vector<HRESULT>& errs) {
    OPCITEMSTATE* st = nullptr;
    HRESULT* e = nullptr;
    HRESULT hr = io->Read(src, static_cast<DWORD>(hs.size()), hs.data(), &st, &e);
    out.assign(st, st + hs.size());
    errs.assign(e, e + hs.size());
    CoTaskMemFree(st);
    CoTaskMemFree(e);
    return hr;
  };
  std::vector<OPCITEMSTATE> st;
  std::vector<HRESULT> errs;
  ASSERT_EQ(read(OPC_DS_CACHE, h, st, errs), S_OK);
  EXPECT_EQ(st[0].vDataValue.vt, VT_R8);
  EXPECT_EQ(st[0].vDataValue.dblVal, 2.5);
  EXPECT_EQ(st[0].wQuality, OPC_QUALITY_GOOD);
  EXPECT_EQ(st[0].hClient, 100u);
  EXPECT_EQ(st[1].vDataValue.vt, VT_BOOL);
  EXPECT_EQ(st[1].vDataValue.boolVal, VARIANT_TRUE);
  EXPECT_EQ(st[2].vDataValue.vt, VT_I4);
  EXPECT_EQ(st[2].vDataValue.lVal, -7);
  EXPECT_EQ(st[3].vDataValue.lVal, 2);  // both projects running
  EXPECT_EQ(st[4].vDataValue.vt, VT_BSTR);
  EXPECT_EQ(BstrToUtf8(st[4].vDataValue.bstrVal).substr(0, 8), "ErrCode=");
  for (auto& s : st) VariantClear(&s.vDataValue);

  // An offline project: its variables are bad with value 0.
  P().NetState = ncsError;
  ASSERT_EQ(read(OPC_DS_DEVICE, {h[0]}, st, errs), S_OK);
  EXPECT_EQ(st[0].wQuality, OPC_QUALITY_BAD);
  EXPECT_EQ(st[0].vDataValue.dblVal, 0.0);
  P().NetState = ncsRunning;

  // Inactive group: cache reads are out of service, device reads are not.
  ComPtr<IOPCGroupStateMgt> sm;
  g.As(IID_IOPCGroupStateMgt, &sm);
  BOOL off = FALSE;
  DWORD rate = 5, revised = 0;
  ASSERT_EQ(sm->SetState(&rate, &revised, &off, nullptr, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(revised, 10u);
  ASSERT_EQ(read(OPC_DS_CACHE, {h[0], h[3]}, st, errs), S_OK);
  EXPECT_EQ(st[0].wQuality, OPC_QUALITY_OUT_OF_SERVICE);
  EXPECT_EQ(st[1].wQuality, OPC_QUALITY_OUT_OF_SERVICE);
  ASSERT_EQ(read(OPC_DS_DEVICE, {h[0], 0}, st, errs), S_FALSE);
  EXPECT_EQ(st[0].wQuality, OPC_QUALITY_GOOD);
  EXPECT_EQ(errs[1], OPC_E_INVALIDHANDLE);
  EXPECT_EQ(st[1].vDataValue.vt, VT_EMPTY);
  for (auto& s : st) VariantClear(&s.vDataValue);
}

TEST_F(ServerTest, SyncWriteReachesTheWriteQueueOrNot) {
  auto g = AddGroup("g");
  std::vector<OPCHANDLE> h;
  AddItems(g.Get(), {"P.A.W", "P.R", "$$Count", "P.$$ForceRefresh"}, &h);
  ComPtr<IOPCSyncIO> io;
  g.As(IID_IOPCSyncIO, &io);
  VARIANT v[4];
  for (auto& x : v) {
    VariantInit(&x);
    x.vt = VT_BSTR;
    x.bstrVal = Utf8ToBstr("12.5");
  }
  HRESULT* errs = nullptr;
  ASSERT_EQ(io->Write(4, h.data(), v, &errs), S_FALSE);
  EXPECT_EQ((std::vector<HRESULT>(errs, errs + 4)),
            (std::vector<HRESULT>{S_OK, S_OK, OPC_E_BADRIGHTS, S_OK}));
  CoTaskMemFree(errs);
  for (auto& x : v) VariantClear(&x);
  // W queued 12.5; the read-only R took nothing; the system items changed nothing.
  ASSERT_EQ(P().WriteQ.size(), 1u);
  EXPECT_EQ(P().WriteQ[0].pVar->Name, "W");
  EXPECT_EQ(P().WriteQ[0].Value, 12.5);
  EXPECT_EQ(P().Vars[4]->Value, 0.0);
  // A bad variable takes no write either.
  P().NetState = ncsError;
  VARIANT one;
  VariantInit(&one);
  one.vt = VT_R8;
  one.dblVal = 3;
  ASSERT_EQ(io->Write(1, h.data(), &one, &errs), S_OK);
  CoTaskMemFree(errs);
  EXPECT_EQ(P().WriteQ.size(), 1u);
}

TEST_F(ServerTest, GroupStateNameAndClone) {
  auto g = AddGroup("g");
  auto other = AddGroup("other");
  std::vector<OPCHANDLE> h;
  AddItems(g.Get(), {"P.D", "P.L"}, &h);
  ComPtr<IOPCGroupStateMgt> sm;
  g.As(IID_IOPCGroupStateMgt, &sm);
  std::u16string same = W("g"), taken = W("other"), fresh = W("renamed"), empty;
  EXPECT_EQ(sm->SetName(same.c_str()), OPC_E_DUPLICATENAME);
  EXPECT_EQ(sm->SetName(taken.c_str()), OPC_E_DUPLICATENAME);
  EXPECT_EQ(sm->SetName(empty.c_str()), E_INVALIDARG);
  EXPECT_EQ(sm->SetName(fresh.c_str()), S_OK);
  EXPECT_EQ(GroupName(g.Get()), "renamed");

  ComPtr<IUnknown> c;
  EXPECT_EQ(sm->CloneGroup(taken.c_str(), IID_IUnknown, c.Receive()), OPC_E_DUPLICATENAME);
  EXPECT_EQ(sm->CloneGroup(nullptr, IID_IOPCSyncIO, c.Receive()), E_NOINTERFACE);
  ASSERT_EQ(sm->CloneGroup(nullptr, IID_IOPCGroupStateMgt, c.Receive()), S_OK);
  EXPECT_EQ(GroupName(c.Get()), "");  // a first unnamed clone keeps the empty name
  ComPtr<IUnknown> c2;
  ASSERT_EQ(sm->CloneGroup(nullptr, IID_IUnknown, c2.Receive()), S_OK);
  EXPECT_EQ(GroupName(c2.Get()), "renamed1");
  // The clone has the items under new handles.
  ComPtr<IOPCSyncIO> io;
  c.As(IID_IOPCSyncIO, &io);
  OPCITEMSTATE* st = nullptr;
  HRESULT* errs = nullptr;
  EXPECT_EQ(io->Read(OPC_DS_CACHE, 1, h.data(), &st, &errs), S_FALSE);
  EXPECT_EQ(errs[0], OPC_E_INVALIDHANDLE);
  CoTaskMemFree(st);
  CoTaskMemFree(errs);
  OPCSERVERSTATUS* status = nullptr;
  ASSERT_EQ(server_->GetStatus(&status), S_OK);
  EXPECT_EQ(status->dwGroupCount, 4u);
  CoTaskMemFree(status->szVendorInfo);
  CoTaskMemFree(status);
  // The server keeps no reference of its own to a clone.
  c2.Reset();
  ASSERT_EQ(server_->GetStatus(&status), S_OK);
  EXPECT_EQ(status->dwGroupCount, 3u);
  CoTaskMemFree(status->szVendorInfo);
  CoTaskMemFree(status);
}

TEST_F(ServerTest, AGroupOutlivingItsServerAnswersSafely) {
  auto g = AddGroup("g");
  std::vector<OPCHANDLE> h;
  AddItems(g.Get(), {"P.D"}, &h);
  browse_.Reset();
  server_.Reset();  // the server and its tree go; the client still holds the group
  ComPtr<IOPCSyncIO> io;
  g.As(IID_IOPCSyncIO, &io);
  OPCITEMSTATE* st = nullptr;
  HRESULT* errs = nullptr;
  EXPECT_EQ(io->Read(OPC_DS_CACHE, 1, h.data(), &st, &errs), S_FALSE);
  EXPECT_EQ(errs[0], OPC_E_INVALIDHANDLE);
  CoTaskMemFree(st);
  CoTaskMemFree(errs);
  EXPECT_EQ(AddItems(g.Get(), {"P.D"}, nullptr), std::vector<HRESULT>{});
}

TEST_F(ServerTest, SystemItemsRead) {
  P().ErrCode = nceVarConfig;
  P().RunStart = g_now - (25 * 3600 + 2) * 1000;  // 25 h 2 s
  ComPtr<IOPCItemProperties> props;
  ASSERT_EQ(server_.As(IID_IOPCItemProperties, &props), S_OK);
  auto value = [&](const char* id) {
    std::u16string w = W(id);
    DWORD pid = OPC_PROP_VALUE;
    VARIANT* data = nullptr;
    HRESULT* errs = nullptr;
    EXPECT_EQ(props->GetItemProperties(w.data(), 1, &pid, &data, &errs), S_OK) << id;
    VARIANT v = data[0];
    CoTaskMemFree(data);
    CoTaskMemFree(errs);
    return v;
  };
  VARIANT v = value("P.$$RegState");
  EXPECT_EQ(v.lVal, 0);  // a changed variable list does not count as an error here
  v = value("p.$$ioserverstate");
  EXPECT_EQ(v.lVal, 4);
  P().ErrCode = nceDeviceConn;
  EXPECT_EQ(value("P.$$IOServerState").lVal, 1);
  P().ErrCode = ncePassword;
  EXPECT_EQ(value("P.$$IOServerState").lVal, 1);
  v = value("P.$$RegInfo");
  std::string info = BstrToUtf8(v.bstrVal);
  VariantClear(&v);
  EXPECT_NE(info.find("\r\nRunTime=01:00:02\r\n"), std::string::npos) << info;
  v = value("Q X.$$IOServerInfo");
  EXPECT_EQ(v.vt, VT_BSTR);
  EXPECT_EQ(SysStringLen(v.bstrVal), 0u);
  VariantClear(&v);
  rt_.main.SPrj(1).NetState = ncsError;
  EXPECT_EQ(value("$$Count").lVal, 1);
}

TEST(NamespaceAlone, NoProjectsOffersOnlyCount) {
  TDaTestRuntime rt;
  rt.Serve();
  {
    auto s = ComPtr<IOPCServer>::Adopt(TNxBaseOPCServer::Create());
    EXPECT_EQ(TNxBaseOPCServer::GetServersCount(), 1u);
    ComPtr<IOPCBrowseServerAddressSpace> b;
    s.As(IID_IOPCBrowseServerAddressSpace, &b);
    ComPtr<IEnumString> e;
    ASSERT_EQ(b->BrowseOPCItemIDs(OPC_FLAT, nullptr, VT_EMPTY, 0, e.Receive()), S_OK);
    LPOLESTR names[3] = {};
    ULONG n = 0;
    EXPECT_EQ(e->Next(3, names, &n), S_FALSE);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(OleToUtf8(names[0]), "$$Count");
    CoTaskMemFree(names[0]);
  }
  EXPECT_EQ(TNxBaseOPCServer::GetServersCount(), 0u);
}

}  // namespace
}  // namespace opcda_test

namespace opcda_test {
namespace {

// Every method that returns task-allocated results, with the allocator failing at each
// of its allocations in turn: E_OUTOFMEMORY, outputs cleared, nothing left behind.
TEST_F(ServerTest, OutOfMemoryAtEveryAllocationOfEveryArrayMethod) {
  auto g = AddGroup("g");
  std::vector<OPCHANDLE> h;
  AddItems(g.Get(), {"P.$$RegInfo", "P.D"}, &h);
  ComPtr<IOPCItemMgt> mgt;
  ComPtr<IOPCSyncIO> io;
  ComPtr<IOPCGroupStateMgt> sm;
  ComPtr<IOPCCommon> common;
  g.As(IID_IOPCItemMgt, &mgt);
  g.As(IID_IOPCSyncIO, &io);
  g.As(IID_IOPCGroupStateMgt, &sm);
  server_.As(IID_IOPCCommon, &common);
  std::u16string id = W("P.L");
  OPCITEMDEF def{};
  def.szItemID = id.data();
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_R8;
  v.dblVal = 1;
  struct Case {
    const char* name;
    int allocations;
    std::function<HRESULT()> call;
  };
  OPCITEMRESULT* res = nullptr;
  HRESULT* errs = nullptr;
  OPCITEMSTATE* st = nullptr;
  OPCSERVERSTATUS* status = nullptr;
  LPWSTR text = nullptr;
  LCID* lcids = nullptr;
  DWORD count = 0;
  const Case cases[] = {
      {"AddItems", 2, [&] { return mgt->AddItems(1, &def, &res, &errs); }},
      {"ValidateItems", 2, [&] { return mgt->ValidateItems(1, &def, FALSE, &res, &errs); }},
      {"SetActiveState", 1, [&] { return mgt->SetActiveState(2, h.data(), TRUE, &errs); }},
      {"Read", 3, [&] { return io->Read(OPC_DS_CACHE, 2, h.data(), &st, &errs); }},
      {"Write", 1, [&] { return io->Write(1, &h[1], &v, &errs); }},
      {"GetStatus", 2, [&] { return server_->GetStatus(&status); }},
      {"GetErrorString", 1, [&] { return server_->GetErrorString(E_FAIL, 0, &text); }},
      {"QueryAvailableLocaleIDs", 1, [&] { return common->QueryAvailableLocaleIDs(&count, &lcids); }},
      {"GetState", 1, [&] {
         return sm->GetState(nullptr, nullptr, &text, nullptr, nullptr, nullptr, nullptr, nullptr);
       }},
  };
  for (const Case& c : cases) {
    for (int n = 1; n <= c.allocations; ++n) {
      int64_t blocks = zelcom::LiveTaskBlocks();
      zelcom::FailTaskAllocAt(static_cast<uint64_t>(n));
      EXPECT_EQ(c.call(), E_OUTOFMEMORY) << c.name << " allocation " << n;
      zelcom::FailTaskAllocAt(0);
      EXPECT_EQ(zelcom::LiveTaskBlocks(), blocks) << c.name << " allocation " << n;
      EXPECT_EQ(res, nullptr);
      EXPECT_EQ(errs, nullptr);
      EXPECT_EQ(st, nullptr);
      EXPECT_EQ(status, nullptr);
      EXPECT_EQ(text, nullptr);
      EXPECT_EQ(lcids, nullptr);
    }
  }
  // Nothing was added by the failed AddItems.
  ComPtr<IUnknown> u;
  ASSERT_EQ(mgt->CreateEnumerator(IID_IEnumOPCItemAttributes, u.Receive()), S_OK);
  ComPtr<IEnumOPCItemAttributes> e;
  u.As(IID_IEnumOPCItemAttributes, &e);
  EXPECT_EQ(e->Skip(2), S_OK);
  EXPECT_EQ(e->Skip(1), S_FALSE);
}

TEST_F(ServerTest, LogLinesThroughTheOpcChannel) {
  static std::vector<std::string> lines;
  lines.clear();
  g_POpcLogFun = [](const std::string& m) { lines.push_back(m); };
  OPCHANDLE h = 0;
  auto g = AddGroup("L", TRUE, 1000, &h);
  server_->RemoveGroup(0, FALSE);
  g.Reset();
  server_->RemoveGroup(h, FALSE);
  Move(OPC_BROWSE_DOWN, "P");
  std::u16string x = W("X");
  LPWSTR out = nullptr;
  browse_->GetItemID(x.data(), &out);
  g_POpcLogFun = nullptr;
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "TDA2.AddGroup:szName=L", "TDA2.RemoveGroup:E_INVALIDARG",
                       "TDA2.RemoveGroup:OK,group=L", "ChangeBrowsePos:Dir=2(DOWN);Pos=P;CurGroup=P",
                       "TDA2.GetItemID_ERROR:szItemDataID=X"}));
}

}  // namespace
}  // namespace opcda_test

namespace opcda_test {
namespace {

// A call that arrives while the server is out at a client (here: a scan hook of an item,
// the way a callback into the client would) may remove groups and drop the client's last
// server reference; the scan in progress finishes on objects that stay valid.
struct ReentrantClient {
  IOPCServer* server = nullptr;  // the client's only reference
  OPCHANDLE victim = 0;
  int calls = 0;
};
ReentrantClient* g_client = nullptr;

void CallBackIntoServer(TValueProxy*) {
  ReentrantClient& c = *g_client;
  if (++c.calls > 1 || !c.server) return;
  EXPECT_EQ(c.server->RemoveGroup(c.victim, TRUE), S_OK);
  IUnknown* group = nullptr;
  EXPECT_EQ(c.server->AddGroup(nullptr, TRUE, 100, 1, nullptr, nullptr, 0, nullptr, nullptr,
                               IID_IUnknown, &group),
            S_OK);
  group->Release();
  c.server->Release();  // the client goes away in the middle of the scan
  c.server = nullptr;
}

TEST_F(ServerTest, ReentrantCallsDuringAScanKeepStateConsistent) {
  OPCHANDLE h1 = 0, h2 = 0;
  auto g1 = AddGroup("one", TRUE, 100, &h1);
  auto g2 = AddGroup("two", TRUE, 100, &h2);
  g1.Reset();  // held by the server only
  g2.Reset();
  ReentrantClient client;
  client.server = server_.Detach();
  browse_.Reset();
  client.victim = h1;
  g_client = &client;
  auto* nx = dynamic_cast<TNxBaseOPCServer*>(client.server);
  ASSERT_NE(nx, nullptr);
  nx->FindProxy("P.D")->pScan = CallBackIntoServer;
  size_t before = TNxBaseOPCServer::GetServersCount();
  ScanOPCServers();
  EXPECT_EQ(client.calls, 1);
  EXPECT_EQ(client.server, nullptr);
  // The server went with the end of the scan that held it.
  EXPECT_EQ(TNxBaseOPCServer::GetServersCount(), before - 1);
  ScanOPCServers();
  EXPECT_EQ(client.calls, 1);
  g_client = nullptr;
}

}  // namespace
}  // namespace opcda_test

namespace opcda_test {
namespace {

TEST(KillOpcServers, DestroysEveryServerLastFirstAndDetachesHeldGroups) {
  TDaTestRuntime rt;
  rt.Serve();
  static std::vector<std::string> lines;
  lines.clear();
  g_POpcLogFun = [](const std::string& m) { lines.push_back(m); };
  IOPCServer* a = TNxBaseOPCServer::Create();
  IOPCServer* b = TNxBaseOPCServer::Create();
  (void)a;
  (void)b;  // the references die with the objects, as at program end
  IUnknown* group = nullptr;
  ASSERT_EQ(a->AddGroup(nullptr, TRUE, 100, 1, nullptr, nullptr, 0, nullptr, nullptr, IID_IUnknown,
                        &group),
            S_OK);
  EXPECT_EQ(TNxBaseOPCServer::GetServersCount(), 2u);
  KillOPCServers();
  g_POpcLogFun = nullptr;
  EXPECT_EQ(TNxBaseOPCServer::GetServersCount(), 0u);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "---ZelOpcServerV3_Destroy"), 2);
  // The group the client still holds answers without its server.
  ComPtr<IOPCGroupStateMgt> sm;
  ASSERT_EQ(group->QueryInterface(IID_IOPCGroupStateMgt, sm.ReceiveVoid()), S_OK);
  std::u16string name = W("x");
  EXPECT_EQ(sm->SetName(name.c_str()), E_FAIL);
  sm.Reset();
  group->Release();
}

}  // namespace
}  // namespace opcda_test
