// Self certificate generation: the alternative-name text, the exact OpenSSL command
// lines, a real generation checked with the openssl program, the replace-only-on-success
// rule with fake openssl programs, and the "one file missing" start rule.
#include "common/cert/self_cert.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/cert/der_file.h"
#include "common/config/app_paths.h"
#include "common/helpers/message_boxes.h"
#include "common/helpers/run_capture.h"
#include "common/platform/host.h"

namespace {
namespace fs = std::filesystem;
using ::testing::HasSubstr;

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}
void Put(const fs::path& p, const std::string& bytes, fs::perms mode = fs::perms::owner_read | fs::perms::owner_write) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
  fs::permissions(p, mode);
}
std::string Openssl(const std::string& args) {
  std::string out;
  EXPECT_TRUE(RunCaptureText("openssl " + args, out));
  return out;
}

class TRecordingBoxes : public TMessageBoxes {
 public:
  explicit TRecordingBoxes(std::vector<std::string>& errors) : errors_(errors) {}
  void Info(const std::string&, const std::string&) override {}
  void Error(const std::string& text, const std::string&) override { errors_.push_back(text); }
  bool AskText(const std::string&, const std::string&, std::string&) override { return false; }
  bool AskYesNo(const std::string&, const std::string&) override { return false; }

 private:
  std::vector<std::string>& errors_;
};

// A private data root and program folder holding the shipped template.
class SelfCertTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("zel_cert_" + std::to_string(::getpid()) + "_" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "app");
    setenv("ZELOPC_DATA_ROOT", root_.c_str(), 1);
    ResetAppPathsForTest();
    InitAppPaths();
    g_AppDir = (root_ / "app").string();
    fs::copy_file(fs::path(ZEL_BIN_DIR) / "certtmpl.cnf", root_ / "app" / "certtmpl.cnf");
    cwd_ = fs::current_path();
    prevBoxes_ = SetMessageBoxes(std::make_unique<TRecordingBoxes>(errors_));
  }
  void TearDown() override {
    SetMessageBoxes(std::move(prevBoxes_));
    fs::current_path(cwd_);
    ResetAppPathsForTest();
    fs::remove_all(root_);
  }
  // A program placed as g_AppDir/openssl.
  void FakeOpenssl(const std::string& script) {
    Put(root_ / "app" / "openssl", "#!/bin/sh\n" + script, fs::perms::owner_all);
  }
  fs::path SelfDir() const { return SelfCertDir(); }
  std::vector<std::string> SelfDirNames() const {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(SelfDir())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  static std::vector<std::string> FourFiles() {
    return {kSelfCertPemName, kSelfCertDerName, kSelfKeyDerName, kSelfKeyPemName};
  }

  fs::path root_, cwd_;
  std::vector<std::string> errors_;
  std::unique_ptr<TMessageBoxes> prevBoxes_;
};

TEST(CertAltNameText, ResolverCases) {
  const std::string head = "URI.1 = urn:ZelOpcServer3\r\nDNS.1 = PLANT7\r\n";
  const struct {
    const char* name;
    std::vector<std::string> addresses;
    std::string ips;
  } cases[] = {
      {"no address", {}, "IP.1 = 127.0.0.1\r\n"},
      {"loopback only", {"127.0.0.1"}, "IP.1 = 127.0.0.1\r\n"},
      {"others", {"192.168.1.5", "10.0.0.2"},
       "IP.1 = 127.0.0.1\r\nIP.2 = 192.168.1.5\r\nIP.3 = 10.0.0.2\r\n"},
      {"loopback listed keeps order", {"192.168.1.5", "127.0.0.1", "10.0.0.2"},
       "IP.1 = 192.168.1.5\r\nIP.2 = 127.0.0.1\r\nIP.3 = 10.0.0.2\r\n"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(CertAltNameText("urn:ZelOpcServer3", "PLANT7", c.addresses), head + c.ips) << c.name;
}

TEST_F(SelfCertTest, OpensslInProgramFolderIsPreferredOverPath) {
  EXPECT_EQ(OpenSslProgram(), "openssl");
  FakeOpenssl("exit 1\n");
  EXPECT_EQ(OpenSslProgram(), g_AppDir + "/openssl");
}

// One real generation through a wrapper that records each command line and the
// request configuration it was given, then runs the real openssl from PATH.
TEST_F(SelfCertTest, GeneratesAnOpcUaApplicationCertificate) {
  const std::string log = (root_ / "args.log").string(), seen = (root_ / "seen.cnf").string();
  FakeOpenssl("{ echo \"cwd=$PWD\"; for a in \"$@\"; do printf '[%s]' \"$a\"; done; echo; } >> '" + log +
              "'\n[ \"$1\" = req ] && cp localhost.cnf '" + seen + "'\nexec openssl \"$@\"\n");
  const std::string before = fs::current_path().string();
  ASSERT_EQ(CreateSelfCertificate(), "");
  EXPECT_EQ(fs::current_path().string(), before);
  EXPECT_TRUE(errors_.empty());

  const std::string cwd = "cwd=" + SelfCertDir() + "\n";
  EXPECT_EQ(Slurp(log),
            cwd + "[req][-config][localhost.cnf][-new][-nodes][-x509][-sha256][-newkey][rsa:2048]"
                  "[-keyout][temp.key][-subj][/CN=ZelOpcServer3@localhost][-days][7300][-out][temp.crt]\n" +
            cwd + "[x509][-in][temp.crt][-outform][der][-out][temp_cert.der]\n" +
            cwd + "[rsa][-inform][PEM][-in][temp.key][-outform][der][-out][temp_key.der]\n");
  const std::string alt = CertAltNameText(kSelfCertAppUri, LocalHostName(), LocalIPv4Addresses());
  std::string tmpl = Slurp(root_ / "app" / "certtmpl.cnf");
  EXPECT_EQ(Slurp(seen), tmpl.replace(tmpl.find("{{IPNAME}}"), 10, alt));

  // Only the four result files stay; the private keys are the owner's alone.
  EXPECT_EQ(SelfDirNames(), FourFiles());
  for (const char* key : {kSelfKeyDerName, kSelfKeyPemName})
    EXPECT_EQ(fs::status(SelfDir() / key).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write) << key;

  const std::string certDer = (SelfDir() / kSelfCertDerName).string();
  const std::string text = Openssl("x509 -inform der -in \"" + certDer + "\" -noout -text");
  EXPECT_THAT(text, HasSubstr("Subject: CN = ZelOpcServer3@localhost"));
  EXPECT_THAT(text, HasSubstr("Issuer: CN = ZelOpcServer3@localhost"));
  EXPECT_THAT(text, HasSubstr("Public-Key: (2048 bit)"));
  EXPECT_THAT(text, HasSubstr("Signature Algorithm: sha256WithRSAEncryption"));
  EXPECT_THAT(text, HasSubstr("Digital Signature, Non Repudiation, Key Encipherment, Data Encipherment"));
  EXPECT_THAT(text, HasSubstr("TLS Web Server Authentication, TLS Web Client Authentication"));
  std::string sans = "URI:urn:ZelOpcServer3, DNS:" + LocalHostName() + ", IP Address:127.0.0.1";
  for (const auto& ip : LocalIPv4Addresses()) sans += ", IP Address:" + ip;
  EXPECT_THAT(text, HasSubstr(sans));

  // Valid for 7300 days.
  const std::string dates = Openssl("x509 -inform der -in \"" + certDer + "\" -noout -startdate -enddate");
  std::tm from{}, to{};
  ASSERT_TRUE(strptime(dates.c_str(), "notBefore=%b %d %H:%M:%S %Y GMT", &from)) << dates;
  ASSERT_TRUE(strptime(dates.c_str() + dates.find("notAfter="), "notAfter=%b %d %H:%M:%S %Y GMT", &to)) << dates;
  EXPECT_EQ(timegm(&to) - timegm(&from), 7300LL * 86400);

  // The key belongs to the certificate, and both PEM files read as DER.
  const std::string keyDer = (SelfDir() / kSelfKeyDerName).string();
  EXPECT_EQ(Openssl("rsa -inform der -in \"" + keyDer + "\" -noout -modulus"),
            Openssl("x509 -inform der -in \"" + certDer + "\" -noout -modulus"));
  EXPECT_NE(ReadDerFileBase64(certDer), "");
  EXPECT_NE(ReadDerFileBase64(keyDer), "");
  EXPECT_EQ(ReadDerFileBase64((SelfDir() / kSelfCertPemName).string()), ReadDerFileBase64(certDer));
  EXPECT_NE(ReadDerFileBase64((SelfDir() / kSelfKeyPemName).string()), "");
}

// Whatever a broken openssl leaves behind, the previous certificate stays untouched.
TEST_F(SelfCertTest, FailedGenerationLeavesThePreviousCertificate) {
  std::string fakeDer = "\x30\x82\x00\x40" + std::string(64, 'k');
  for (const auto& name : FourFiles()) Put(SelfDir() / name, "old " + name + fakeDer);
  const struct {
    const char* name;
    std::string script;
  } cases[] = {
      {"fails at once", "exit 1\n"},
      {"writes nothing", "exit 0\n"},
      // Every -out / -keyout file gets one byte: the DER files exist but are no DER.
      {"short output",
       "while [ $# -gt 0 ]; do case \"$1\" in -out|-keyout) printf x > \"$2\"; shift;; esac; shift; done\n"},
      // DER files that look right, but the PEM files never appear.
      {"no pem files",
       "[ \"$1\" = rsa ] && printf '\\060\\202\\000\\100%064d' 0 > temp_key.der\n"
       "[ \"$1\" = x509 ] && printf '\\060\\202\\000\\100%064d' 0 > temp_cert.der\nexit 0\n"},
  };
  for (const auto& c : cases) {
    FakeOpenssl(c.script);
    const std::string before = fs::current_path().string();
    EXPECT_EQ(CreateSelfCertificate(), kCertFailedText) << c.name;
    EXPECT_EQ(fs::current_path().string(), before) << c.name;
    EXPECT_EQ(SelfDirNames(), FourFiles()) << c.name;  // scratch files gone too
    for (const auto& name : FourFiles()) EXPECT_EQ(Slurp(SelfDir() / name), "old " + name + fakeDer) << c.name;
  }
}

TEST_F(SelfCertTest, MissingOpensslReportsEachCommandAndFails) {
  const char* oldPath = std::getenv("PATH");
  const std::string savedPath = oldPath ? oldPath : "";
  fs::create_directories(root_ / "empty");
  setenv("PATH", (root_ / "empty").c_str(), 1);
  std::string result = CreateSelfCertificate();
  setenv("PATH", savedPath.c_str(), 1);
  EXPECT_EQ(result, kCertFailedText);
  ASSERT_EQ(errors_.size(), 3u);
  for (const auto& e : errors_) EXPECT_THAT(e, HasSubstr("CreateProcess_ERROR#"));
  EXPECT_THAT(errors_[2], HasSubstr("CmdLine=\"openssl\" rsa -inform PEM"));
  EXPECT_TRUE(SelfDirNames().empty());
}

TEST_F(SelfCertTest, UnreadableTemplateStopsBeforeAnyCommand) {
  const std::string log = (root_ / "ran").string();
  FakeOpenssl("touch '" + log + "'\n");
  fs::remove(root_ / "app" / "certtmpl.cnf");
  const std::string before = fs::current_path().string();
  EXPECT_THROW((void)GenerateCertificate(g_AppDir + "/certtmpl.cnf", OpenSslProgram(), SelfCertDir(),
                                         kSelfCertCommonName, kSelfCertAppUri),
               ECertTemplate);
  EXPECT_EQ(fs::current_path().string(), before);
  EXPECT_EQ(CreateSelfCertificate(), kCertFailedText);  // callers get the failure text
  EXPECT_FALSE(fs::exists(log));
}

TEST_F(SelfCertTest, TemplateMarkersAreAllReplacedAndTheBomDropped) {
  const std::string seen = (root_ / "seen.cnf").string();
  FakeOpenssl("[ \"$1\" = req ] && cp localhost.cnf '" + seen + "'\nexit 0\n");
  Put(root_ / "t.cnf", "\xEF\xBB\xBF[a]\n{{IPNAME}}[b]\n{{IPNAME}}");
  fs::create_directories(root_ / "out" / "nested");  // a relative output folder works too
  fs::current_path(root_ / "out");
  EXPECT_EQ(GenerateCertificate((root_ / "t.cnf").string(), OpenSslProgram(), "nested", "X", "urn:x"),
            kCertFailedText);
  const std::string alt = CertAltNameText("urn:x", LocalHostName(), LocalIPv4Addresses());
  EXPECT_EQ(Slurp(seen), "[a]\n" + alt + "[b]\n" + alt);
  EXPECT_EQ(fs::current_path(), root_ / "out");
  EXPECT_TRUE(fs::is_empty(root_ / "out" / "nested"));
}

// The server's start rule: one DER file missing means a new certificate before reading.
TEST_F(SelfCertTest, OneMissingFileMeansANewCertificateBeforeReading) {
  ASSERT_EQ(CreateSelfCertificate(), "");  // openssl from PATH
  for (const char* missing : {kSelfKeyDerName, kSelfCertDerName}) {
    const std::string oldCert = Slurp(SelfDir() / kSelfCertDerName);
    const std::string oldKey = Slurp(SelfDir() / kSelfKeyDerName);
    fs::remove(SelfDir() / missing);
    EXPECT_EQ(EnsureSelfCertificate(), "") << missing;
    EXPECT_NE(Slurp(SelfDir() / kSelfCertDerName), oldCert) << missing;
    EXPECT_NE(Slurp(SelfDir() / kSelfKeyDerName), oldKey) << missing;
    EXPECT_NE(ReadDerFileBase64(SelfCertDerPath()), "") << missing;
    EXPECT_NE(ReadDerFileBase64(SelfKeyDerPath()), "") << missing;
  }
  // Both present: nothing is touched.
  FakeOpenssl("exit 1\n");
  const std::string cert = Slurp(SelfDir() / kSelfCertDerName);
  EXPECT_EQ(EnsureSelfCertificate(), "");
  EXPECT_EQ(Slurp(SelfDir() / kSelfCertDerName), cert);
}

}  // namespace
