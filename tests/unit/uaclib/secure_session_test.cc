// Secured channels and sessions on a server's local connections, with the fixed test
// keys: the certificate verifier's two questions and their refusals, the application
// signatures of CreateSession and ActivateSession, chunks that are tampered with,
// replayed or name an unknown token (each ends only its own channel), and a server that
// offers no None endpoint.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/unit/uaclib/ua_secure_client.h"
#include "tests/unit/uaclib/ua_test_client.h"
#include "uaclib/server.h"

namespace {

using uaclib::Decoder;
using uaclib::Encoder;
using uaclib::SecurityMode;
using uatest::SecureClient;
namespace enc = uaclib::enc;
namespace status = uaclib::status;

constexpr uint32_t kBadCertificateUntrusted = 0x801A0000u;
constexpr uint32_t kBadCertificateUriInvalid = 0x80170000u;
constexpr std::string_view kClientUri = "urn:fuzz:client";

// Answers the verifier's questions as told and records what it was asked.
class ScriptedVerifier final : public uaclib::CertificateVerifier {
 public:
  uaclib::StatusCode channel = status::Good, uri = status::Good;
  std::string seenCertificate, seenUri;
  uaclib::StatusCode VerifyChannelCertificate(std::span<const uint8_t> der) override {
    seenCertificate.assign(der.begin(), der.end());
    return channel;
  }
  uaclib::StatusCode VerifyApplicationUri(std::span<const uint8_t>, std::string_view applicationUri) override {
    seenUri = applicationUri;
    return uri;
  }
};

struct ServiceAnswer {
  uint32_t typeId = 0;
  uint32_t result = 0xFFFFFFFFu;
  std::string body;  // after the response header
};

ServiceAnswer ParseAnswer(const std::string& plain) {
  ServiceAnswer a;
  Decoder d(reinterpret_cast<const uint8_t*>(plain.data()), plain.size());
  a.typeId = d.NodeId().num;
  d.Time();
  d.U32();
  a.result = d.U32();
  d.U8();
  d.ArrayLength(0);
  d.ExtensionObject();
  if (d.ok()) a.body.assign(reinterpret_cast<const char*>(d.Pos()), d.Remaining());
  return a;
}

// The payload of a request chunk after its sequence header.
Encoder Request(uint32_t typeId, const uaclib::NodeId& authToken, const Encoder& body) {
  Encoder e;
  e.NumericNodeId(typeId);
  uatest::RequestHeader(e, authToken, 1);
  e.Bytes(body.Data(), body.Size());
  return e;
}

// What CreateSessionResponse tells the client: the token, the server nonce, and the
// server's signature (algorithm and bytes).
struct Created {
  uaclib::NodeId authToken;
  std::string serverNonce, serverCertificate, algorithm, signature;
  int endpoints = 0;
};

Created ParseCreated(const std::string& body) {
  Created c;
  Decoder d(reinterpret_cast<const uint8_t*>(body.data()), body.size());
  d.NodeId();
  c.authToken = uaclib::NodeId(d.NodeId());
  d.F64();
  c.serverNonce = d.ByteString();
  c.serverCertificate = d.ByteString();
  c.endpoints = d.ArrayLength(100);
  for (int i = 0; i < c.endpoints; ++i) {
    d.String();
    d.String();
    d.String();
    d.LocalizedText(nullptr, nullptr);
    d.U32();
    d.String();
    d.String();
    for (int k = d.ArrayLength(10); k > 0; --k) d.String();
    d.ByteString();
    d.U32();
    d.String();
    for (int k = d.ArrayLength(10); k > 0; --k) {
      d.String();
      d.U32();
      d.String();
      d.String();
      d.String();
    }
    d.String();
    d.U8();
  }
  d.ArrayLength(0);
  c.algorithm = d.String();
  c.signature = d.ByteString();
  d.U32();
  EXPECT_TRUE(d.ok());
  return c;
}

class SecureSessions : public ::testing::Test {
 protected:
  void Start(bool allowNone = true) {
    uaclib::ServerConfig cfg;
    cfg.info.applicationUri = "urn:test:server";
    cfg.certificate = uatest::ServerCertificate();
    cfg.privateKey = uatest::ServerKey();
    server_ = std::make_unique<uaclib::Server>(0, cfg, &uatest::NoWrite);
    ASSERT_EQ(server_->SetAllowNone(allowNone), status::Good);
    server_->SetCertificateVerifier(&verifier_);
    // Refused signatures count as failed logins; these tests make more than a few.
    server_->MutableLimits().activationFailBurst = 100;
  }
  void TearDown() override {
    for (auto* c : conns_) server_->CloseLocalConnection(c);
  }
  uaclib::Connection& NewConnection() {
    conns_.push_back(server_->OpenLocalConnection("10.0.0.1"));
    return *conns_.back();
  }
  ServiceAnswer Call(SecureClient& client, uint32_t typeId, const Encoder& body,
                     const uaclib::NodeId& authToken = uaclib::NodeId()) {
    std::vector<std::string> answers;
    EXPECT_TRUE(client.Send(0, Request(typeId, authToken, body), &answers));
    EXPECT_EQ(answers.size(), 1u);
    return answers.empty() ? ServiceAnswer{} : ParseAnswer(answers.back());
  }

  ScriptedVerifier verifier_;
  std::unique_ptr<uaclib::Server> server_;
  std::vector<uaclib::Connection*> conns_;
};

TEST_F(SecureSessions, VerifierDecidesOnTheChannelCertificateAndTheApplicationUri) {
  Start();
  {  // An untrusted certificate: the channel ends with the verifier's status.
    verifier_.channel = kBadCertificateUntrusted;
    uaclib::Connection& c = NewConnection();
    SecureClient client(c, uaclib::kBasic256Sha256Uri, SecurityMode::SignAndEncrypt);
    ASSERT_TRUE(client.Ready());
    EXPECT_FALSE(client.Connect());
    EXPECT_EQ(client.ErrorStatus(), kBadCertificateUntrusted);
    EXPECT_TRUE(c.Closing());
    EXPECT_EQ(verifier_.seenCertificate, uatest::ClientCertificate());
  }
  verifier_.channel = status::Good;
  uaclib::Connection& c = NewConnection();
  SecureClient client(c, uaclib::kBasic256Sha256Uri, SecurityMode::SignAndEncrypt);
  ASSERT_TRUE(client.Connect());
  const std::string nonce(32, 'n'), cert = uatest::ClientCertificate();
  struct Case {
    const char* what;
    std::string nonce, certificate;
    uaclib::StatusCode uri, expected;
  } cases[] = {
      {"ApplicationUri not in the certificate", nonce, cert, kBadCertificateUriInvalid, kBadCertificateUriInvalid},
      {"nonce too short", std::string(16, 'n'), cert, status::Good, status::BadNonceInvalid},
      {"another certificate than the channel's", nonce, uatest::ServerCertificate(), status::Good,
       status::BadCertificateInvalid},
  };
  for (const Case& k : cases) {
    verifier_.uri = k.uri;
    EXPECT_EQ(Call(client, enc::CreateSessionRequest, uatest::SecureCreateSessionBody(k.nonce, k.certificate)).result, k.expected)
        << k.what;
  }
  EXPECT_EQ(verifier_.seenUri, kClientUri);
  EXPECT_FALSE(c.Closing());  // refused sessions leave the channel open
}

TEST_F(SecureSessions, ApplicationSignaturesProveBothKeys) {
  Start();
  for (std::string_view uri : uaclib::kSecurePolicyUris) {
    SCOPED_TRACE(uri);
    uaclib::Connection& c = NewConnection();
    SecureClient client(c, uri, SecurityMode::Sign);
    ASSERT_TRUE(client.Connect());
    const std::string clientNonce(32, 'c');
    ServiceAnswer a = Call(client, enc::CreateSessionRequest, uatest::SecureCreateSessionBody(clientNonce, uatest::ClientCertificate()));
    ASSERT_EQ(a.result, status::Good);
    Created created = ParseCreated(a.body);
    EXPECT_EQ(created.endpoints, 7);  // None and three policies in two modes
    EXPECT_EQ(created.serverCertificate, uatest::ServerCertificate());
    // The server signed the client's certificate and nonce with its key.
    const uaclib::PolicyAlgorithms& alg = *client.Policy().Algorithms();
    EXPECT_EQ(created.algorithm, alg.asymSignUri);
    uaclib::RsaKey serverKey;
    ASSERT_TRUE(serverKey.LoadFromCertificate(uatest::ServerCertificate()));
    EXPECT_TRUE(serverKey.Verify(alg.asymSign, uatest::ClientCertificate() + clientNonce, created.signature));

    // The client signs the server's certificate and nonce; anything else is refused.
    std::string good, stale;
    ASSERT_TRUE(client.Policy().SignLocal(uatest::ServerCertificate() + created.serverNonce, good));
    ASSERT_TRUE(client.Policy().SignLocal(uatest::ServerCertificate() + std::string(32, 'x'), stale));
    std::string flipped = good;
    flipped[10] ^= 1;
    for (const std::string& bad : {stale, flipped, std::string()}) {
      EXPECT_EQ(Call(client, enc::ActivateSessionRequest, uatest::SecureActivateSessionBody(alg.asymSignUri, bad),
                     created.authToken).result,
                status::BadApplicationSignatureInvalid);
    }
    EXPECT_EQ(Call(client, enc::ActivateSessionRequest, uatest::SecureActivateSessionBody(alg.asymSignUri, good),
                   created.authToken).result,
              status::Good);
    EXPECT_TRUE(c.Activated());
  }
}

TEST_F(SecureSessions, TamperedReplayedOrUnknownTokenChunksEndOnlyTheirChannel) {
  Start();
  uaclib::Connection& keeper = NewConnection();
  SecureClient bystander(keeper, uaclib::kAes128Sha256RsaOaepUri, SecurityMode::SignAndEncrypt);
  ASSERT_TRUE(bystander.Connect());
  const Encoder endpoints = [] {
    Encoder e;
    e.String("opc.tcp://test:4840");
    e.EmptyArray();
    e.EmptyArray();
    return e;
  }();
  struct Case {
    uint8_t control;
    SecurityMode mode;
    uaclib::StatusCode expected;
  } cases[] = {
      {SecureClient::kFlipByte, SecurityMode::Sign, status::BadSecurityChecksFailed},
      {SecureClient::kFlipByte, SecurityMode::SignAndEncrypt, status::BadSecurityChecksFailed},
      {SecureClient::kRepeatSeq, SecurityMode::SignAndEncrypt, status::BadSequenceNumberInvalid},
      {SecureClient::kUnknownToken, SecurityMode::Sign, status::BadSecureChannelTokenUnknown},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(int(k.control));
    uaclib::Connection& c = NewConnection();
    SecureClient client(c, uaclib::kAes256Sha256RsaPssUri, k.mode);
    ASSERT_TRUE(client.Connect());
    EXPECT_EQ(Call(client, enc::GetEndpointsRequest, endpoints).result, status::Good);
    client.Send(k.control, Request(enc::GetEndpointsRequest, uaclib::NodeId(), endpoints));
    EXPECT_EQ(client.ErrorStatus(), k.expected);
    EXPECT_TRUE(c.Closing());
    EXPECT_EQ(Call(bystander, enc::GetEndpointsRequest, endpoints).result, status::Good);
    EXPECT_FALSE(keeper.Closing());
  }
  // A renewed channel goes on with the new keys.
  std::vector<std::string> answers;
  EXPECT_TRUE(bystander.Send(SecureClient::kRenewFirst, Request(enc::GetEndpointsRequest, uaclib::NodeId(), endpoints),
                             &answers));
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(ParseAnswer(answers[0]).result, status::Good);
}

// Without the None endpoint a None channel still answers GetEndpoints (clients look up
// the secure endpoints that way) but opens no session.
TEST_F(SecureSessions, WithoutNoneEndpointNoneChannelsServeDiscoveryOnly) {
  Start(false);
  uaclib::Connection& c = NewConnection();
  uatest::Channel ch;
  auto feed = [&](const uatest::Bytes& b) { c.Feed(b.data(), b.size()); };
  feed(uatest::Hello());
  feed(uatest::Open(ch));
  ch.id = 1;
  ch.token = 1;
  Encoder ge;
  ge.String("opc.tcp://test:4840");
  ge.EmptyArray();
  ge.EmptyArray();
  size_t before = c.OutSize();
  feed(uatest::Message(ch, enc::GetEndpointsRequest, ge));
  std::string out(reinterpret_cast<const char*>(c.OutData()) + before, c.OutSize() - before);
  ServiceAnswer a = ParseAnswer(out.substr(24));
  ASSERT_EQ(a.result, status::Good);
  Decoder d(reinterpret_cast<const uint8_t*>(a.body.data()), a.body.size());
  EXPECT_EQ(d.ArrayLength(100), 6);  // three policies, two modes, no None
  before = c.OutSize();
  feed(uatest::Message(ch, enc::CreateSessionRequest, uatest::CreateSessionBody()));
  out.assign(reinterpret_cast<const char*>(c.OutData()) + before, c.OutSize() - before);
  EXPECT_EQ(ParseAnswer(out.substr(24)).result, status::BadSecurityPolicyRejected);
  EXPECT_EQ(server_->SessionCount(), 0u);
}

}  // namespace
