// The bytes one client sends on a connection, through chunk assembly, the secure
// channel and every service decoder, on a fresh server without a socket. Whatever comes
// in, the server never crashes and its output is a sequence of whole chunks.
//
// Plain input: the first byte chooses how the rest is split into reads (0: one read),
// so chunks also arrive torn.
//
// Secured input: "SEC" | Config Byte | records. The target is the client: with fixed
// test keys it says Hello and opens a channel with the policy (Config % 3) in Sign or,
// with Config bit 2, SignAndEncrypt; then each record becomes one chunk it signs (and
// encrypts) with the channel's keys:
//   Control Byte | Length UInt16 | payload (the message body from its type id)
// Control bits 0-1 the chunk: 0 MSG F, 1 MSG C, 2 MSG A, 3 CLO F; bit 2 flips one byte
// of the sealed chunk; bit 3 repeats the last sequence number; bit 4 names an unknown
// token; bit 5 renews the channel first. Every MSG chunk the server answers with must
// open with the server keys the client derived.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/fuzz/uaclib/test_keys.h"
#include "uaclib/node_ids.h"
#include "uaclib/security_policy.h"
#include "uaclib/server.h"

namespace {

void OnWrite(void*, void*, double*) {}

std::string Str(const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

void CheckChunks(const uint8_t* p, size_t n) {
  while (n > 0) {
    if (n < 8) std::abort();
    uint32_t size;
    std::memcpy(&size, p + 4, 4);
    if (size < 8 || size > n) std::abort();
    p += size;
    n -= size;
  }
}

struct Fixture {
  uaclib::Server server;
  Fixture(bool keys) : server(0, Config(keys), &OnWrite) {
    server.UseCounterNonces();
    TuasFolder folder{"P", 1, 0, 0, 0};
    TuasFolder* folders[] = {&folder};
    TuasVarDef defs[] = {
        {"P.A", "A", "P_A", nullptr, 1, UAS_TYPE_DOUBLE, 'W', 0},
        {"P.B", "B", "P_B", nullptr, 1, UAS_TYPE_INT32, 'R', 0},
        {"P.C", "C", "P_C", nullptr, 1, UAS_TYPE_STRING, 'W', 0},
    };
    TuasVarDef* defPtrs[] = {&defs[0], &defs[1], &defs[2]};
    if (server.AddNamespace(defPtrs, 3, folders, 1) != 0) std::abort();
  }
  static uaclib::ServerConfig Config(bool keys) {
    uaclib::ServerConfig cfg;
    cfg.info.applicationUri = "urn:fuzz";
    if (keys) {
      cfg.certificate = Str(fuzzkeys::kServerCertificate, sizeof fuzzkeys::kServerCertificate);
      cfg.privateKey = Str(fuzzkeys::kServerKey, sizeof fuzzkeys::kServerKey);
    }
    return cfg;
  }
  double value = 1;
  // One run step's timer work with a value change, as the gateway makes them.
  void Step() {
    TuasUpdateItem item{1, &value, 0, 0};
    TuasUpdateItem* items[] = {&item};
    if (server.Update(items, 1) != 0) std::abort();
    value += 1;
    server.RunTimers();
  }
};

void RunPlain(const uint8_t* data, size_t size) {
  Fixture f(false);
  uaclib::Connection* c = f.server.OpenLocalConnection();
  size_t piece = data[0] ? data[0] : size;
  ++data;
  --size;
  for (size_t at = 0; at < size && !c->Closing(); at += piece) {
    c->Feed(data + at, piece < size - at ? piece : size - at);
    f.Step();
  }
  CheckChunks(c->OutData(), c->OutSize());
  f.server.CloseLocalConnection(c);
}

// The client end of a secured channel, with the library's own policy in the client's
// role: its "local" identity is the client, and NewToken takes the nonces swapped.
class SecureClient {
 public:
  SecureClient(uaclib::Connection& c, std::string_view uri, uaclib::SecurityMode mode) : c_(c), mode_(mode) {
    id_.certificate = Str(fuzzkeys::kClientCertificate, sizeof fuzzkeys::kClientCertificate);
    id_.thumbprint = uaclib::Sha1(id_.certificate);
    if (!id_.key.LoadPrivate(fuzzkeys::kClientKey, sizeof fuzzkeys::kClientKey)) std::abort();
    serverCert_ = Str(fuzzkeys::kServerCertificate, sizeof fuzzkeys::kServerCertificate);
    policy_ = uaclib::MakeSecurityPolicy(uri, &id_);
    if (!policy_ || policy_->SetRemote(serverCert_, id_.thumbprint) != uaclib::status::Good ||
        !policy_->SetMode(mode))
      std::abort();
  }

  bool Connect() {
    uaclib::Encoder hel;
    hel.Bytes("HELF", 4);
    hel.U32(0);
    for (uint32_t v : {0u, 65535u, 65535u, 0u, 0u}) hel.U32(v);
    hel.String("opc.tcp://fuzz:4840");
    hel.PatchU32(4, uint32_t(hel.Size()));
    Feed(hel.Data(), hel.Size());
    return Open(0);
  }

  // OpenSecureChannel issue (0) or renew (1); false when the server refused it.
  bool Open(uint32_t requestType) {
    std::string nonce(32, char(0x40 + tokenId_));
    uaclib::Encoder e;
    e.Bytes("OPNF", 4);
    e.U32(0);
    e.U32(channelId_);
    e.String(policy_->Uri());
    e.ByteString(id_.certificate);
    e.ByteString(uaclib::Sha1(serverCert_));
    size_t bodyStart = e.Size();
    e.U32(++seq_);
    e.U32(++requestId_);
    e.NumericNodeId(uaclib::enc::OpenSecureChannelRequest);
    e.NodeId(uaclib::NodeId());
    e.Time(0);
    e.U32(requestId_);
    e.U32(0);
    e.NullString();
    e.U32(0);
    e.NullExtensionObject();
    e.U32(0);  // protocol version
    e.U32(requestType);
    e.U32(uint32_t(mode_));
    e.ByteString(nonce);
    e.U32(600000);
    std::vector<uint8_t> chunk(e.Data(), e.Data() + e.Size());
    if (!policy_->SealAsymmetric(chunk, 0, bodyStart)) std::abort();
    size_t from = c_.OutSize();
    Feed(chunk.data(), chunk.size());
    return ReadOpen(from, nonce);
  }

  void Send(uint8_t control, const uint8_t* payload, size_t n) {
    if (control & 0x20) {
      if (!Open(1)) return;
    }
    static const char kTypes[] = "FCAF";
    // Message header, channel id, token id, sequence number, request id, payload.
    std::vector<uint8_t> out(24 + n);
    std::memcpy(out.data(), (control & 3) == 3 ? "CLO" : "MSG", 3);
    out[3] = uint8_t(kTypes[control & 3]);
    uint32_t seq = (control & 8) ? seq_ : ++seq_;
    if (!continued_) ++requestId_;
    continued_ = (control & 3) == 1;
    uint32_t fields[4] = {channelId_, tokenId_ + ((control & 0x10) ? 1u : 0u), seq, requestId_};
    std::memcpy(out.data() + 8, fields, sizeof fields);
    if (n) std::memcpy(out.data() + 24, payload, n);
    policy_->SealSymmetric(out, 0, 16, false);
    if (control & 4) out[8 + (n + control) % (out.size() - 8)] ^= 0x01;
    size_t from = c_.OutSize();
    Feed(out.data(), out.size());
    CheckAnswers(from);
  }

 private:
  void Feed(const uint8_t* p, size_t n) { c_.Feed(p, n); }

  // The OpenSecureChannel response after output offset `from`: its keys become the
  // channel's.
  bool ReadOpen(size_t from, const std::string& clientNonce) {
    std::vector<uint8_t> out(c_.OutData(), c_.OutData() + c_.OutSize());
    for (size_t at = from; at + 8 <= out.size();) {
      uint32_t size;
      std::memcpy(&size, out.data() + at + 4, 4);
      if (size < 8 || size > out.size() - at) std::abort();
      if (std::memcmp(out.data() + at, "OPNF", 4) == 0) {
        uaclib::Decoder d(out.data() + at + 8, size - 8);
        uint32_t channel = d.U32();
        d.String();
        d.ByteString();
        d.ByteString();
        size_t bodyStart = size_t(d.Pos() - (out.data() + at));
        size_t bodyEnd = 0;
        if (!d.ok() || policy_->OpenAsymmetric(out.data() + at, size, bodyStart, bodyEnd) != uaclib::status::Good)
          std::abort();  // the server's own response must open
        uaclib::Decoder r(out.data() + at + bodyStart, bodyEnd - bodyStart);
        r.U32();
        r.U32();
        r.NodeId();
        r.Time();
        r.U32();
        r.U32();
        r.U8();
        r.ArrayLength(0);
        r.ExtensionObject();
        r.U32();
        r.U32();
        uint32_t token = r.U32();
        r.Time();
        r.U32();
        std::string_view serverNonce = r.ByteString();
        if (!r.ok()) std::abort();
        channelId_ = channel;
        tokenId_ = token;
        if (policy_->NewToken(serverNonce, clientNonce) != uaclib::status::Good) std::abort();
        return true;
      }
      at += size;
    }
    return false;
  }

  // Every MSG chunk the server sent after `from` is whole and opens with its keys.
  void CheckAnswers(size_t from) {
    std::vector<uint8_t> out(c_.OutData() + from, c_.OutData() + c_.OutSize());
    CheckChunks(out.data(), out.size());
    for (size_t at = 0; at < out.size();) {
      uint32_t size, token;
      std::memcpy(&size, out.data() + at + 4, 4);
      if (std::memcmp(out.data() + at, "MSG", 3) == 0) {
        std::memcpy(&token, out.data() + at + 12, 4);
        size_t bodyEnd = 0;
        if (policy_->OpenSymmetric(out.data() + at, size, 16, bodyEnd, token != tokenId_) != uaclib::status::Good)
          std::abort();
      }
      at += size;
    }
  }

  uaclib::Connection& c_;
  uaclib::SecurityMode mode_;
  uaclib::LocalIdentity id_;
  std::string serverCert_;
  std::unique_ptr<uaclib::SecurityPolicy> policy_;
  uint32_t channelId_ = 0, tokenId_ = 0, seq_ = 0, requestId_ = 0;
  bool continued_ = false;
};

void RunSecured(const uint8_t* data, size_t size) {
  if (size < 1) return;
  uint8_t config = data[0];
  ++data;
  --size;
  Fixture f(true);
  uaclib::Connection* c = f.server.OpenLocalConnection();
  {
    SecureClient client(*c, uaclib::kSecurePolicyUris[config % 3],
                        config & 4 ? uaclib::SecurityMode::SignAndEncrypt : uaclib::SecurityMode::Sign);
    if (!client.Connect()) std::abort();  // a correct handshake must succeed
    while (size >= 3 && !c->Closing()) {
      uint8_t control = data[0];
      size_t n = data[1] | size_t(data[2]) << 8;
      data += 3;
      size -= 3;
      if (n > size) n = size;
      client.Send(control, data, n);
      data += n;
      size -= n;
      f.Step();
    }
  }
  CheckChunks(c->OutData(), c->OutSize());
  f.server.CloseLocalConnection(c);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (size >= 3 && std::memcmp(data, "SEC", 3) == 0)
    RunSecured(data + 3, size - 3);
  else
    RunPlain(data, size);
  return 0;
}
