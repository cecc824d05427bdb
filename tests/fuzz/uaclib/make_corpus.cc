// Writes the seed corpus of fuzz_ua_messages: whole client conversations as the fuzz
// target's fresh server expects them (channel 1, token 1, counter nonces).
//   uaclib_make_corpus <folder>
#include <cstdio>
#include <fstream>
#include <string>

#include "tests/unit/uaclib/ua_test_client.h"

namespace {

using uaclib::Encoder;
using uaclib::NodeId;
using uatest::Bytes;
using uatest::Channel;
namespace enc = uaclib::enc;

void Add(Bytes& out, const Bytes& b) { out.insert(out.end(), b.begin(), b.end()); }

// Hello, OpenSecureChannel, CreateSession and ActivateSession.
Channel Login(Bytes& out) {
  Channel ch;
  Add(out, uatest::Hello());
  Add(out, uatest::Open(ch));
  ch.id = 1;
  ch.token = 1;
  Add(out, uatest::Message(ch, enc::CreateSessionRequest, uatest::CreateSessionBody()));
  // The second counter nonce is the authentication token (after the session id).
  ch.authToken.ns = 1;
  ch.authToken.kind = uaclib::IdKind::Guid;
  ch.authToken.text = std::string(16, '\0');
  ch.authToken.text[0] = 2;
  Add(out, uatest::Message(ch, enc::ActivateSessionRequest, uatest::ActivateSessionBody(0)));
  return ch;
}

void Write(const std::string& dir, const char* name, uint8_t piece, const Bytes& body) {
  std::ofstream f(dir + "/" + name, std::ios::binary);
  f.put(char(piece));
  f.write(reinterpret_cast<const char*>(body.data()), std::streamsize(body.size()));
}

Encoder Ids(std::initializer_list<uint32_t> ids, uint32_t first = 0, bool withFirst = false) {
  Encoder e;
  if (withFirst) e.U32(first);
  e.ArrayLength(ids.size());
  for (uint32_t id : ids) e.U32(id);
  return e;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: uaclib_make_corpus <folder>\n");
    return 2;
  }
  std::string dir = argv[1];

  {  // discovery without a session
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
  return 0;
}
