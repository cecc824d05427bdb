// Writes the seed corpus of fuzz_ua_messages: whole client conversations as the fuzz
// target's fresh server expects them (channel 1, token 1, counter nonces), each also as
// the records of a secured conversation ("secure_<name>").
//   uaclib_make_corpus <folder>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "tests/unit/uaclib/ua_secure_client.h"
#include "tests/unit/uaclib/ua_test_client.h"
#include "uaclib/crypto.h"
#include "uaclib/security_policy.h"

namespace {

using uaclib::Encoder;
using uaclib::NodeId;
using uatest::Bytes;
using uatest::Channel;
namespace enc = uaclib::enc;

void Add(Bytes& out, const Bytes& b) { out.insert(out.end(), b.begin(), b.end()); }

// Secured conversations: the channel's server nonce takes the first counter nonce, so
// the session's authentication token is the third instead of the second; the client
// states the fuzz client certificate and signs with its key. `g_config` is the fuzz
// target's config byte of the conversation being written.
bool g_secure = false;
uint8_t g_config = 0;

// ClientSignature over the server certificate and the session's server nonce (the
// fourth counter nonce).
Encoder SignedActivateSessionBody() {
  std::string nonce(32, '\0');
  nonce[0] = 4;
  uaclib::RsaKey key;
  if (!key.LoadPrivate(fuzzkeys::kClientKey, sizeof fuzzkeys::kClientKey)) std::abort();
  const uaclib::PolicyAlgorithms& alg = *uaclib::FindPolicyAlgorithms(uaclib::kSecurePolicyUris[g_config % 3]);
  std::string signature;
  if (!key.Sign(alg.asymSign, uatest::ServerCertificate() + nonce, signature)) std::abort();
  return uatest::SecureActivateSessionBody(alg.asymSignUri, signature);
}

// Hello, OpenSecureChannel, CreateSession and ActivateSession.
Channel Login(Bytes& out) {
  Channel ch;
  Add(out, uatest::Hello());
  Add(out, uatest::Open(ch));
  ch.id = 1;
  ch.token = 1;
  Add(out, uatest::Message(ch, enc::CreateSessionRequest,
                           g_secure ? uatest::SecureCreateSessionBody(std::string(32, 'n'), uatest::ClientCertificate())
                                    : uatest::CreateSessionBody()));
  // The second counter nonce is the authentication token (after the session id).
  ch.authToken.ns = 1;
  ch.authToken.kind = uaclib::IdKind::Guid;
  ch.authToken.text = std::string(16, '\0');
  ch.authToken.text[0] = g_secure ? 3 : 2;
  Add(out, uatest::Message(ch, enc::ActivateSessionRequest,
                           g_secure ? SignedActivateSessionBody() : uatest::ActivateSessionBody(0)));
  return ch;
}

// The fuzz target's secured input for a plain conversation: "SEC" | config | one record
// (control, length, body from the type id) per MSG or CLO chunk; Hello and
// OpenSecureChannel are the target's, a renewal becomes the next record's renew bit.
Bytes Secured(const Bytes& plain, uint8_t config) {
  Bytes out = {'S', 'E', 'C', config};
  uint8_t renew = 0;
  bool opened = false;  // the first OpenSecureChannel is the target's own
  for (size_t at = 0; at + 8 <= plain.size();) {
    uint32_t size;
    std::memcpy(&size, plain.data() + at + 4, 4);
    const uint8_t* c = plain.data() + at;
    if (std::memcmp(c, "OPN", 3) == 0) {
      if (opened) renew = 0x20;
      opened = true;
    }
    if ((std::memcmp(c, "MSG", 3) == 0 || std::memcmp(c, "CLO", 3) == 0) && size >= 24) {
      uint8_t control = c[0] == 'C' ? 3 : c[3] == 'C' ? 1 : c[3] == 'A' ? 2 : 0;
      out.push_back(uint8_t(control | renew));
      renew = 0;
      size_t n = size - 24;
      out.push_back(uint8_t(n & 0xFF));
      out.push_back(uint8_t(n >> 8));
      out.insert(out.end(), c + 24, c + size);
    }
    at += size;
  }
  return out;
}

void Write(const std::string& dir, const char* name, uint8_t piece, const Bytes& body) {
  if (g_secure && piece != 0) return;  // secured records always arrive whole
  Bytes content = body;
  if (g_secure) {
    content = Secured(body, g_config);
  } else {
    content.insert(content.begin(), piece);
  }
  std::ofstream f(dir + "/" + (g_secure ? "secure_" : "") + name, std::ios::binary);
  f.write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));
}

Encoder Ids(std::initializer_list<uint32_t> ids, uint32_t first = 0, bool withFirst = false) {
  Encoder e;
  if (withFirst) e.U32(first);
  e.ArrayLength(ids.size());
  for (uint32_t id : ids) e.U32(id);
  return e;
}

void WriteAll(const std::string& dir) {

  {  // discovery without a session
    g_config = 0;  // Aes128_Sha256_RsaOaep, Sign
    Bytes b;
    Channel ch;
    Add(b, uatest::Hello());
    Add(b, uatest::Open(ch));
    ch.id = 1;
    ch.token = 1;
    Encoder ge;
    ge.String("opc.tcp://fuzz:4840");
    ge.EmptyArray();
    ge.EmptyArray();
    Add(b, uatest::Message(ch, enc::GetEndpointsRequest, ge));
    Add(b, uatest::Message(ch, enc::FindServersRequest, ge));
    Add(b, uatest::Open(ch, 1));
    ch.token = 2;
    Add(b, uatest::Message(ch, enc::CloseSecureChannelRequest, Encoder(), 0, "CLO"));
    Write(dir, "discovery", 0, b);
  }
  {  // view and attribute services
    g_config = 5;  // Aes256_Sha256_RsaPss, SignAndEncrypt
    Bytes b;
    Channel ch = Login(b);
    Add(b, uatest::Message(ch, enc::BrowseRequest, uatest::BrowseBody(NodeId::Numeric(0, 84))));
    Add(b, uatest::Message(ch, enc::BrowseRequest, uatest::BrowseBody(NodeId::Numeric(1, 1), 1)));
    Encoder next;
    next.Bool(false);
    next.ArrayLength(1);
    next.ByteString(std::string("\x01\0\0\0\0\0\0\0", 8));
    Add(b, uatest::Message(ch, enc::BrowseNextRequest, next));
    Add(b, uatest::Message(ch, enc::ReadRequest,
                           uatest::ReadBody({{NodeId::String(1, "P.A")},
                                             {NodeId::String(1, "P.B"), uaclib::attr::DataType},
                                             {NodeId::Numeric(0, 2256)},
                                             {NodeId::Numeric(0, 2255)}})));
    Encoder w;
    w.ArrayLength(2);
    for (const char* n : {"P.A", "P.C"}) {
      w.NodeId(NodeId::String(1, n));
      w.U32(uaclib::attr::Value);
      w.NullString();
      uaclib::DataValue dv;
      dv.hasValue = true;
      dv.value = uaclib::Variant::Double(2.5);
      w.DataValue(dv);
    }
    Add(b, uatest::Message(ch, enc::WriteRequest, w));
    Encoder tp;
    tp.ArrayLength(1);
    tp.NumericNodeId(85);
    tp.ArrayLength(2);
    tp.NumericNodeId(33);
    tp.Bool(false);
    tp.Bool(true);
    tp.QualifiedName(1, "P");
    tp.NumericNodeId(33);
    tp.Bool(false);
    tp.Bool(true);
    tp.QualifiedName(1, "A");
    Add(b, uatest::Message(ch, enc::TranslateBrowsePathsRequest, tp));
    Encoder reg;
    reg.ArrayLength(1);
    reg.NodeId(NodeId::String(1, "P.A"));
    Add(b, uatest::Message(ch, enc::RegisterNodesRequest, reg));
    Add(b, uatest::Message(ch, enc::UnregisterNodesRequest, reg));
    Encoder close;
    close.Bool(true);
    Add(b, uatest::Message(ch, enc::CloseSessionRequest, close));
    Write(dir, "view_attribute", 0, b);
    Write(dir, "view_attribute_torn", 13, b);
  }
  {  // subscriptions
    g_config = 4;  // Basic256Sha256, SignAndEncrypt
    Bytes b;
    Channel ch = Login(b);
    Encoder cs;
    cs.F64(10);
    cs.U32(30);
    cs.U32(3);
    cs.U32(0);
    cs.Bool(true);
    cs.U8(0);
    Add(b, uatest::Message(ch, enc::CreateSubscriptionRequest, cs));
    Encoder mi;
    mi.U32(1);
    mi.U32(2);
    mi.ArrayLength(2);
    for (const char* n : {"P.A", "P.B"}) {
      mi.NodeId(NodeId::String(1, n));
      mi.U32(uaclib::attr::Value);
      mi.NullString();
      mi.QualifiedName(0, {});
      mi.U32(2);
      mi.U32(7);
      mi.F64(0);
      size_t at = mi.BeginExtensionObject(enc::DataChangeFilter);
      mi.U32(1);
      mi.U32(1);
      mi.F64(0.5);
      mi.EndExtensionObject(at);
      mi.U32(5);
      mi.Bool(true);
    }
    Add(b, uatest::Message(ch, enc::CreateMonitoredItemsRequest, mi));
    Encoder pub;
    pub.EmptyArray();
    Add(b, uatest::Message(ch, enc::PublishRequest, pub));
    Encoder ack;
    ack.ArrayLength(1);
    ack.U32(1);
    ack.U32(1);
    Add(b, uatest::Message(ch, enc::PublishRequest, ack));
    Encoder mm;
    mm.U32(1);
    mm.U32(0);
    mm.ArrayLength(1);
    mm.U32(1);
    mm.U32(8);
    mm.F64(50);
    mm.NullExtensionObject();
    mm.U32(2);
    mm.Bool(false);
    Add(b, uatest::Message(ch, enc::ModifyMonitoredItemsRequest, mm));
    Encoder sm;
    sm.U32(1);
    sm.U32(1);
    sm.ArrayLength(1);
    sm.U32(2);
    Add(b, uatest::Message(ch, enc::SetMonitoringModeRequest, sm));
    Encoder rp;
    rp.U32(1);
    rp.U32(1);
    Add(b, uatest::Message(ch, enc::RepublishRequest, rp));
    Add(b, uatest::Message(ch, enc::DeleteMonitoredItemsRequest, Ids({1}, 1, true)));
    Encoder spm;
    spm.Bool(false);
    spm.ArrayLength(1);
    spm.U32(1);
    Add(b, uatest::Message(ch, enc::SetPublishingModeRequest, spm));
    Encoder ms;
    ms.U32(1);
    ms.F64(20);
    ms.U32(30);
    ms.U32(3);
    ms.U32(10);
    ms.U8(1);
    Add(b, uatest::Message(ch, enc::ModifySubscriptionRequest, ms));
    Add(b, uatest::Message(ch, enc::DeleteSubscriptionsRequest, Ids({1})));
    Write(dir, "subscription", 0, b);
  }
  {  // a request in two chunks, then an abandoned one
    g_config = 1;  // Basic256Sha256, Sign
    Bytes b;
    Channel ch = Login(b);
    Bytes whole = uatest::Message(ch, enc::ReadRequest, uatest::ReadBody({{NodeId::String(1, "P.A")}}));
    // Split the body after the sequence header: C chunk with the first half, F with the rest.
    size_t header = 24;
    size_t half = header + (whole.size() - header) / 2;
    auto part = [&](char type, size_t from, size_t to, uint32_t seq) {
      Encoder e;
      e.U32(ch.id);
      e.U32(ch.token);
      e.U32(seq);
      e.U32(ch.requestId - 1);
      e.Bytes(whole.data() + from, to - from);
      return uatest::Chunk("MSG", type, e);
    };
    uint32_t seq = ch.seq - 1;
    Add(b, part('C', header, half, seq));
    Add(b, part('F', half, whole.size(), seq + 1));
    Add(b, part('A', header, half, seq + 2));
    Write(dir, "chunks", 0, b);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: uaclib_make_corpus <folder>\n");
    return 2;
  }
  for (bool secure : {false, true}) {
    g_secure = secure;
    WriteAll(argv[1]);
  }
  return 0;
}
