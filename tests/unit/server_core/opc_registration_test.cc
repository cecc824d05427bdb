// The program as a COM server: its start modes, the class factories, the registry edge
// cases of registration, the start-up's registration check with its message boxes, and
// the lifetime of a COM-started process with the live-object count, driven in-process
// through the interfaces as a client does.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "com/com.h"
#include "com/com_ptr.h"
#include "com/guid_text.h"
#include "com/opc_da.h"
#include "com/runtime_control.h"
#include "common/config/app_paths.h"
#include "common/helpers/message_boxes.h"
#include "common/link/data_server.h"
#include "common/log/server_log.h"
#include "common/platform/registry.h"
#include "common/settings/sys_config.h"
#include "server/core/command_line.h"
#include "server/core/main_window.h"
#include "server/core/opc_registration.h"
#include "server/core/startup.h"
#include "server/namespace/name_space.h"
#include "server/opcda/da2.h"
#include "server/opcda/type_library.h"
#include "server/runtime/zel_main.h"
#include "tests/common/server_process_fixture.h"

namespace {

class TRecordingBoxes : public TMessageBoxes {
 public:
  std::vector<std::string> errors, infos;
  void Info(const std::string& t, const std::string& caption) override {
    EXPECT_EQ(caption, ApplicationTitle());
    infos.push_back(t);
  }
  void Error(const std::string& t, const std::string& caption) override {
    EXPECT_EQ(caption, "错误");
    errors.push_back(t);
  }
  bool AskText(const std::string&, const std::string&, std::string&) override { return false; }
  bool AskYesNo(const std::string&, const std::string&) override { return false; }
};

std::string Reg(const std::string& key, const std::string& name = "") {
  std::string v;
  return RegReadString(TRegRoot::HKCR, key, name, v) ? v : "(none)";
}

using OpcRegistrationTest = TServerProcessTest;

}  // namespace

TEST(ComStartMode, FromTheProcessArguments) {
  struct {
    std::vector<const char*> args;
    TComStartMode mode;
  } cases[] = {
      {{}, TComStartMode::Normal},
      {{"-Embedding"}, TComStartMode::Embedding},
      {{"/AUTOMATION"}, TComStartMode::Automation},
      {{"-K", "-regserver"}, TComStartMode::RegServer},
      {{"-REGSERVERPERUSER"}, TComStartMode::RegServerPerUser},
      {{"/UnregServerPerUser"}, TComStartMode::UnregServerPerUser},
      // A removal is never overridden by a registration, wherever it stands.
      {{"-REGSERVER", "-UNREGSERVER"}, TComStartMode::UnregServer},
      // Compared whole, with its switch character.
      {{"-EMBEDDINGX"}, TComStartMode::Normal},
      {{"EMBEDDING"}, TComStartMode::Normal},
      {{"--EMBEDDING"}, TComStartMode::Normal},
  };
  for (const auto& c : cases) {
    std::vector<const char*> argv = {"ZelOpcServer3"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(ComStartModeFromArgs(static_cast<int>(argv.size()), argv.data()), c.mode)
        << (c.args.empty() ? "" : c.args[0]);
  }
}

TEST_F(OpcRegistrationTest, RegistrationEdgeCases) {
  const std::string srv = GuidToText(CLSID_ZELOPC);
  const std::string exe = dir_ / "Program Files/ZEL/ZelOpcServer3";
  RegisterOpcAt("ZELOPC", "ZELOPC", exe);
  // The second ProgID of step 2 and the class runtime's ProgID name the same class.
  EXPECT_EQ(Reg("ZELOPC\\OPC", "Vendor"), "ZELOPC");
  EXPECT_EQ(Reg("ZELOPC\\CLSID"), srv);
  EXPECT_EQ(Reg("ZelOpcServer3.ZELOPC\\Clsid"), srv);
  EXPECT_EQ(Reg("CLSID\\" + srv + "\\ProgID"), "ZelOpcServer3.ZELOPC");
  EXPECT_EQ(Reg("CLSID\\" + srv), "Zel Net OPC Server 3");
  // A path with a blank has no short form here: quoted, and the check still finds it.
  EXPECT_EQ(Reg("CLSID\\" + srv + "\\LocalServer32"), "\"" + exe + "\"");
  EXPECT_EQ(RegisteredServerDir(), dir_ / "Program Files/ZEL");
  // The OPC DA 2.0 category only, for the server class only.
  const struct {
    const CLSID* clsid;
    const char* catid;
    bool listed;
  } categories[] = {
      {&CLSID_ZELOPC, "{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}", true},
      {&CLSID_ZELOPC, "{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}", false},  // DA 1.0
      {&CLSID_ZELOPC, "{CC603642-66D7-48F1-B69A-B625E73652D7}", false},  // DA 3.0
      {&CLSID_OPCGroup, "{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}", false},
  };
  for (const auto& c : categories)
    EXPECT_EQ(RegKeyExists(TRegRoot::HKCR, "CLSID\\" + GuidToText(*c.clsid) + "\\Implemented Categories\\" + c.catid),
              c.listed)
        << c.catid;
  EXPECT_EQ(Reg("Component Categories\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}", "409"),
            "OPC Data Access Servers Version 2.0");

  // Unregistering keeps a "ZELOPC" ProgID that names another class, and the category.
  RegWriteString(TRegRoot::HKCR, "ZELOPC\\CLSID", "", "{11111111-2222-3333-4444-555555555555}");
  UnregisterOpc(TClassesRoot::Machine());
  EXPECT_EQ(Reg("ZELOPC\\OPC", "Vendor"), "ZELOPC");
  EXPECT_FALSE(RegKeyExists(TRegRoot::HKCR, "CLSID\\" + srv));
  EXPECT_FALSE(RegKeyExists(TRegRoot::HKCR, "TypeLib\\" + GuidToText(LIBID_ZelOpcServer3)));
  EXPECT_EQ(RegisteredServerDir(), "");
  EXPECT_NE(Reg("Component Categories\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}", "409"), "(none)");
}

// The system's own form of LocalServer32 (as Windows programs write it) names the same
// directory as the program's '/' form.
TEST_F(OpcRegistrationTest, RegisteredDirectoryOfASystemFormPath) {
  const std::string srv = GuidToText(CLSID_ZELOPC);
  RegWriteString(TRegRoot::HKCR, "ZelOpcServer3.ZELOPC\\Clsid", "", srv);
  const struct {
    const char* localServer;
    const char* dir;
  } cases[] = {
      {"C:\\PROGRA~1\\ZEL\\ZelOpcServer3.exe", "C:/PROGRA~1/ZEL"},
      {"\"C:\\Program Files\\ZEL\\ZelOpcServer3.exe\"", "C:/Program Files/ZEL"},
  };
  for (const auto& c : cases) {
    RegWriteString(TRegRoot::HKCR, "CLSID\\" + srv + "\\LocalServer32", "", c.localServer);
    EXPECT_EQ(RegisteredServerDir(), c.dir) << c.localServer;
  }
}

TEST_F(OpcRegistrationTest, PerUserModesTouchOnlyTheUsersClasses) {
  ApplyRegistrationMode(TComStartMode::RegServerPerUser);
  std::string v;
  EXPECT_TRUE(RegReadString(TRegRoot::HKCU, "Software\\Classes\\ZelOpcServer3.ZELOPC\\Clsid", "", v));
  EXPECT_EQ(v, GuidToText(CLSID_ZELOPC));
  EXPECT_FALSE(RegKeyExists(TRegRoot::HKCR, "ZelOpcServer3.ZELOPC"));
  ApplyRegistrationMode(TComStartMode::UnregServerPerUser);
  EXPECT_FALSE(RegKeyExists(TRegRoot::HKCU, "Software\\Classes\\ZelOpcServer3.ZELOPC"));
  EXPECT_FALSE(RegKeyExists(TRegRoot::HKCU, "Software\\Classes\\CLSID\\" + GuidToText(CLSID_ZELOPC)));
}

// The check of the start-up and its two message boxes. A folder where the registry file
// belongs makes every registry write fail.
TEST_F(OpcRegistrationTest, StartUpRegistrationCheckAndItsMessageBoxes) {
  auto boxes = std::make_unique<TRecordingBoxes>();
  TRecordingBoxes* rec = boxes.get();
  auto old = SetMessageBoxes(std::move(boxes));
  TScopedEnv logPort("ZELOPC_LOG_PORT", "9");
  const struct {
    std::vector<const char*> args;
    bool registryBroken;
    bool goesOn;
    std::vector<std::string> errors, infos;
  } cases[] = {
      {{"-REGSERVER"}, false, false, {}, {}},
      {{"-REGSERVER"}, true, false, {"ZelOpcServer V3 注册失败!"}, {}},
      {{"-EMBEDDING"}, false, true, {}, {}},
      {{"-EMBEDDING"}, true, false, {}, {"OPC未成功注册!"}},
      {{}, true, false, {}, {}},                // nothing to serve: silent, no check at all
      {{"-UNREGSERVER"}, true, false, {}, {}},  // the removal has no check
  };
  for (const auto& c : cases) {
    const std::string what = std::string(c.args.empty() ? "(none)" : c.args[0]) + (c.registryBroken ? " broken" : "");
    std::filesystem::remove_all(RegistryFileName());
    if (c.registryBroken) mkdir(RegistryFileName().c_str(), 0700);
    rec->errors.clear();
    rec->infos.clear();
    ResetAppPathsForTest();
    ResetCommandLineFlags();
    gp_Main.reset();
    std::vector<const char*> argv = {"ZelOpcServer3"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(StartServer(static_cast<int>(argv.size()), argv.data()), c.goesOn) << what;
    g_ServerLog.Close();
    EXPECT_EQ(rec->errors, c.errors) << what;
    EXPECT_EQ(rec->infos, c.infos) << what;
  }
  std::filesystem::remove_all(RegistryFileName());
  SetMessageBoxes(std::move(old));
}

// Every class the program registers comes from its class object, as a client creates it.
TEST_F(OpcRegistrationTest, ClassFactoriesCreateWhatEachClassGives) {
  MakeRuntime();
  {
    TOpcComServer com(TComStartMode::Normal, {});
    EXPECT_EQ(com.ClassObjects(), 5u);
    EXPECT_EQ(zelcom::RegisteredClassObjects(), 5u);
    const struct {
      const CLSID* clsid;
      const IID* iid;
      HRESULT hr;
    } cases[] = {
        {&CLSID_ZELOPC, &IID_IOPCServer, S_OK},
        {&CLSID_ZELOPC, &IID_IDA2, S_OK},
        {&CLSID_ZELOPC, &IID_IOPCGroupStateMgt, E_NOINTERFACE},
        // Groups come from AddGroup only: one without its server object would be a shell.
        {&CLSID_OPCGroup, &IID_IUnknown, CLASS_E_CLASSNOTAVAILABLE},
        {&IID_IEnumUnknown, &IID_IEnumUnknown, S_OK},
        {&IID_IEnumString, &IID_IEnumString, S_OK},
        {&IID_IEnumOPCItemAttributes, &IID_IEnumOPCItemAttributes, S_OK},
    };
    for (const auto& c : cases) {
      void* p = reinterpret_cast<void*>(1);
      EXPECT_EQ(CoCreateInstance(*c.clsid, nullptr, CLSCTX_LOCAL_SERVER, *c.iid, &p), c.hr) << GuidToText(*c.clsid);
      if (SUCCEEDED(c.hr)) {
        ASSERT_NE(p, nullptr);
        static_cast<IUnknown*>(p)->Release();
      } else {
        EXPECT_EQ(p, nullptr);
      }
    }
    // An enumerator made by its factory is an empty list.
    zelcom::ComPtr<IEnumString> e;
    ASSERT_EQ(CoCreateInstance(IID_IEnumString, nullptr, CLSCTX_LOCAL_SERVER, IID_IEnumString, e.ReceiveVoid()), S_OK);
    LPOLESTR s = nullptr;
    ULONG n = 7;
    EXPECT_EQ(e->Next(1, &s, &n), S_FALSE);
    EXPECT_EQ(n, 0u);
    // No aggregation: the objects have no outer-unknown support.
    zelcom::ComPtr<IClassFactory> f;
    ASSERT_EQ(CoGetClassObject(CLSID_ZELOPC, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory, f.ReceiveVoid()), S_OK);
    void* p = nullptr;
    EXPECT_EQ(f->CreateInstance(e.Get(), IID_IUnknown, &p), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(GetServersCount(), 0);
  }
  EXPECT_EQ(zelcom::RegisteredClassObjects(), 0u);
}

// The lifetime rule: a COM-started process ends after its last live object (server,
// group, enumerator, a lock of the class object) is released; started otherwise, it
// keeps running and its class objects keep serving.
TEST_F(OpcRegistrationTest, ComStartedProcessEndsWithItsLastObject) {
  MakeRuntime();
  const struct {
    TComStartMode mode;
    bool ends;
  } cases[] = {
      {TComStartMode::Embedding, true},
      {TComStartMode::Automation, true},
      {TComStartMode::Normal, false},
  };
  for (const auto& c : cases) {
    const int mode = static_cast<int>(c.mode);
    int ends = 0;
    TOpcComServer com(c.mode, [&ends] { ++ends; });
    zelcom::ComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(CLSID_ZELOPC, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory, factory.ReceiveVoid()),
              S_OK);
    factory->LockServer(TRUE);
    IOPCServer* server = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IOPCServer, reinterpret_cast<void**>(&server)), S_OK);
    OPCHANDLE h = 0;
    DWORD rate = 0;
    IUnknown* group = nullptr;
    ASSERT_EQ(server->AddGroup(u"G", TRUE, 1000, 1, nullptr, nullptr, 0, &h, &rate, IID_IOPCItemMgt, &group), S_OK);
    IUnknown* groups = nullptr;
    ASSERT_EQ(server->CreateGroupEnumerator(OPC_ENUM_ALL_CONNECTIONS, IID_IEnumUnknown, &groups), S_OK);
    EXPECT_EQ(GetServersCount(), 1);

    // Each release but the last leaves the process to its clients.
    std::vector<std::function<void()>> releases = {
        [&] { server->Release(); },
        [&] { factory->LockServer(FALSE); },
        [&] { group->Release(); },
        [&] { groups->Release(); },  // holds the group too: the last object
    };
    for (size_t i = 0; i < releases.size(); ++i) {
      releases[i]();
      EXPECT_EQ(ends, i + 1 == releases.size() && c.ends ? 1 : 0) << "mode " << mode << " release " << i;
    }
    EXPECT_EQ(GetServersCount(), 0);
    // A process that goes on still serves new clients; one that ends takes none.
    IUnknown* again = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_ZELOPC, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                  reinterpret_cast<void**>(&again));
    EXPECT_EQ(SUCCEEDED(hr), !c.ends) << "mode " << mode;
    if (again) again->Release();
    EXPECT_EQ(ends, c.ends ? 1 : 0) << "mode " << mode;
  }
}
