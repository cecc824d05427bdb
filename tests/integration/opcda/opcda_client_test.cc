// An in-process OPC DA client against a server object over a runtime fed by cloudsim:
// only the COM interfaces, results freed with CoTaskMemFree, as a real client does.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>

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

namespace {

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
  std::string targetId = "Dev1.";
  if (!target->GroupName.empty()) targetId += target->GroupName + ".";
  if (!target->SubGroupName.empty()) targetId += target->SubGroupName + ".";
  targetId += target->Name;
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

}  // namespace
