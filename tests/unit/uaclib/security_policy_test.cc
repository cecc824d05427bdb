// The secure policies against OpenSSL's command-line program as an independent second
// implementation: the key derivation against its TLS1-PRF (P_SHA256), chunks the policy
// seals are opened by `openssl enc`/`mac`/`pkeyutl`/`dgst`, and chunks made with them
// are accepted by the policy, and refused once one byte is flipped.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "uaclib/crypto.h"
#include "uaclib/security_policy.h"
#include "uaclib/status_codes.h"

namespace {

namespace fs = std::filesystem;
using uaclib::PolicyAlgorithms;
using uaclib::SecurityMode;
using uaclib::SecurityPolicy;
using uaclib::StatusCode;
namespace status = uaclib::status;

std::string Hex(std::string_view s) {
  static const char* d = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out += d[c >> 4];
    out += d[c & 15];
  }
  return out;
}

std::string Unhex(const std::string& h) {
  std::string out;
  int hi = -1;
  for (char c : h) {
    int v = std::isxdigit(static_cast<unsigned char>(c)) ? std::stoi(std::string(1, c), nullptr, 16) : -1;
    if (v < 0) continue;  // colons, spaces, the newline
    if (hi < 0) {
      hi = v;
    } else {
      out += char(hi << 4 | v);
      hi = -1;
    }
  }
  return out;
}

// A private folder for the files the command-line program reads and writes.
class Work {
 public:
  Work() {
    char tmpl[] = "/tmp/uapolicy-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
  }
  ~Work() { fs::remove_all(dir_); }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  void Write(const std::string& name, std::string_view data) const {
    std::ofstream(Path(name), std::ios::binary).write(data.data(), std::streamsize(data.size()));
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // Runs `openssl <args>` in the folder; true on exit code 0.
  bool Openssl(const std::string& args) const {
    std::string cmd = "cd '" + dir_.string() + "' && openssl " + args + " >/dev/null 2>openssl.err";
    int rc = std::system(cmd.c_str());
    return rc != -1 && WIFEXITED(rc) && WEXITSTATUS(rc) == 0;
  }
  // An RSA key pair with a self-signed certificate: <name>.pem (key), <name>.der
  // (certificate), <name>.pub.pem (public key).
  void MakeKey(const std::string& name, int bits) const {
    ASSERT_TRUE(Openssl("req -x509 -newkey rsa:" + std::to_string(bits) + " -nodes -days 2 -subj /CN=" +
                        name + " -keyout " + name + ".pem -out " + name + ".crt"));
    ASSERT_TRUE(Openssl("x509 -in " + name + ".crt -outform DER -out " + name + ".der"));
    ASSERT_TRUE(Openssl("x509 -in " + name + ".crt -pubkey -noout -out " + name + ".pub.pem"));
    ASSERT_TRUE(Openssl("pkey -in " + name + ".pem -outform DER -out " + name + ".key.der"));
  }

 private:
  fs::path dir_;
};

bool HaveOpenssl() { return std::system("openssl version >/dev/null 2>&1") == 0; }

const char* CipherName(const PolicyAlgorithms& alg) {
  return alg.encryptKeyLength == 16 ? "aes-128-cbc" : "aes-256-cbc";
}
std::string OaepOpts(const PolicyAlgorithms& alg) {
  const char* md = alg.asymCrypt == uaclib::RsaCrypt::OaepSha256 ? "sha256" : "sha1";
  return std::string(" -pkeyopt rsa_padding_mode:oaep -pkeyopt rsa_oaep_md:") + md +
         " -pkeyopt rsa_mgf1_md:" + md;
}
std::string SignOpts(const PolicyAlgorithms& alg) {
  return alg.asymSign == uaclib::RsaSign::PssSha256
             ? " -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:32 -sigopt rsa_mgf1_md:sha256"
             : "";
}

// The keys of one direction as `openssl kdf` derives them.
uaclib::SymmetricKeys OpensslKeys(const Work& w, const PolicyAlgorithms& alg, std::string_view secret,
                                  std::string_view seed) {
  size_t total = alg.signKeyLength + alg.encryptKeyLength + 16;
  EXPECT_TRUE(w.Openssl("kdf -keylen " + std::to_string(total) + " -kdfopt digest:SHA256 -kdfopt hexsecret:" +
                        Hex(secret) + " -kdfopt hexseed:" + Hex(seed) + " -out kdf.bin -binary TLS1-PRF"));
  std::string all = w.Read("kdf.bin");
  EXPECT_EQ(all.size(), total);
  all.resize(total);
  return {all.substr(0, alg.signKeyLength), all.substr(alg.signKeyLength, alg.encryptKeyLength),
          all.substr(alg.signKeyLength + alg.encryptKeyLength)};
}

std::string OpensslHmac(const Work& w, const std::string& key, std::string_view data) {
  w.Write("mac.in", data);
  EXPECT_TRUE(w.Openssl("mac -digest SHA256 -macopt hexkey:" + Hex(key) + " -in mac.in -binary -out mac.out HMAC"));
  return w.Read("mac.out");
}

std::string OpensslAes(const Work& w, const PolicyAlgorithms& alg, const uaclib::SymmetricKeys& k,
                       bool decrypt, std::string_view data) {
  w.Write("aes.in", data);
  EXPECT_TRUE(w.Openssl(std::string("enc ") + (decrypt ? "-d " : "-e ") + "-" + CipherName(alg) + " -nopad -K " +
                        Hex(k.encryptKey) + " -iv " + Hex(k.iv) + " -in aes.in -out aes.out"));
  return w.Read("aes.out");
}

std::string U32(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }
std::string Bytes(std::string_view s) { return U32(uint32_t(s.size())) + std::string(s); }

// Padding per the chunk layout: the size byte, the padding, the extra size byte for
// keys above 2048 bits; all carry the low byte of the padding length.
std::string Padding(size_t plain, size_t signature, size_t block, bool extra) {
  size_t fixed = plain + 1 + (extra ? 1 : 0) + signature;
  size_t count = (block - fixed % block) % block;
  std::string out(count + 1, char(count & 0xFF));
  if (extra) out += char(count >> 8);
  return out;
}

const std::string kClientNonce(32, '\x11');
const std::string kServerNonce = [] {
  std::string s;
  for (int i = 0; i < 32; ++i) s += char(0xA0 + i);
  return s;
}();
const std::string kBody = [] {
  std::string s;
  for (int i = 0; i < 100; ++i) s += char(i * 7);
  return s;
}();

class SecurityPolicies : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!HaveOpenssl()) return;
    w_ = new Work;
    // 2048 bits and 3072 bits (which adds the extra padding byte) on both sides.
    w_->MakeKey("small", 2048);
    w_->MakeKey("large", 3072);
  }
  static void TearDownTestSuite() {
    delete w_;
    w_ = nullptr;
  }
  void SetUp() override {
    if (!w_) GTEST_SKIP() << "no openssl program";
  }
  static uaclib::LocalIdentity Identity(const std::string& name) {
    uaclib::LocalIdentity id;
    id.certificate = w_->Read(name + ".der");
    id.thumbprint = uaclib::Sha1(id.certificate);
    std::string key = w_->Read(name + ".key.der");
    EXPECT_TRUE(id.key.LoadPrivate(reinterpret_cast<const uint8_t*>(key.data()), key.size()));
    return id;
  }
  static std::unique_ptr<SecurityPolicy> Policy(std::string_view uri, const uaclib::LocalIdentity& server,
                                                const std::string& client, SecurityMode mode) {
    auto p = uaclib::MakeSecurityPolicy(uri, &server);
    EXPECT_TRUE(p);
    if (!p) return p;
    EXPECT_EQ(p->SetRemote(w_->Read(client + ".der"), server.thumbprint), status::Good);
    EXPECT_TRUE(p->SetMode(mode));
    EXPECT_EQ(p->NewToken(kClientNonce, kServerNonce), status::Good);
    return p;
  }
  static Work* w_;
};
Work* SecurityPolicies::w_ = nullptr;

TEST_F(SecurityPolicies, KeyDerivationMatchesOpensslsTls12Prf) {
  // Different lengths of secret and seed too: the derivation must not assume 32.
  const std::pair<std::string, std::string> inputs[] = {{kServerNonce, kClientNonce},
                                                        {kClientNonce, kServerNonce},
                                                        {std::string(64, '\x5A'), "seed"}};
  for (std::string_view uri : uaclib::kSecurePolicyUris) {
    const PolicyAlgorithms& alg = *uaclib::FindPolicyAlgorithms(uri);
    for (const auto& [secret, seed] : inputs) {
      uaclib::SymmetricKeys ours;
      uaclib::DeriveKeys(alg, secret, seed, ours);
      uaclib::SymmetricKeys theirs = OpensslKeys(*w_, alg, secret, seed);
      EXPECT_EQ(Hex(ours.signKey), Hex(theirs.signKey)) << uri;
      EXPECT_EQ(Hex(ours.encryptKey), Hex(theirs.encryptKey)) << uri;
      EXPECT_EQ(Hex(ours.iv), Hex(theirs.iv)) << uri;
      EXPECT_EQ(ours.encryptKey.size(), alg.encryptKeyLength);
    }
  }
}

TEST_F(SecurityPolicies, SymmetricChunksBothWaysPerPolicyAndMode) {
  uaclib::LocalIdentity server = Identity("small");
  for (std::string_view uri : uaclib::kSecurePolicyUris) {
    const PolicyAlgorithms& alg = *uaclib::FindPolicyAlgorithms(uri);
    for (SecurityMode mode : {SecurityMode::Sign, SecurityMode::SignAndEncrypt}) {
      SCOPED_TRACE(std::string(uri) + (mode == SecurityMode::Sign ? " Sign" : " SignAndEncrypt"));
      bool encrypt = mode == SecurityMode::SignAndEncrypt;
      auto policy = Policy(uri, server, "large", mode);
      ASSERT_TRUE(policy);

      // Server to client: what the policy seals, OpenSSL opens with the server keys.
      std::string head = "MSGF" + U32(0) + U32(7) + U32(1);
      std::string seqBody = U32(5) + U32(9) + kBody;
      std::vector<uint8_t> out(head.begin(), head.end());
      out.insert(out.end(), seqBody.begin(), seqBody.end());
      policy->SealSymmetric(out, 0, 16, false);
      std::string chunk(out.begin(), out.end());
      uint32_t size;
      std::memcpy(&size, chunk.data() + 4, 4);
      EXPECT_EQ(size, chunk.size());
      uaclib::SymmetricKeys sk = OpensslKeys(*w_, alg, kClientNonce, kServerNonce);
      std::string plain = chunk;
      if (encrypt) plain = chunk.substr(0, 16) + OpensslAes(*w_, alg, sk, true, chunk.substr(16));
      ASSERT_EQ(plain.size(), chunk.size());
      std::string mac = plain.substr(plain.size() - 32);
      EXPECT_EQ(Hex(OpensslHmac(*w_, sk.signKey, plain.substr(0, plain.size() - 32))), Hex(mac));
      EXPECT_EQ(plain.substr(16, seqBody.size()), seqBody);
      std::string pad = encrypt ? Padding(seqBody.size(), 32, 16, false) : "";
      EXPECT_EQ(Hex(plain.substr(16 + seqBody.size(), pad.size())), Hex(pad));
      EXPECT_EQ(plain.size(), 16 + seqBody.size() + pad.size() + 32);

      // Client to server: made with OpenSSL and the client keys, opened by the policy.
      uaclib::SymmetricKeys ck = OpensslKeys(*w_, alg, kServerNonce, kClientNonce);
      std::string body = seqBody + pad;
      std::string clientChunk = "MSGF" + U32(uint32_t(16 + body.size() + 32)) + U32(7) + U32(1) + body;
      clientChunk += OpensslHmac(*w_, ck.signKey, clientChunk);
      if (encrypt) clientChunk = clientChunk.substr(0, 16) + OpensslAes(*w_, alg, ck, false, clientChunk.substr(16));
      for (size_t flip : {size_t(0), size_t(4), size_t(20), clientChunk.size() - 1}) {
        std::string copy = clientChunk;
        if (flip) copy[flip] ^= 0x01;
        size_t bodyEnd = 0;
        StatusCode sc = policy->OpenSymmetric(reinterpret_cast<uint8_t*>(copy.data()), copy.size(), 16, bodyEnd, false);
        if (flip == 0) {
          ASSERT_EQ(sc, status::Good);
          EXPECT_EQ(bodyEnd, 16 + seqBody.size());
          EXPECT_EQ(copy.substr(16, seqBody.size()), seqBody);
        } else {
          EXPECT_EQ(sc, status::BadSecurityChecksFailed) << "byte " << flip;
        }
      }
    }
  }
}

TEST_F(SecurityPolicies, OpenSecureChannelChunksWithAndWithoutTheExtraPaddingByte) {
  uaclib::LocalIdentity small = Identity("small"), large = Identity("large");
  struct Pair {
    const uaclib::LocalIdentity* server;
    const char* serverName;
    const char* client;
  };
  const Pair pairs[] = {{&small, "small", "large"}, {&large, "large", "small"}};
  for (std::string_view uri : uaclib::kSecurePolicyUris) {
    const PolicyAlgorithms& alg = *uaclib::FindPolicyAlgorithms(uri);
    for (const Pair& p : pairs) {
      SCOPED_TRACE(std::string(uri) + " server " + p.serverName);
      auto policy = Policy(uri, *p.server, p.client, SecurityMode::Sign);
      ASSERT_TRUE(policy);
      uaclib::RsaKey clientKey;
      ASSERT_TRUE(clientKey.LoadFromCertificate(w_->Read(std::string(p.client) + ".der")));
      size_t clientBytes = clientKey.Size(), serverBytes = p.server->key.Size();
      std::string seqBody = U32(1) + U32(3) + kBody + kBody;

      // Server to client: decrypted with the client's key, signature checked with the
      // server's public key.
      std::string head = "OPNF" + U32(0) + U32(7) + Bytes(uri) + Bytes(policy->LocalCertificate()) +
                         Bytes(policy->RemoteThumbprint());
      EXPECT_EQ(policy->RemoteThumbprint(), uaclib::Sha1(w_->Read(std::string(p.client) + ".der")));
      std::vector<uint8_t> out(head.begin(), head.end());
      out.insert(out.end(), seqBody.begin(), seqBody.end());
      ASSERT_TRUE(policy->SealAsymmetric(out, 0, head.size()));
      std::string chunk(out.begin(), out.end());
      uint32_t size;
      std::memcpy(&size, chunk.data() + 4, 4);
      EXPECT_EQ(size, chunk.size());
      std::string cipher = chunk.substr(head.size());
      ASSERT_EQ(cipher.size() % clientBytes, 0u);
      std::string plain;
      for (size_t at = 0; at < cipher.size(); at += clientBytes) {
        w_->Write("block.in", cipher.substr(at, clientBytes));
        ASSERT_TRUE(w_->Openssl(std::string("pkeyutl -decrypt -inkey ") + p.client + ".pem" + OaepOpts(alg) +
                                " -in block.in -out block.out"));
        plain += w_->Read("block.out");
      }
      ASSERT_GT(plain.size(), serverBytes);
      w_->Write("signed", chunk.substr(0, head.size()) + plain.substr(0, plain.size() - serverBytes));
      w_->Write("sig", plain.substr(plain.size() - serverBytes));
      EXPECT_TRUE(w_->Openssl(std::string("dgst -sha256 -verify ") + p.serverName + ".pub.pem" + SignOpts(alg) +
                              " -signature sig signed"));
      size_t block = clientKey.PlainBlock(alg.asymCrypt);
      std::string pad = Padding(seqBody.size(), serverBytes, block, clientBytes > 256);
      EXPECT_EQ(plain.substr(0, seqBody.size()), seqBody);
      EXPECT_EQ(Hex(plain.substr(seqBody.size(), pad.size())), Hex(pad));

      // Client to server: signed and encrypted by OpenSSL, opened by the policy.
      uaclib::RsaKey serverPub;
      ASSERT_TRUE(serverPub.LoadFromCertificate(p.server->certificate));
      size_t serverBlock = serverPub.PlainBlock(alg.asymCrypt);
      std::string clientHead = "OPNF" + U32(0) + U32(0) + Bytes(uri) +
                               Bytes(w_->Read(std::string(p.client) + ".der")) + Bytes(p.server->thumbprint);
      std::string clientPlain = seqBody + Padding(seqBody.size(), clientBytes, serverBlock, serverBytes > 256);
      size_t encrypted = (clientPlain.size() + clientBytes) / serverBlock * serverBytes;
      std::string signedPart = clientHead + clientPlain;
      uint32_t total = uint32_t(clientHead.size() + encrypted);
      std::memcpy(signedPart.data() + 4, &total, 4);
      w_->Write("signed", signedPart);
      ASSERT_TRUE(w_->Openssl(std::string("dgst -sha256 -sign ") + p.client + ".pem" + SignOpts(alg) +
                              " -out sig signed"));
      std::string toEncrypt = clientPlain + w_->Read("sig");
      ASSERT_EQ(toEncrypt.size() % serverBlock, 0u);
      std::string clientChunk = signedPart.substr(0, clientHead.size());
      for (size_t at = 0; at < toEncrypt.size(); at += serverBlock) {
        w_->Write("block.in", toEncrypt.substr(at, serverBlock));
        ASSERT_TRUE(w_->Openssl(std::string("pkeyutl -encrypt -pubin -inkey ") + p.serverName + ".pub.pem" +
                                OaepOpts(alg) + " -in block.in -out block.out"));
        clientChunk += w_->Read("block.out");
      }
      ASSERT_EQ(clientChunk.size(), total);
      for (size_t flip : {size_t(0), size_t(5), clientHead.size() + 3}) {
        std::string copy = clientChunk;
        if (flip) copy[flip] ^= 0x01;
        size_t bodyEnd = 0;
        StatusCode sc = policy->OpenAsymmetric(reinterpret_cast<uint8_t*>(copy.data()), copy.size(),
                                               clientHead.size(), bodyEnd);
        if (flip == 0) {
          ASSERT_EQ(sc, status::Good);
          EXPECT_EQ(bodyEnd, clientHead.size() + seqBody.size());
          EXPECT_EQ(copy.substr(clientHead.size(), seqBody.size()), seqBody);
        } else {
          EXPECT_EQ(sc, status::BadSecurityChecksFailed) << "byte " << flip;
        }
      }

      // The session signature over certificate and nonce, checked by OpenSSL.
      std::string signature;
      ASSERT_TRUE(policy->SignLocal("certificate+nonce", signature));
      w_->Write("signed", "certificate+nonce");
      w_->Write("sig", signature);
      EXPECT_TRUE(w_->Openssl(std::string("dgst -sha256 -verify ") + p.serverName + ".pub.pem" + SignOpts(alg) +
                              " -signature sig signed"));
    }
  }
}

// A client certificate that is not one, a key outside the policy's sizes or a
// thumbprint of another certificate end the channel before any decryption.
TEST_F(SecurityPolicies, SenderCertificateAndThumbprintAreChecked) {
  uaclib::LocalIdentity server = Identity("small");
  auto fresh = [&] { return uaclib::MakeSecurityPolicy(uaclib::kBasic256Sha256Uri, &server); };
  std::string client = w_->Read("large.der");
  EXPECT_EQ(fresh()->SetRemote("not a certificate", server.thumbprint), status::BadCertificateInvalid);
  EXPECT_EQ(fresh()->SetRemote(client.substr(0, client.size() - 1), server.thumbprint), status::BadCertificateInvalid);
  EXPECT_EQ(fresh()->SetRemote(client, uaclib::Sha1(client)), status::BadCertificateInvalid);
  auto p = fresh();
  EXPECT_EQ(p->SetRemote(client, server.thumbprint), status::Good);
  // A renewal from another certificate is not the same client.
  EXPECT_EQ(p->SetRemote(w_->Read("small.der"), server.thumbprint), status::BadSecurityChecksFailed);
  EXPECT_EQ(p->NewToken(std::string(16, 'x'), kServerNonce), status::BadNonceInvalid);
  EXPECT_FALSE(p->SetMode(SecurityMode::None));
  EXPECT_EQ(uaclib::MakeSecurityPolicy("http://opcfoundation.org/UA/SecurityPolicy#Basic128Rsa15", &server), nullptr);
  EXPECT_EQ(uaclib::MakeSecurityPolicy(uaclib::kBasic256Sha256Uri, nullptr), nullptr);
}

}  // namespace
