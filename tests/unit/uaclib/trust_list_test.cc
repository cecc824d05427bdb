// The client certificate trust list over real PKI folders, with certificates made by
// the openssl command-line program once per run: the status of each kind of certificate
// as a table, the URI check, the rejected folder and its cap, trust on first use, and
// re-reading the folders after they change.
#include "uaclib/trust_list.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/test_env.h"
#include "uaclib/status_codes.h"

namespace {
namespace fs = std::filesystem;
namespace st = uaclib::status;
using uaclib::StatusCode;
using uaclib::TrustList;
using uaclib::TrustListOptions;

constexpr const char* kUri = "urn:test:client";

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}
std::span<const uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// Every certificate the tests use, made in one folder with a small openssl CA setup
// (the "ca" command is what sets explicit validity dates).
class Pki {
 public:
  Pki() {
    w_ = fs::path(dir_.path());
    fs::create_directories(w_ / "newcerts");
    std::ofstream(w_ / "index.txt").flush();
    std::ofstream(w_ / "serial") << "1000\n";
    std::ofstream(w_ / "crlnumber") << "1000\n";
    std::ofstream(w_ / "ca.cnf") << Config();
    ok_ = Key("leaf") && Key("ca") && Key("other") &&
          // self-signed application certificates
          SelfSigned("good", "leaf", "app", kValid) && SelfSigned("expired", "leaf", "app", kPast) &&
          SelfSigned("future", "leaf", "app", kFuture) && SelfSigned("signonly", "leaf", "app_signonly", kValid) &&
          SelfSigned("serveronly", "leaf", "app_serveronly", kValid) &&
          SelfSigned("stranger", "other", "app", kValid) &&
          // a CA, two certificates it issued (one revoked), its CRL
          SelfSigned("ca", "ca", "ca_ext", kValid) && Issued("issued", "ca", "leaf") &&
          Issued("revoked", "ca", "leaf") &&
          Sh("ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -revoke revoked.pem") &&
          Sh("ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -gencrl -out ca.crl") &&
          // an expired CA and a certificate it issued
          SelfSigned("oldca", "ca", "ca_ext", kPast) && Issued("fromoldca", "oldca", "leaf", "ca");
    for (const char* n : {"good", "expired", "future", "signonly", "serveronly", "stranger", "ca", "issued",
                          "revoked", "oldca", "fromoldca"})
      ok_ = ok_ && Sh(std::string("x509 -in ") + n + ".pem -outform der -out " + n + ".der");
  }
  bool ok() const { return ok_; }
  fs::path operator/(const std::string& name) const { return w_ / name; }
  std::string Der(const std::string& name) const { return Slurp(w_ / (name + ".der")); }

  // Another self-signed certificate (same key, new name): a distinct thumbprint.
  std::string Fresh(const std::string& name) {
    if (!Sh("req -new -x509 -config ca.cnf -extensions app -key leaf.key -subj /CN=" + name +
            " -days 30 -outform der -out " + name + ".der"))
      return {};
    return Der(name);
  }

 private:
  static constexpr const char* kValid = "-startdate 20200101000000Z -enddate 20991231000000Z";
  static constexpr const char* kPast = "-startdate 20200101000000Z -enddate 20210101000000Z";
  static constexpr const char* kFuture = "-startdate 20980101000000Z -enddate 20991231000000Z";

  bool Sh(const std::string& args) const {
    std::string cmd = "cd '" + w_.string() + "' && openssl " + args + " >>log.txt 2>&1";
    return std::system(cmd.c_str()) == 0;
  }
  bool Key(const std::string& name) const {
    return Sh("genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + name + ".key");
  }
  bool Request(const std::string& name, const std::string& key) const {
    return Sh("req -new -config ca.cnf -key " + key + ".key -subj /CN=" + name + " -out " + name + ".csr");
  }
  bool SelfSigned(const std::string& name, const std::string& key, const std::string& ext,
                  const std::string& dates) const {
    return Request(name, key) && Sh("ca -batch -notext -config ca.cnf -selfsign -keyfile " + key +
                                    ".key -extensions " + ext + " " + dates + " -in " + name +
                                    ".csr -out " + name + ".pem");
  }
  // Signed with x509 -req, which takes an expired CA as well.
  bool Issued(const std::string& name, const std::string& ca, const std::string& key,
              const std::string& caKey = "") const {
    return Request(name, key) &&
           Sh("x509 -req -in " + name + ".csr -CA " + ca + ".pem -CAkey " + (caKey.empty() ? ca : caKey) +
              ".key -CAcreateserial -days 365 -sha256 -extfile ca.cnf -extensions app -out " + name + ".pem") &&
           // registered in the CA database so that it can be revoked
           (name != "revoked" || Sh("ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -valid revoked.pem"));
  }
  static std::string Config() {
    return "[ ca ]\ndefault_ca = testca\n"
           "[ testca ]\ndatabase = index.txt\nnew_certs_dir = newcerts\nserial = serial\n"
           "crlnumber = crlnumber\ndefault_md = sha256\npolicy = anything\nunique_subject = no\n"
           "default_crl_days = 3650\n"
           "[ anything ]\ncommonName = supplied\n"
           "[ req ]\ndistinguished_name = dn\nprompt = no\n[ dn ]\nCN = x\n"
           "[ app ]\nbasicConstraints = critical, CA:FALSE\n"
           "keyUsage = critical, digitalSignature, nonRepudiation, keyEncipherment, dataEncipherment, keyCertSign\n"
           "extendedKeyUsage = serverAuth, clientAuth\nsubjectAltName = URI:" +
           std::string(kUri) +
           ", DNS:localhost\nsubjectKeyIdentifier = hash\n"
           "[ app_signonly ]\nkeyUsage = critical, digitalSignature\nsubjectAltName = URI:" + kUri + "\n"
           "[ app_serveronly ]\nkeyUsage = critical, digitalSignature, keyEncipherment\n"
           "extendedKeyUsage = serverAuth\nsubjectAltName = URI:" + kUri + "\n"
           "[ ca_ext ]\nbasicConstraints = critical, CA:TRUE\nkeyUsage = critical, keyCertSign, cRLSign\n"
           "subjectKeyIdentifier = hash\n";
  }

  TTempDir dir_;
  fs::path w_;
  bool ok_ = false;
};

class TrustListTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { pki_ = new Pki(); }
  static void TearDownTestSuite() {
    delete pki_;
    pki_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(pki_->ok()) << Slurp(*pki_ / "log.txt"); }

  TrustListOptions Options() const {
    TrustListOptions o;
    o.pkiDir = root_.path();
    o.recheckMs = 0;
    return o;
  }
  // Copies a made file into one of the folders, under another name when given.
  void Put(const std::string& folder, const std::string& file, std::string as = "") const {
    if (as.empty()) as = file;
    fs::create_directories(fs::path(root_.path()) / folder);
    fs::copy_file(*pki_ / file, fs::path(root_.path()) / folder / as, fs::copy_options::overwrite_existing);
  }
  std::vector<std::string> Files(const std::string& folder) const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(fs::path(root_.path()) / folder, ec))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  static Pki* pki_;
  TTempDir root_;
};
Pki* TrustListTest::pki_ = nullptr;

struct Case {
  const char* what;
  std::vector<std::pair<const char*, const char*>> files;  // folder, file
  const char* presented;                                    // a made certificate, DER
  StatusCode expected;
};

TEST_F(TrustListTest, StatusOfEachKindOfCertificate) {
  const std::vector<Case> cases = {
      {"trusted self-signed, DER", {{"trust", "good.der"}}, "good", st::Good},
      {"trusted self-signed, PEM", {{"trust", "good.pem"}}, "good", st::Good},
      {"trusted in trust/certs", {{"trust/certs", "good.der"}}, "good", st::Good},
      {"unknown self-signed", {{"trust", "stranger.der"}}, "good", st::BadCertificateUntrusted},
      {"expired", {{"trust", "expired.der"}}, "expired", st::BadCertificateTimeInvalid},
      {"not yet valid", {{"trust", "future.pem"}}, "future", st::BadCertificateTimeInvalid},
      {"untrusted and expired: untrusted first", {}, "expired", st::BadCertificateUntrusted},
      {"issued by a trusted CA", {{"trust", "ca.pem"}}, "issued", st::Good},
      {"trusted itself, CA in issuers", {{"trust", "issued.der"}, {"issuers", "ca.der"}}, "issued", st::Good},
      {"CA in issuers only", {{"issuers", "ca.der"}}, "issued", st::BadCertificateUntrusted},
      {"trusted itself, CA missing", {{"trust", "issued.der"}}, "issued", st::BadCertificateChainIncomplete},
      {"revoked by the CA's CRL", {{"trust", "ca.pem"}, {"trust", "ca.crl"}}, "revoked", st::BadCertificateRevoked},
      {"CRL in issuers/crl", {{"trust", "ca.pem"}, {"issuers/crl", "ca.crl"}}, "revoked", st::BadCertificateRevoked},
      {"not on the CRL", {{"trust", "ca.pem"}, {"trust", "ca.crl"}}, "issued", st::Good},
      {"issuer expired", {{"trust", "oldca.pem"}}, "fromoldca", st::BadCertificateIssuerTimeInvalid},
      {"key usage without encryption", {{"trust", "signonly.der"}}, "signonly", st::BadCertificateUseNotAllowed},
      {"extended key usage server only", {{"trust", "serveronly.der"}}, "serveronly",
       st::BadCertificateUseNotAllowed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TTempDir root;
    TrustListOptions o = Options();
    o.pkiDir = root.path();
    for (const auto& [folder, file] : c.files) {
      fs::create_directories(fs::path(root.path()) / folder);
      fs::copy_file(*pki_ / file, fs::path(root.path()) / folder / file);
    }
    TrustList list(o);
    const std::string der = pki_->Der(c.presented);
    EXPECT_EQ(list.VerifyChannelCertificate(Bytes(der)), c.expected);
  }
}

TEST_F(TrustListTest, MalformedCertificatesAreInvalid) {
  Put("trust", "good.der");
  TrustList list(Options());
  const std::string good = pki_->Der("good");
  std::string tampered = good;
  tampered[tampered.size() - 10] ^= 0x01;  // inside the signature
  std::string inBody = good;
  inBody[200] ^= 0x01;  // inside the signed part: no longer the trusted certificate
  const std::vector<std::pair<const char*, std::string>> inputs = {
      {"empty", ""},
      {"garbage", std::string(300, '\x30')},
      {"truncated", good.substr(0, good.size() / 2)},
      {"trailing bytes", good + "xyz"},
      {"signature flipped", tampered},
      {"body flipped", inBody},
      {"PEM text instead of DER", Slurp(*pki_ / "good.pem")},
      {"oversized", good + std::string(70000, '\0')},
  };
  for (const auto& [what, bytes] : inputs) {
    SCOPED_TRACE(what);
    EXPECT_EQ(list.VerifyChannelCertificate(Bytes(bytes)), st::BadCertificateInvalid);
    // The URI check reads the certificate only (the channel check comes first): a
    // tampered one still parses there.
    if (std::string_view(what).find("flipped") == std::string_view::npos)
      EXPECT_EQ(list.VerifyApplicationUri(Bytes(bytes), kUri), st::BadCertificateInvalid);
  }
  EXPECT_TRUE(Files("rejected").empty());
  // A chain sent behind the certificate is taken as such.
  const std::string chain = pki_->Der("issued") + pki_->Der("ca");
  Put("issuers", "ca.der");
  Put("trust", "issued.der");
  EXPECT_EQ(list.VerifyChannelCertificate(Bytes(chain)), st::Good);
}

TEST_F(TrustListTest, ApplicationUriComesFromTheSubjectAltName) {
  TrustList list(Options());
  const std::string der = pki_->Der("good");
  EXPECT_EQ(list.VerifyApplicationUri(Bytes(der), kUri), st::Good);
  EXPECT_EQ(list.VerifyApplicationUri(Bytes(der), "urn:test:other"), st::BadCertificateUriInvalid);
  EXPECT_EQ(list.VerifyApplicationUri(Bytes(der), "urn:test:client/"), st::BadCertificateUriInvalid);
  EXPECT_EQ(list.VerifyApplicationUri(Bytes(der), ""), st::BadCertificateUriInvalid);
  // A certificate without a URI matches no ApplicationUri.
  EXPECT_EQ(list.VerifyApplicationUri(Bytes(pki_->Der("ca")), kUri), st::BadCertificateUriInvalid);
}

TEST_F(TrustListTest, UnknownCertificateIsKeptInRejectedUntilMovedToTrust) {
  TrustList list(Options());
  const std::string der = pki_->Der("good");
  const std::string name = uaclib::CertificateThumbprint(Bytes(der)) + ".der";
  ASSERT_EQ(name.size(), 44u);
  EXPECT_EQ(list.VerifyChannelCertificate(Bytes(der)), st::BadCertificateUntrusted);
  EXPECT_EQ(list.VerifyChannelCertificate(Bytes(der)), st::BadCertificateUntrusted);
  ASSERT_EQ(Files("rejected"), std::vector<std::string>{name});
  EXPECT_EQ(Slurp(fs::path(root_.path()) / "rejected" / name), der);

  // The administrator's move is seen without a restart, and so is taking it back.
  fs::rename(fs::path(root_.path()) / "rejected" / name, fs::path(root_.path()) / "trust" / name);
  EXPECT_EQ(list.VerifyChannelCertificate(Bytes(der)), st::Good);
  EXPECT_EQ(list.TrustedCount(), 1);
  fs::remove(fs::path(root_.path()) / "trust" / name);
  EXPECT_EQ(list.VerifyChannelCertificate(Bytes(der)), st::BadCertificateUntrusted);
  // A CA and its CRL dropped in later count as well.
  Put("trust", "ca.pem");
  Put("trust", "ca.crl");
  EXPECT_EQ(list.VerifyChannelCertificate(Bytes(pki_->Der("revoked"))), st::BadCertificateRevoked);
  EXPECT_EQ(list.CrlCount(), 1);
}

TEST_F(TrustListTest, RejectedFolderIsCappedKeepingTheNewest) {
  TrustListOptions o = Options();
  o.rejectedCap = 3;
  TrustList list(o);
  std::string last;
  for (int i = 0; i < 6; ++i) {
    last = pki_->Fresh("client" + std::to_string(i));
    ASSERT_FALSE(last.empty());
    EXPECT_EQ(list.VerifyChannelCertificate(Bytes(last)), st::BadCertificateUntrusted);
  }
  std::vector<std::string> kept = Files("rejected");
  EXPECT_EQ(kept.size(), 3u);
  EXPECT_NE(std::find(kept.begin(), kept.end(), uaclib::CertificateThumbprint(Bytes(last)) + ".der"),
            kept.end());
}

TEST_F(TrustListTest, AutoTrustTrustsOnlyOtherwiseGoodCertificates) {
  TrustListOptions o = Options();
  o.autoTrust = true;
  TrustList list(o);
  const std::string good = pki_->Der("good");
  EXPECT_EQ(list.VerifyChannelCertificate(Bytes(good)), st::Good);
  EXPECT_EQ(Files("trust"), std::vector<std::string>{uaclib::CertificateThumbprint(Bytes(good)) + ".der"});
  EXPECT_EQ(list.VerifyChannelCertificate(Bytes(good)), st::Good);
  EXPECT_EQ(list.TrustedCount(), 1);

  EXPECT_EQ(list.VerifyChannelCertificate(Bytes(pki_->Der("expired"))), st::BadCertificateTimeInvalid);
  EXPECT_EQ(list.VerifyChannelCertificate(Bytes(pki_->Der("signonly"))), st::BadCertificateUseNotAllowed);
  EXPECT_EQ(Files("trust").size(), 1u);
  EXPECT_TRUE(Files("rejected").empty());
}

TEST_F(TrustListTest, AutoTrustIsBoundedPerRun) {
  TrustListOptions o = Options();
  o.autoTrust = true;
  o.autoTrustCap = 2;
  TrustList list(o);
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(list.VerifyChannelCertificate(Bytes(pki_->Fresh("auto" + std::to_string(i)))), st::Good);
  // Past the cap a new certificate is unknown again: refused and kept for review.
  EXPECT_EQ(list.VerifyChannelCertificate(Bytes(pki_->Fresh("auto2"))), st::BadCertificateUntrusted);
  EXPECT_EQ(Files("trust").size(), 2u);
  EXPECT_EQ(Files("rejected").size(), 1u);
}

TEST_F(TrustListTest, UnreadableFilesInTheFoldersAreSkipped) {
  fs::create_directories(fs::path(root_.path()) / "trust");
  std::ofstream(fs::path(root_.path()) / "trust" / "notes.txt") << "not a certificate";
  std::ofstream(fs::path(root_.path()) / "trust" / "broken.pem") << "-----BEGIN CERTIFICATE-----\nAAAA\n";
  Put("trust", "good.der");
  TrustList list(Options());
  EXPECT_EQ(list.TrustedCount(), 1);
  EXPECT_EQ(list.VerifyChannelCertificate(Bytes(pki_->Der("good"))), st::Good);
}

TEST_F(TrustListTest, DaysLeft) {
  int days = 0;
  ASSERT_TRUE(uaclib::CertificateDaysLeft(Bytes(pki_->Der("expired")), days));
  EXPECT_LT(days, 0);
  ASSERT_TRUE(uaclib::CertificateDaysLeft(Bytes(pki_->Der("good")), days));
  EXPECT_GT(days, 30);
  EXPECT_FALSE(uaclib::CertificateDaysLeft(Bytes(std::string("junk")), days));
}

}  // namespace
