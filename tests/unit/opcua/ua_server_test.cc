// The OPC UA bridge: the configuration record, the folder and definition building, start
// with every variable bad, value pushes, client writes, and the self certificate.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "common/config/app_paths.h"
#include "common/cert/self_cert.h"
#include "common/helpers/file_helpers.h"
#include "common/helpers/run_capture.h"
#include "common/log/link_texts.h"
#include "common/platform/paths.h"
#include "common/settings/sys_config.h"
#include "server/core/main_window.h"
#include "server/opcua/ua_server.h"
#include "server/runtime/zel_main.h"
#include "tests/common/test_env.h"
#include "tests/unit/opcua/fake_uaclib.h"

namespace fs = std::filesystem;

namespace {
struct TVarSpec {
  const char* name;
  const char* group;
  int type;
  int rw;
};

class BridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_FakeUa = TFakeUa{};
    ResetAppPathsForTest();
    InitAppPaths();
    // The certificate template comes from the program folder.
    fs::create_directories(dir_ / "app");
    g_AppDir = dir_ / "app";
    fs::copy_file(fs::path(ZEL_BIN_DIR) / "certtmpl.cnf", dir_ / "app/certtmpl.cnf");
    TSysOP = TSysOPRecord{};
    TSysOP.Enable = 1;
    TSysOP.DispAddFolder = 1;
  }
  void TearDown() override {
    ua_.reset();
    main_.reset();
    ResetAppPathsForTest();
  }
  void AddPrj(const char* disp, std::vector<TVarSpec> vars) {
    if (!main_) main_ = std::make_unique<TZelMain>();
    auto p = main_->NewPrj();
    p->DispName = disp;
    p->UseGroup = 1;
    for (const auto& v : vars) p->Vars.push_back({v.name, v.group, v.type, v.rw});
    main_->Prjs.push_back(std::move(p));
    main_->SPrj(main_->PrjCount() - 1).BuildVars();
  }
  TUAServer& Build() {
    if (!main_) main_ = std::make_unique<TZelMain>();
    ua_ = BuildUAServer(*main_);
    EXPECT_TRUE(ua_);
    return *ua_;
  }
  std::vector<std::string> FolderLines() const {
    std::vector<std::string> out;
    for (size_t i = 0; i < g_FakeUa.folders.size(); ++i)
      out.push_back(g_FakeUa.folderNames[i] + "#" + std::to_string(g_FakeUa.folders[i].number) + "<" +
                    std::to_string(g_FakeUa.folders[i].parent));
    return out;
  }

  TTempDir dir_;
  TScopedEnv root_{"ZELOPC_DATA_ROOT", dir_.path()};
  std::unique_ptr<TZelMain> main_;
  std::unique_ptr<TUAServer> ua_;
};
}  // namespace

TEST_F(BridgeTest, ConfigurationRecord) {
  struct Case {
    int port, wantPort;
    const char* user;
    int logLevel, wantInit;
    int allowNone = 1;
  } cases[] = {{0, 4866, "", 0, 0}, {4900, 4900, "op", 1, 1}, {4866, 4866, "", 3, 1, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.port);
    g_FakeUa = TFakeUa{};
    TSysOP.Port = c.port;
    TSysOP.User = c.user;
    TSysOP.Pass = "pw";
    TSysOP.LogLevel = c.logLevel;
    TSysOP.AllowNone = c.allowNone;
    TUAServer& ua = Build();
    EXPECT_EQ(g_FakeUa.port, c.wantPort);
    EXPECT_EQ(ua.Port(), c.wantPort);
    EXPECT_EQ(g_FakeUa.initCalls, c.wantInit);
    EXPECT_EQ(g_FakeUa.user, *c.user ? c.user : "<null>");
    EXPECT_EQ(g_FakeUa.pass, *c.user ? "pw" : "<null>");
    EXPECT_EQ(g_FakeUa.manufacturer, "Tarnwell");
    EXPECT_EQ(g_FakeUa.product, "ZelOpcServer3");
    EXPECT_EQ(g_FakeUa.uri, "urn:ZelOpcServer3");
    EXPECT_EQ(g_FakeUa.version, FileVersionText());
    EXPECT_NEAR(g_FakeUa.config.buildDate, 45261.416666, 1e-5);
    EXPECT_EQ(g_FakeUa.config.certificateFlag, 1);
    EXPECT_EQ(g_FakeUa.config.dispAddFolder, 1);
    EXPECT_EQ(g_FakeUa.allowNone, c.allowNone);
    EXPECT_GT(g_FakeUa.config.certificateLength, 300);
    EXPECT_GT(g_FakeUa.config.privateKeyLength, 300);
    ua_.reset();
    EXPECT_TRUE(g_FakeUa.deleted);
  }
}

TEST_F(BridgeTest, FoldersAndDefinitions) {
  for (int disp : {1, 0}) {
    SCOPED_TRACE(disp);
    g_FakeUa = TFakeUa{};
    main_.reset();
    TSysOP.DispAddFolder = disp;
    AddPrj("D1", {{"T", "G1.G2", 3, 0}, {"U", "G1", 2, 1}, {"V", "", 1, 0}, {"W", ".G2", 3, 0}});
    AddPrj("D2", {{"T", "G1", 3, 1}});
    Build();
    // Shared first-level group in D1, a second G1 under D2; ".G2" lands in D1 itself.
    EXPECT_EQ(FolderLines(), (std::vector<std::string>{"D1#1<0", "G1#2<1", "G2#3<2", "D2#4<0", "G1#5<4"}));
    struct Want {
      const char *full, *browse, *display;
      int folder, type, access;
    } want[] = {
        {"D1.G1.G2.T", "T", "D1_G1_G2_T", 3, 3, 'W'}, {"D1.G1.U", "U", "D1_G1_U", 2, 2, 'R'},
        {"D1.V", "V", "D1_V", 1, 1, 'W'},             {"D1.W", "W", "D1_W", 1, 3, 'W'},
        {"D2.G1.T", "T", "D2_G1_T", 5, 3, 'R'},
    };
    ASSERT_EQ(g_FakeUa.defs.size(), std::size(want));
    for (size_t i = 0; i < std::size(want); ++i) {
      const TuasVarDef& d = g_FakeUa.defs[i];
      EXPECT_STREQ(d.fullName, want[i].full);
      EXPECT_STREQ(d.browseName, want[i].browse);
      EXPECT_STREQ(d.displayName, disp ? want[i].display : want[i].browse);
      EXPECT_EQ(d.folder, want[i].folder);
      EXPECT_EQ(d.typeCode, want[i].type);
      EXPECT_EQ(d.access, want[i].access);
    }
    ua_.reset();
  }
}

TEST_F(BridgeTest, StartReportsBadUntilTheFirstValueAndPushes) {
  AddPrj("D1", {{"A", "", 3, 0}, {"B", "", 5, 0}});
  TUAServer& ua = Build();
  ASSERT_TRUE(ua.Start());
  ASSERT_EQ(g_FakeUa.updates.size(), 1u);
  EXPECT_EQ(g_FakeUa.updates[0], (std::vector<std::pair<uint64_t, uint32_t>>{{1000, 0x80050000}, {1001, 0x80050000}}));
  ua.RunStep();
  EXPECT_EQ(ua.ClientCount(), 2);

  // A read brings a value: pushed with its node; good only while the project runs.
  TOpcSPrj& p = main_->SPrj(0);
  p.NetState = ncsRunning;
  p.Vars[0]->Valid = true;
  p.Vars[0]->Value = 7.5;
  ua.UpdateVar(*p.Vars[0], false);
  ASSERT_EQ(g_FakeUa.updates.size(), 2u);
  EXPECT_EQ(g_FakeUa.updates[1], (std::vector<std::pair<uint64_t, uint32_t>>{{1000, 0}}));
  EXPECT_EQ(g_FakeUa.updateValues, std::vector<double>{7.5});
  // The window runs one more step for values pushed during its tick.
  EXPECT_TRUE(ua.HasPendingUpdates());
  ua.RunStep();
  EXPECT_FALSE(ua.HasPendingUpdates());

  // A client's write: queued for the device and pushed; none for a text variable.
  double x = 12.25;
  g_FakeUa.onWrite(nullptr, p.Vars[0].get(), &x);
  EXPECT_EQ(p.WriteQ.size(), 1u);
  EXPECT_EQ(p.Vars[0]->Value, 12.25);
  EXPECT_EQ(g_FakeUa.updates.size(), 3u);
  g_FakeUa.onWrite(nullptr, p.Vars[1].get(), &x);
  EXPECT_EQ(p.WriteQ.size(), 1u);
  EXPECT_EQ(p.Vars[1]->Value, 0.0);
  EXPECT_EQ(g_FakeUa.updates.size(), 3u);
  // Nor for a value no device can take.
  for (double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
    g_FakeUa.onWrite(nullptr, p.Vars[0].get(), &bad);
    EXPECT_EQ(p.WriteQ.size(), 1u);
    EXPECT_EQ(p.Vars[0]->Value, 12.25);
  }
}

// A bridge that cannot be built or started (its certificate unreadable, its port taken)
// ends the program through the window's close: the login cache is saved and the main
// loop ends, instead of the process leaving from inside the build or the base tick.
TEST_F(BridgeTest, FailureClosesTheWindowThroughItsClosePath) {
  struct TShell : TMainShell {
    bool quit = false;
    void SetMessageLabel(const std::string&) override {}
    void SetStatusText(const std::string&) override {}
    void SetClientLabel(bool, const std::string&) override {}
    void EnableSecondTimer(bool) override {}
    void HideToTray() override {}
    void Quit() override { quit = true; }
  };
  // Leaving the process in the build or the tick would end this binary with code 0, which
  // reads as a pass: an exit handler turns that into a failure.
  static bool guarded = false;
  static const int registered = std::atexit([] {
    if (guarded) {
      std::fputs("the process ended inside the build or the base tick\n", stderr);
      std::_Exit(1);
    }
  });
  (void)registered;
  struct TCase {
    const char* what;
    std::function<void()> spoil;
  } cases[] = {
      {"library cannot start", [] { g_FakeUa.runStartResult = 0x80AE0000; }},
      {"certificate unreadable",
       [] {
         fs::create_directories(g_DataDir + "/cert/self");
         std::ofstream(SelfCertDerPath(), std::ios::trunc);
         std::ofstream(SelfKeyDerPath(), std::ios::trunc);
       }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    g_FakeUa = TFakeUa{};
    main_.reset();
    fs::remove(g_RegCacheFileName);
    AddPrj("D1", {{"A", "", 3, 0}});
    c.spoil();
    TShell shell;
    TMainWindow w(*main_, shell);
    guarded = true;
    w.Create(BuildUAServer(*main_), false);
    w.BaseTick(1000);
    guarded = false;
    EXPECT_TRUE(w.Closed);
    EXPECT_TRUE(shell.quit);
    EXPECT_TRUE(FileExists(g_RegCacheFileName));
    EXPECT_EQ(g_FakeUa.runs, 0);
  }
}

TEST_F(BridgeTest, MissingKeyFileMakesANewCertificate) {
  Build();
  ua_.reset();
  std::string cert1, cert2;
  ASSERT_TRUE(ReadFileBytes(SelfCertDerPath(), cert1));
  fs::remove(SelfKeyDerPath());
  g_FakeUa = TFakeUa{};
  Build();
  ASSERT_TRUE(ReadFileBytes(SelfCertDerPath(), cert2));
  EXPECT_TRUE(FileExists(SelfKeyDerPath()));
  EXPECT_NE(cert1, cert2);
  EXPECT_EQ(g_FakeUa.config.certificateLength, int32_t(cert2.size()));
}

TEST_F(BridgeTest, TrustListOverTheCertFolderAndExpiryNote) {
  TSysOP.AutoTrust = 1;
  Build();
  ASSERT_NE(ua_->Trust(), nullptr);
  ASSERT_NE(g_FakeUa.certCheck, nullptr);
  EXPECT_EQ(g_FakeUa.certCheckContext, ua_->Trust());
  for (const char* d : {"/cert/trust", "/cert/issuers", "/cert/rejected"}) EXPECT_TRUE(DirExists(g_DataDir + d)) << d;
  // The generated certificate is good for years: nothing to report.
  std::string cert;
  ASSERT_TRUE(ReadFileBytes(SelfCertDerPath(), cert));
  EXPECT_EQ(CertificateExpiryText(cert), "");
  EXPECT_EQ(CertificateExpiryText("not a certificate"), "");
  // The installed check answers from the folders: with AutoTrust a new client
  // certificate (here the server's own) is trusted and copied into cert/trust.
  const auto* der = reinterpret_cast<const uint8_t*>(cert.data());
  EXPECT_EQ(g_FakeUa.certCheck(g_FakeUa.certCheckContext, der, int32_t(cert.size()), nullptr), 0u);
  EXPECT_EQ(ua_->Trust()->TrustedCount(), 1);
  EXPECT_EQ(g_FakeUa.certCheck(g_FakeUa.certCheckContext, der, int32_t(cert.size()), "urn:ZelOpcServer3"), 0u);
  EXPECT_EQ(g_FakeUa.certCheck(g_FakeUa.certCheckContext, der, int32_t(cert.size()), "urn:other"),
            uaclib::status::BadCertificateUriInvalid);
  // One that ends within the warning period is named in the log line.
  const std::string shortLived = dir_ / "short.der";
  std::string out;
  ASSERT_TRUE(RunCaptureText("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + (dir_ / "short.key") +
                                 " -subj /CN=short -days 10 -outform der -out " + shortLived,
                             out));
  ASSERT_TRUE(ReadFileBytes(shortLived, cert));
  EXPECT_NE(CertificateExpiryText(cert).find(SelfCertDerPath()), std::string::npos);
}
