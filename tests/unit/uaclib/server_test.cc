// The server through its C API, with an in-process client over a real 127.0.0.1
// socket: handshake, sessions, Browse, Read, Write, subscriptions, user names, and bad
// input that must close only the connection that sent it.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/unit/uaclib/ua_test_client.h"
#include "uaclib/encoding.h"
#include "uaclib/node_ids.h"
#include "uaclib/status_codes.h"
#include "uaclib/uaclib.h"

namespace {

using uaclib::Decoder;
using uaclib::Encoder;
using uaclib::NodeId;
using uatest::Channel;
using uatest::Response;
using uatest::SocketClient;
namespace enc = uaclib::enc;
namespace attr = uaclib::attr;

constexpr uint32_t kBadFromDevice = 0x80050000u;

struct Written {
  void* context;
  double value;
};
// The write callback has no user pointer; the fixture owns this list.
std::vector<Written>* g_writes = nullptr;
void OnWrite(void*, void* context, double* value) { g_writes->push_back({context, *value}); }

NodeId Var(const char* name) { return NodeId::String(1, name); }

// A server on an ephemeral port with folders P (1) and P.F (2) and four variables.
class UaServer : public ::testing::Test {
 protected:
  void SetUp() override { g_writes = &writes_; }
  void TearDown() override {
    clients_.clear();
    if (h_) uasDelServer(h_);
    g_writes = nullptr;
  }

  void Start(const char* user = nullptr, const char* pass = nullptr, const std::string& key = {}) {
    TuasServerConfig cfg{};
    cfg.applicationUri = "urn:test:server";
    cfg.productName = "TestServer";
    cfg.manufacturerName = "Test";
    cfg.softwareVersion = "1.2.3.4";
    cfg.buildNumber = "1.2.3.4";
    cfg.buildDate = 45261.5;
    cfg.userName = user;
    cfg.password = pass;
    if (!key.empty()) {
      cfg.certificateFlag = 1;
      cfg.privateKey = reinterpret_cast<const uint8_t*>(key.data());
      cfg.privateKeyLength = int32_t(key.size());
    }
    h_ = uasNewServer(0, &cfg, &OnWrite);
    ASSERT_NE(h_, nullptr);
    folders_[0] = TuasFolder{"P", 1, 0, 0, 0};
    folders_[1] = TuasFolder{"F", 2, 1, 0, 0};
    const struct { const char* full; const char* name; int32_t folder; int32_t type; char access; } vars[] = {
        {"P.Run", "Run", 1, UAS_TYPE_BOOL, 'W'},
        {"P.Count", "Count", 1, UAS_TYPE_INT32, 'W'},
        {"P.Temp", "Temp", 1, UAS_TYPE_DOUBLE, 'R'},
        {"P.F.Label", "Label", 2, UAS_TYPE_STRING, 'R'},
    };
    for (size_t i = 0; i < 4; ++i)
      defs_[i] = TuasVarDef{vars[i].full, vars[i].name, vars[i].full, &contexts_[i], vars[i].folder,
                            vars[i].type, vars[i].access, 0};
    TuasVarDef* defPtrs[4] = {&defs_[0], &defs_[1], &defs_[2], &defs_[3]};
    TuasFolder* folderPtrs[2] = {&folders_[0], &folders_[1]};
    ASSERT_EQ(uasAddNameSpace(h_, defPtrs, 4, folderPtrs, 2), 0u);
    for (size_t i = 0; i < 4; ++i) ASSERT_EQ(defs_[i].node, i + 1);
    ASSERT_EQ(uasRunStart(h_), 0u) << uasGetErrorInfo(h_);
    port_ = uasGetPort(h_);
    ASSERT_GT(port_, 0);
  }

  void Set(size_t var, double value, uint32_t status = 0) {
    values_[var] = value;
    TuasUpdateItem item{defs_[var].node, &values_[var], status, 0};
    TuasUpdateItem* p = &item;
    ASSERT_EQ(uasUpdateVar(h_, &p, 1), 0u);
  }

  SocketClient& NewClient() {
    clients_.push_back(std::make_unique<SocketClient>(h_, port_));
    EXPECT_TRUE(clients_.back()->Connected());
    return *clients_.back();
  }
  // A connected client with an activated anonymous session.
  SocketClient& LoggedIn(Channel& ch) {
    SocketClient& c = NewClient();
    EXPECT_TRUE(c.Handshake(ch));
    EXPECT_TRUE(c.Login(ch));
    return c;
  }

  TuasRunStats Stats() {
    TuasRunStats s{};
    EXPECT_EQ(uasRunIntv(h_, &s, int(sizeof s)), 0u);
    return s;
  }

  std::vector<uaclib::DataValueView> ReadValues(SocketClient& c, Channel& ch,
                                                const std::vector<uatest::ReadItem>& items,
                                                Response& keep) {
    keep = c.Call(ch, enc::ReadRequest, uatest::ReadBody(items));
    EXPECT_EQ(keep.typeId, enc::ReadResponse);
    Decoder d = keep.Body();
    int32_t n = d.ArrayLength(1);
    std::vector<uaclib::DataValueView> out;
    for (int32_t i = 0; i < n; ++i) out.push_back(d.DataValue());
    EXPECT_TRUE(d.ok());
    return out;
  }

  uasHandle h_ = nullptr;
  int port_ = 0;
  TuasFolder folders_[2];
  TuasVarDef defs_[4];
  int contexts_[4] = {};
  double values_[4] = {};
  std::vector<Written> writes_;
  std::vector<std::unique_ptr<SocketClient>> clients_;
};

struct BrowseRef {
  uint32_t refType;
  std::string name;
  uint32_t nodeClass;
};

// Reads one BrowseResult; returns its continuation point.
std::string ReadBrowseResult(Decoder& d, std::vector<BrowseRef>& refs, uint32_t* status = nullptr) {
  uint32_t sc = d.U32();
  if (status) *status = sc;
  std::string cp(d.ByteString());
  int32_t n = d.ArrayLength(1);
  for (int32_t i = 0; i < n; ++i) {
    BrowseRef r;
    r.refType = d.NodeId().num;
    d.Bool();
    d.ExpandedNodeId();
    r.name = std::string(d.QualifiedName().name);
    d.LocalizedText(nullptr, nullptr);
    r.nodeClass = d.U32();
    d.ExpandedNodeId();
    refs.push_back(r);
  }
  return cp;
}

TEST_F(UaServer, HandshakeNegotiatesBuffersAndOpensASession) {
  Start();
  SocketClient& c = NewClient();
  c.Send(uatest::Hello(/*recvBuf=*/8192, /*sendBuf=*/16384));
  Response ack = c.NextMessage();
  ASSERT_EQ(ack.messageType, "ACK");
  Decoder d(ack.body.data(), ack.body.size());
  EXPECT_EQ(d.U32(), 0u);      // protocol version
  EXPECT_EQ(d.U32(), 16384u);  // server receives what the client sends at most
  EXPECT_EQ(d.U32(), 8192u);   // server sends what the client can receive
  EXPECT_GT(d.U32(), 0u);
  EXPECT_GT(d.U32(), 0u);

  Channel ch;
  c.Send(uatest::Open(ch));
  Response opn = c.NextMessage();
  ASSERT_EQ(opn.typeId, enc::OpenSecureChannelResponse);
  Decoder o = opn.Body();
  o.U32();
  ch.id = o.U32();
  ch.token = o.U32();
  EXPECT_NE(ch.id, 0u);

  // Renewing gives a new token on the same channel.
  c.Send(uatest::Open(ch, /*requestType=*/1));
  Response renew = c.NextMessage();
  ASSERT_EQ(renew.typeId, enc::OpenSecureChannelResponse);
  Decoder r = renew.Body();
  r.U32();
  EXPECT_EQ(r.U32(), ch.id);
  uint32_t token = r.U32();
  EXPECT_EQ(token, ch.token + 1);
  ch.token = token;

  ASSERT_TRUE(c.Login(ch));
  TuasRunStats s = Stats();
  EXPECT_EQ(s.clients, 1);
  EXPECT_EQ(s.sessions, 1);

  // Services that need an activated session refuse a session of another token.
  Channel other = ch;
  other.authToken = NodeId::Numeric(0, 1);
  Response refused = c.Call(other, enc::ReadRequest, uatest::ReadBody({{Var("P.Temp")}}));
  EXPECT_EQ(refused.typeId, enc::ServiceFault);
  EXPECT_EQ(refused.serviceResult, uaclib::status::BadSessionIdInvalid);
  ch.seq = other.seq;
  ch.requestId = other.requestId;

  // An unknown service gets a ServiceFault and the channel stays usable.
  Response unknown = c.Call(ch, enc::ReadRequest + 1000, Encoder());
  EXPECT_EQ(unknown.serviceResult, uaclib::status::BadServiceUnsupported);
  Response read = c.Call(ch, enc::ReadRequest, uatest::ReadBody({{Var("P.Temp")}}));
  EXPECT_EQ(read.typeId, enc::ReadResponse);
}

TEST_F(UaServer, BrowseFollowsContinuationPoints) {
  Start();
  Channel ch;
  SocketClient& c = LoggedIn(ch);
  Response objects = c.Call(ch, enc::BrowseRequest, uatest::BrowseBody(NodeId::Numeric(0, 85)));
  ASSERT_EQ(objects.typeId, enc::BrowseResponse);
  Decoder d = objects.Body();
  ASSERT_EQ(d.ArrayLength(1), 1);
  std::vector<BrowseRef> refs;
  EXPECT_TRUE(ReadBrowseResult(d, refs).empty());
  std::vector<std::string> names;
  for (auto& r : refs) names.push_back(r.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Server", "P"}));

  // One reference per answer: the folder P needs continuation points for the rest.
  Response first = c.Call(ch, enc::BrowseRequest, uatest::BrowseBody(NodeId::Numeric(1, 1), 1));
  Decoder f = first.Body();
  f.ArrayLength(1);
  refs.clear();
  std::string cp = ReadBrowseResult(f, refs);
  int rounds = 0;
  while (!cp.empty() && ++rounds < 10) {
    Encoder next;
    next.Bool(false);
    next.ArrayLength(1);
    next.ByteString(cp);
    Response r = c.Call(ch, enc::BrowseNextRequest, next);
    ASSERT_EQ(r.typeId, enc::BrowseNextResponse);
    Decoder nd = r.Body();
    ASSERT_EQ(nd.ArrayLength(1), 1);
    cp = ReadBrowseResult(nd, refs);
  }
  names.clear();
  for (auto& r : refs) names.push_back(r.name);
  EXPECT_EQ(names, (std::vector<std::string>{"F", "Run", "Count", "Temp"}));
  EXPECT_EQ(refs[0].nodeClass, 1u);  // Object
  EXPECT_EQ(refs[1].nodeClass, 2u);  // Variable

  // A used continuation point is gone.
  Encoder again;
  again.Bool(false);
  again.ArrayLength(1);
  again.ByteString(std::string(8, '\x01'));
  Response stale = c.Call(ch, enc::BrowseNextRequest, again);
  Decoder sd = stale.Body();
  sd.ArrayLength(1);
  uint32_t sc = 0;
  refs.clear();
  ReadBrowseResult(sd, refs, &sc);
  EXPECT_EQ(sc, uaclib::status::BadContinuationPointInvalid);
}

TEST_F(UaServer, ReadGivesValuesStatusesAndAttributes) {
  Start();
  Set(0, 1, kBadFromDevice);
  Set(1, 41.6);
  Set(2, 21.5);
  Set(3, 7);
  Channel ch;
  SocketClient& c = LoggedIn(ch);
  Response keep;
  auto v = ReadValues(c, ch,
                      {{Var("P.Run")}, {Var("P.Count")}, {Var("P.Temp")}, {Var("P.F.Label")},
                       {Var("P.Temp"), attr::NodeClass}, {Var("P.Count"), attr::DataType},
                       {Var("P.Run"), attr::AccessLevel}, {Var("P.Temp"), attr::AccessLevel},
                       {Var("P.Temp"), attr::BrowseName}, {Var("P.Temp"), attr::EventNotifier},
                       {Var("No.Such"), attr::Value}, {NodeId::Numeric(0, 2258)},
                       {NodeId::Numeric(0, 11705)}},
                      keep);
  ASSERT_EQ(v.size(), 13u);
  // A Bad status carries no value.
  EXPECT_FALSE(v[0].hasValue);
  EXPECT_EQ(v[0].status, kBadFromDevice);
  EXPECT_EQ(v[1].value.type, uaclib::kInt32);
  EXPECT_EQ(v[1].value.i, 42);  // the double rounded to the node's type
  EXPECT_EQ(v[2].value.type, uaclib::kDouble);
  EXPECT_EQ(v[2].value.d, 21.5);
  EXPECT_TRUE(v[2].hasSourceTime && v[2].hasServerTime);
  EXPECT_EQ(v[3].value.type, uaclib::kString);
  EXPECT_EQ(v[3].value.s, "7");
  EXPECT_EQ(v[4].value.i, 2);  // NodeClass Variable
  EXPECT_EQ(v[5].value.type, uaclib::kNodeId);
  EXPECT_EQ(v[6].value.u, 3u);  // CurrentRead | CurrentWrite
  EXPECT_EQ(v[7].value.u, 1u);
  EXPECT_EQ(v[8].value.type, uaclib::kQualifiedName);
  EXPECT_EQ(v[9].status, uaclib::status::BadAttributeIdInvalid);
  EXPECT_EQ(v[10].status, uaclib::status::BadNodeIdUnknown);
  EXPECT_EQ(v[11].value.type, uaclib::kDateTime);
  EXPECT_EQ(v[12].value.u, 20000u);  // MaxNodesPerRead shows the real limit
}

TEST_F(UaServer, LargeResponsesAreSentInChunksOfTheClientsSize) {
  Start();
  Set(2, 3.25);
  SocketClient& c = NewClient();
  Channel ch;
  ASSERT_TRUE(c.Handshake(ch, /*recvBuf=*/8192));
  ASSERT_TRUE(c.Login(ch));
  std::vector<uatest::ReadItem> items(1500, uatest::ReadItem{Var("P.Temp")});
  Response keep;
  auto v = ReadValues(c, ch, items, keep);
  ASSERT_EQ(v.size(), 1500u);
  EXPECT_EQ(v[1499].value.d, 3.25);
}

TEST_F(UaServer, WriteCallsTheCallbackWithADouble) {
  Start();
  Channel ch;
  SocketClient& c = LoggedIn(ch);
  struct Case {
    const char* node;
    uint8_t type;
    double value;
    uint32_t expected;
  };
  const Case cases[] = {
      {"P.Count", uaclib::kInt16, -3, 0},
      {"P.Count", uaclib::kDouble, 9, 0},
      {"P.Run", uaclib::kBoolean, 1, 0},
      {"P.Run", uaclib::kByte, 5, 0},  // a Boolean node gets 1 for non-zero
      {"P.Temp", uaclib::kDouble, 1, uaclib::status::BadNotWritable},
      {"P.Count", uaclib::kString, 0, uaclib::status::BadTypeMismatch},
      {"No.Such", uaclib::kDouble, 1, uaclib::status::BadNodeIdUnknown},
  };
  Encoder body;
  body.ArrayLength(std::size(cases));
  for (const Case& k : cases) {
    body.NodeId(Var(k.node));
    body.U32(attr::Value);
    body.NullString();
    uaclib::DataValue dv;
    dv.hasValue = true;
    dv.value.type = k.type;
    if (k.type == uaclib::kDouble) dv.value.d = k.value;
    else if (k.type == uaclib::kString) dv.value.s = "x";
    else dv.value.i = int64_t(k.value);
    body.DataValue(dv);
  }
  Response r = c.Call(ch, enc::WriteRequest, body);
  ASSERT_EQ(r.typeId, enc::WriteResponse);
  Decoder d = r.Body();
  ASSERT_EQ(d.ArrayLength(4), int32_t(std::size(cases)));
  for (const Case& k : cases) EXPECT_EQ(d.U32(), k.expected) << k.node;
  ASSERT_EQ(writes_.size(), 4u);
  EXPECT_EQ(writes_[0].context, &contexts_[1]);
  EXPECT_EQ(writes_[0].value, -3);
  EXPECT_EQ(writes_[1].value, 9);
  EXPECT_EQ(writes_[2].context, &contexts_[0]);
  EXPECT_EQ(writes_[2].value, 1);
  EXPECT_EQ(writes_[3].value, 1);
}

TEST_F(UaServer, SubscriptionDeliversEveryChangeInOrder) {
  Start();
  Set(2, 0);
  Channel ch;
  SocketClient& c = LoggedIn(ch);
  Encoder sub;
  sub.F64(10);
  sub.U32(1000);
  sub.U32(10);
  sub.U32(0);
  sub.Bool(true);
  sub.U8(0);
  Response cs = c.Call(ch, enc::CreateSubscriptionRequest, sub);
  ASSERT_EQ(cs.typeId, enc::CreateSubscriptionResponse);
  uint32_t subId = cs.Body().U32();

  Encoder items;
  items.U32(subId);
  items.U32(2);  // both time stamps
  items.ArrayLength(1);
  items.NodeId(Var("P.Temp"));
  items.U32(attr::Value);
  items.NullString();
  items.QualifiedName(0, {});
  items.U32(2);    // reporting
  items.U32(77);   // client handle
  items.F64(0);    // every change
  items.NullExtensionObject();
  items.U32(10);   // queue size
  items.Bool(true);
  Response cm = c.Call(ch, enc::CreateMonitoredItemsRequest, items);
  ASSERT_EQ(cm.typeId, enc::CreateMonitoredItemsResponse);
  Decoder md = cm.Body();
  ASSERT_EQ(md.ArrayLength(1), 1);
  EXPECT_EQ(md.U32(), 0u);

  for (double x : {1.0, 2.0, 3.0}) Set(2, x);
  std::vector<double> seen;
  uint32_t lastSeq = 0;
  for (int round = 0; round < 10 && seen.size() < 4; ++round) {
    Encoder pub;
    if (lastSeq) {
      pub.ArrayLength(1);
      pub.U32(subId);
      pub.U32(lastSeq);
    } else {
      pub.EmptyArray();
    }
    Response p = c.Call(ch, enc::PublishRequest, pub);
    ASSERT_EQ(p.typeId, enc::PublishResponse);
    Decoder d = p.Body();
    EXPECT_EQ(d.U32(), subId);
    int32_t avail = d.ArrayLength(4);
    for (int32_t i = 0; i < avail; ++i) d.U32();
    d.Bool();
    lastSeq = d.U32();
    d.Time();
    int32_t notes = d.ArrayLength(3);
    for (int32_t i = 0; i < notes; ++i) {
      uaclib::ExtensionObjectView x = d.ExtensionObject();
      ASSERT_TRUE(x.typeId.IsNs0(enc::DataChangeNotification));
      Decoder b(reinterpret_cast<const uint8_t*>(x.body.data()), x.body.size());
      int32_t n = b.ArrayLength(5);
      for (int32_t k = 0; k < n; ++k) {
        EXPECT_EQ(b.U32(), 77u);
        seen.push_back(b.DataValue().value.d);
      }
    }
  }
  EXPECT_EQ(seen, (std::vector<double>{0, 1, 2, 3}));
  TuasRunStats s = Stats();
  EXPECT_EQ(s.subscriptions, 1);
  EXPECT_EQ(s.monitoredItems, 1);
}

TEST_F(UaServer, MalformedInputClosesOnlyThatConnection) {
  Start();
  Set(2, 5);
  Channel good;
  SocketClient& keeper = LoggedIn(good);

  struct Case {
    const char* what;
    std::function<uatest::Bytes(Channel&)> input;  // after Hello, or after a login
    bool open;
    uint32_t error;
  };
  const Case cases[] = {
      {"not OPC UA at all", [](Channel&) { std::string s = "GET / HTTP/1.1\r\n\r\n"; return uatest::Bytes(s.begin(), s.end()); },
       false, uaclib::status::BadTcpMessageTooLarge},
      {"MSG before a channel", [](Channel& ch) { return uatest::Message(ch, enc::ReadRequest, Encoder()); },
       false, uaclib::status::BadTcpSecureChannelUnknown},
      {"garbage request body",
       [](Channel& ch) {
         Encoder e;
         e.U32(ch.id);
         e.U32(ch.token);
         e.U32(ch.seq++);
         e.U32(ch.requestId++);
         e.Bytes("\x01\x00\x77\x02\xFF\xFF", 6);
         return uatest::Chunk("MSG", 'F', e);
       },
       true, uaclib::status::BadDecodingError},
      {"Read whose array outruns the message",
       [](Channel& ch) {
         Encoder body;
         body.F64(0);
         body.U32(0);
         body.I32(100000);
         return uatest::Message(ch, enc::ReadRequest, body);
       },
       true, uaclib::status::BadDecodingError},
      {"sequence number jumps",
       [](Channel& ch) {
         ch.seq += 5;
         return uatest::Message(ch, enc::ReadRequest, uatest::ReadBody({{Var("P.Temp")}}));
       },
       true, uaclib::status::BadSequenceNumberInvalid},
      {"unknown security token",
       [](Channel& ch) {
         ch.token += 7;
         return uatest::Message(ch, enc::ReadRequest, uatest::ReadBody({{Var("P.Temp")}}));
       },
       true, uaclib::status::BadSecureChannelTokenUnknown},
  };
  for (const Case& k : cases) {
    SocketClient& bad = NewClient();
    Channel ch;
    if (k.open) {
      ASSERT_TRUE(bad.Handshake(ch)) << k.what;
      ASSERT_TRUE(bad.Login(ch)) << k.what;
    } else {
      bad.Send(uatest::Hello());
      ASSERT_EQ(bad.NextMessage().messageType, "ACK") << k.what;
    }
    bad.Send(k.input(ch));
    Response r = bad.NextMessage();
    EXPECT_EQ(r.messageType, "ERR") << k.what;
    EXPECT_EQ(r.errorCode, k.error) << k.what;
    EXPECT_TRUE(bad.PeerClosed()) << k.what;
    // The other client is served as before.
    Response keep;
    auto v = ReadValues(keeper, good, {{Var("P.Temp")}}, keep);
    ASSERT_EQ(v.size(), 1u) << k.what;
    EXPECT_EQ(v[0].value.d, 5) << k.what;
  }
  // A message too large for the limits.
  SocketClient& big = NewClient();
  Channel ch;
  ASSERT_TRUE(big.Handshake(ch));
  Encoder huge;
  huge.Bytes(std::string(70000, 'x').data(), 70000);
  big.Send(uatest::Message(ch, enc::ReadRequest, huge));
  EXPECT_EQ(big.NextMessage().errorCode, uaclib::status::BadTcpMessageTooLarge);
  EXPECT_TRUE(big.PeerClosed());
  EXPECT_TRUE(keeper.PumpUntil([&] { return Stats().clients == 1; }));
}

// RSA key pair for the encrypted password case.
struct KeyPair {
  EVP_PKEY* key = nullptr;
  std::string der;
  KeyPair() {
    key = EVP_RSA_gen(2048);
    unsigned char* out = nullptr;
    int n = i2d_PrivateKey(key, &out);
    der.assign(reinterpret_cast<char*>(out), size_t(n));
    OPENSSL_free(out);
  }
  ~KeyPair() { EVP_PKEY_free(key); }
  // OPC UA Part 4 secret layout: length | password | nonce, RSA-OAEP with SHA-1.
  std::string Encrypt(const std::string& password, const std::string& nonce) const {
    std::string plain(4, '\0');
    uint32_t len = uint32_t(password.size() + nonce.size());
    std::memcpy(plain.data(), &len, 4);
    plain += password + nonce;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    EVP_PKEY_encrypt_init(ctx);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING);
    size_t n = 0;
    EVP_PKEY_encrypt(ctx, nullptr, &n, reinterpret_cast<const unsigned char*>(plain.data()), plain.size());
    std::string cipher(n, '\0');
    EVP_PKEY_encrypt(ctx, reinterpret_cast<unsigned char*>(cipher.data()), &n,
                     reinterpret_cast<const unsigned char*>(plain.data()), plain.size());
    EVP_PKEY_CTX_free(ctx);
    cipher.resize(n);
    return cipher;
  }
};

TEST_F(UaServer, UserNameIsRequiredWhenConfigured) {
  KeyPair keys;
  Start("operator", "s3cret", keys.der);
  const std::string oaep = "http://www.w3.org/2001/04/xmlenc#rsa-oaep";
  struct Case {
    const char* what;
    int identity;
    std::string user, password;
    bool encrypt;
    bool wrongNonce;
    uint32_t expected;
  };
  const Case cases[] = {
      {"anonymous token", 0, "", "", false, false, uaclib::status::BadIdentityTokenInvalid},
      {"no token", -1, "", "", false, false, uaclib::status::BadIdentityTokenInvalid},
      {"wrong password", 1, "operator", "guess", false, false, uaclib::status::BadUserAccessDenied},
      {"wrong user", 1, "admin", "s3cret", false, false, uaclib::status::BadUserAccessDenied},
      {"password in clear", 1, "operator", "s3cret", false, false, 0},
      {"password encrypted", 1, "operator", "s3cret", true, false, 0},
      {"encrypted wrong password", 1, "operator", "s3cre", true, false, uaclib::status::BadUserAccessDenied},
      {"encrypted with a stale nonce", 1, "operator", "s3cret", true, true, uaclib::status::BadUserAccessDenied},
  };
  for (const Case& k : cases) {
    SocketClient& c = NewClient();
    Channel ch;
    ASSERT_TRUE(c.Handshake(ch)) << k.what;
    std::string nonce;
    ASSERT_TRUE(c.CreateSession(ch, &nonce)) << k.what;
    std::string secret = k.password;
    if (k.encrypt) secret = keys.Encrypt(k.password, k.wrongNonce ? std::string(32, 'z') : nonce);
    EXPECT_EQ(c.Activate(ch, k.identity, k.user, secret, k.encrypt ? oaep : std::string()), k.expected)
        << k.what;
  }
}

// A server without a key (none configured, or a build without RSA) offers no encryption:
// a password in clear is judged, an encrypted one is a token that does not fit, not a
// wrong password.
TEST_F(UaServer, WithoutAKeyAnEncryptedPasswordIsAnInvalidToken) {
  KeyPair clientSide;
  Start("operator", "s3cret");
  const struct {
    const char* what;
    std::string password;
    bool encrypt;
    uint32_t expected;
  } cases[] = {
      {"password in clear", "s3cret", false, 0},
      {"wrong password in clear", "guess", false, uaclib::status::BadUserAccessDenied},
      {"password encrypted", "s3cret", true, uaclib::status::BadIdentityTokenInvalid},
  };
  for (const auto& k : cases) {
    SocketClient& c = NewClient();
    Channel ch;
    ASSERT_TRUE(c.Handshake(ch)) << k.what;
    std::string nonce;
    ASSERT_TRUE(c.CreateSession(ch, &nonce)) << k.what;
    std::string secret = k.encrypt ? clientSide.Encrypt(k.password, nonce) : k.password;
    EXPECT_EQ(c.Activate(ch, 1, "operator", secret, k.encrypt ? "http://www.w3.org/2001/04/xmlenc#rsa-oaep" : ""),
              k.expected)
        << k.what;
  }
}

TEST_F(UaServer, SessionOfAVanishedClientTimesOut) {
  Start();
  {
    SocketClient& c = NewClient();
    Channel ch;
    ASSERT_TRUE(c.Handshake(ch));
    Response r = c.Call(ch, enc::CreateSessionRequest, uatest::CreateSessionBody(/*timeoutMs=*/1000));
    ASSERT_EQ(r.typeId, enc::CreateSessionResponse);
    Decoder d = r.Body();
    d.NodeId();
    ch.authToken = NodeId(d.NodeId());
    EXPECT_EQ(d.F64(), 1000);
    ASSERT_EQ(c.Activate(ch, 0), 0u);
    c.Disconnect();
  }
  EXPECT_TRUE(clients_.back()->PumpUntil([&] { return Stats().clients == 0; }));
  EXPECT_EQ(Stats().sessions, 1);  // the session outlives its connection for its time-out
  EXPECT_TRUE(clients_.back()->PumpUntil([&] { return Stats().sessions == 0; }));
}

}  // namespace

namespace {

TEST_F(UaServer, TextVariablesShowTheDoubleWithoutExponent) {
  Start();
  Channel ch;
  SocketClient& c = LoggedIn(ch);
  const struct { double value; const char* text; } cases[] = {
      {7, "7"}, {4000000000.0, "4000000000"}, {-0.25, "-0.25"}, {1e-9, "1e-09"}, {0.1, "0.1"}};
  for (const auto& k : cases) {
    Set(3, k.value);
    Response keep;
    auto v = ReadValues(c, ch, {{Var("P.F.Label")}}, keep);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].value.s, k.text) << k.value;
  }
}

TEST_F(UaServer, CApiRefusesMisuseWithAStatusAndAText) {
  Start();
  EXPECT_EQ(uasRunStart(nullptr), uaclib::status::BadInvalidArgument);
  EXPECT_STRNE(uasGetErrorInfo(nullptr), "");
  EXPECT_EQ(uasAddNameSpace(h_, nullptr, 0, nullptr, 0), uaclib::status::BadInvalidState);
  EXPECT_EQ(uasRunStart(h_), uaclib::status::BadInvalidState);

  // The port is taken: the second server cannot start and says why.
  uasHandle second = uasNewServer(port_, nullptr, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(uaclib::IsBad(uasRunStart(second)));
  EXPECT_NE(std::string(uasGetErrorInfo(second)).find("bind"), std::string::npos);
  uasDelServer(second);

  // Unknown node handles are reported; the valid items of the call still count.
  double x = 4;
  TuasUpdateItem good{defs_[2].node, &x, 0, 0}, bad{99, &x, 0, 0};
  TuasUpdateItem* items[] = {&bad, &good, nullptr};
  EXPECT_EQ(uasUpdateVar(h_, items, 3), uaclib::status::BadNodeIdUnknown);
  EXPECT_NE(std::string(uasGetErrorInfo(h_)).find("99"), std::string::npos);

  // A short statistics record gets only the fields that fit.
  int32_t small[2] = {-1, -1};
  EXPECT_EQ(uasRunIntv(h_, reinterpret_cast<TuasRunStats*>(small), 4), 0u);
  EXPECT_EQ(small[0], 0);
  EXPECT_EQ(small[1], -1);
}

}  // namespace

namespace {

// GetEndpoints answers with the URL the client asked for, and with the token policies
// that fit the configuration.
TEST_F(UaServer, EndpointsFollowTheClientsUrlAndTheUserConfiguration) {
  KeyPair keys;
  Start("operator", "pw", keys.der);
  // Without a certificate the password cannot be encrypted: only the plain policy.
  Channel ch;
  SocketClient& c = NewClient();
  ASSERT_TRUE(c.Handshake(ch));
  Encoder ge;
  ge.String("opc.tcp://plant-gw.local:14840");
  ge.EmptyArray();
  ge.EmptyArray();
  Response r = c.Call(ch, enc::GetEndpointsRequest, ge);
  ASSERT_EQ(r.typeId, enc::GetEndpointsResponse);
  Decoder d = r.Body();
  ASSERT_EQ(d.ArrayLength(1), 1);
  EXPECT_EQ(d.String(), "opc.tcp://plant-gw.local:14840");
  d.String();  // application URI
  d.String();
  d.LocalizedText(nullptr, nullptr);
  d.U32();
  d.String();
  d.String();
  ASSERT_EQ(d.ArrayLength(4), 1);
  EXPECT_EQ(d.String(), "opc.tcp://plant-gw.local:14840");
  d.ByteString();                 // server certificate
  EXPECT_EQ(d.U32(), 1u);         // security mode None
  EXPECT_EQ(d.String(), uatest::kNone);
  ASSERT_EQ(d.ArrayLength(4), 1);
  EXPECT_EQ(d.String(), "username");
  EXPECT_EQ(d.U32(), 1u);  // UserName
  EXPECT_TRUE(d.ok());
}

TEST_F(UaServer, TranslateBrowsePathsResolvesNamesStepByStep) {
  Start();
  Channel ch;
  SocketClient& c = LoggedIn(ch);
  auto translate = [&](std::vector<std::pair<uint16_t, std::string>> names, uint32_t& status) {
    Encoder e;
    e.ArrayLength(1);
    e.NumericNodeId(uaclib::ns0::ObjectsFolder);
    e.ArrayLength(names.size());
    for (auto& [ns, name] : names) {
      e.NumericNodeId(uaclib::ns0::HierarchicalReferences);
      e.Bool(false);
      e.Bool(true);
      e.QualifiedName(ns, name);
    }
    Response r = c.Call(ch, enc::TranslateBrowsePathsRequest, e);
    Decoder d = r.Body();
    EXPECT_EQ(d.ArrayLength(1), 1);
    status = d.U32();
    std::vector<std::string> targets;
    int32_t n = d.ArrayLength(1);
    for (int32_t i = 0; i < n; ++i) {
      targets.emplace_back(d.ExpandedNodeId().text);
      EXPECT_EQ(d.U32(), 0xFFFFFFFFu);
    }
    return targets;
  };
  uint32_t sc = 1;
  EXPECT_EQ(translate({{1, "P"}, {1, "F"}, {1, "Label"}}, sc), std::vector<std::string>{"P.F.Label"});
  EXPECT_EQ(sc, 0u);
  EXPECT_TRUE(translate({{1, "P"}, {0, "Temp"}}, sc).empty());  // wrong namespace
  EXPECT_EQ(sc, uaclib::status::BadNoMatch);
  translate({{1, "P"}, {1, ""}}, sc);
  EXPECT_EQ(sc, uaclib::status::BadBrowseNameInvalid);
}

}  // namespace
