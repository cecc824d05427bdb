// The client end of a secured channel on a server's local connection, for the unit tests
// and the fuzz target: Hello, OpenSecureChannel (issue and renew) and MSG/CLO chunks
// signed and encrypted with the fixed test keys. It uses the library's own policy in the
// client's role: its local identity is the client, and NewToken takes the nonces swapped
// (the client's sending keys are the server's receiving ones).
#ifndef TESTS_UNIT_UACLIB_UA_SECURE_CLIENT_H
#define TESTS_UNIT_UACLIB_UA_SECURE_CLIENT_H

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/unit/uaclib/test_keys.h"
#include "uaclib/node_ids.h"
#include "uaclib/secure_channel.h"
#include "uaclib/security_policy.h"

namespace uatest {

inline std::string KeyBytes(const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }
inline std::string ServerCertificate() {
  return KeyBytes(fuzzkeys::kServerCertificate, sizeof fuzzkeys::kServerCertificate);
}
inline std::string ServerKey() { return KeyBytes(fuzzkeys::kServerKey, sizeof fuzzkeys::kServerKey); }
inline std::string ClientCertificate() {
  return KeyBytes(fuzzkeys::kClientCertificate, sizeof fuzzkeys::kClientCertificate);
}

// CreateSession of a client with the test client certificate (ApplicationUri
// urn:fuzz:client) and `nonce`; `certificate` replaces the certificate it states.
inline uaclib::Encoder SecureCreateSessionBody(std::string_view nonce, std::string_view certificate) {
  uaclib::Encoder e;
  e.String("urn:fuzz:client");
  e.String("urn:test");
  e.LocalizedText("", "secure test client");
  e.U32(1);
  e.NullString();
  e.NullString();
  e.EmptyArray();
  e.NullString();  // server URI
  e.String("opc.tcp://test:4840");
  e.String("secure session");
  e.ByteString(nonce);
  e.ByteString(certificate);
  e.F64(60000);
  e.U32(0);
  return e;
}

// ActivateSession with an anonymous token and the client's signature.
inline uaclib::Encoder SecureActivateSessionBody(std::string_view algorithm, std::string_view signature) {
  uaclib::Encoder e;
  e.String(algorithm);
  e.ByteString(signature);
  e.EmptyArray();
  e.EmptyArray();
  size_t at = e.BeginExtensionObject(uaclib::enc::AnonymousIdentityToken);
  e.String("anonymous");
  e.EndExtensionObject(at);
  e.NullString();
  e.NullString();
  return e;
}

class SecureClient {
 public:
  // Control bits of Send: bits 0-1 the chunk (0 MSG F, 1 MSG C, 2 MSG A, 3 CLO F).
  static constexpr uint8_t kFlipByte = 0x04;      // one byte of the sealed chunk flipped
  static constexpr uint8_t kRepeatSeq = 0x08;     // the last sequence number again
  static constexpr uint8_t kUnknownToken = 0x10;  // a token the server never issued
  static constexpr uint8_t kRenewFirst = 0x20;    // renew the channel before the chunk

  SecureClient(uaclib::Connection& c, std::string_view uri, uaclib::SecurityMode mode) : c_(c), mode_(mode) {
    id_.certificate = ClientCertificate();
    id_.thumbprint = uaclib::Sha1(id_.certificate);
    ok_ = id_.key.LoadPrivate(fuzzkeys::kClientKey, sizeof fuzzkeys::kClientKey);
    policy_ = uaclib::MakeSecurityPolicy(uri, &id_);
    ok_ = ok_ && policy_ && policy_->SetRemote(ServerCertificate(), id_.thumbprint) == uaclib::status::Good &&
          policy_->SetMode(mode);
  }
  // The keys loaded and the policy made.
  bool Ready() const { return ok_; }
  const uaclib::SecurityPolicy& Policy() const { return *policy_; }

  bool Connect() {
    uaclib::Encoder hel;
    hel.Bytes("HELF", 4);
    hel.U32(0);
    for (uint32_t v : {0u, 65535u, 65535u, 0u, 0u}) hel.U32(v);
    hel.String("opc.tcp://test:4840");
    hel.PatchU32(4, uint32_t(hel.Size()));
    c_.Feed(hel.Data(), hel.Size());
    return Open(0);
  }

  // OpenSecureChannel issue (0) or renew (1); false when no response opened.
  bool Open(uint32_t requestType) {
    std::string nonce(32, char(0x40 + tokenId_));
    uaclib::Encoder e;
    e.Bytes("OPNF", 4);
    e.U32(0);
    e.U32(channelId_);
    e.String(policy_->Uri());
    e.ByteString(id_.certificate);
    e.ByteString(uaclib::Sha1(ServerCertificate()));
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
    if (!policy_->SealAsymmetric(chunk, 0, bodyStart)) return false;
    size_t from = c_.OutSize();
    c_.Feed(chunk.data(), chunk.size());
    return ReadOpen(from, nonce);
  }

  // Sends one chunk with `payload` after its sequence header. `answers` gets the plain
  // bodies (from the type id) of the MSG chunks the server answered with; false when
  // one of them does not open with the server's keys.
  bool Send(uint8_t control, const uint8_t* payload, size_t n, std::vector<std::string>* answers = nullptr) {
    if ((control & kRenewFirst) && !Open(1)) return true;
    static const char kTypes[] = "FCAF";
    // Message header, channel id, token id, sequence number, request id, payload.
    std::vector<uint8_t> out(24 + n);
    std::memcpy(out.data(), (control & 3) == 3 ? "CLO" : "MSG", 3);
    out[3] = uint8_t(kTypes[control & 3]);
    uint32_t seq = (control & kRepeatSeq) ? seq_ : ++seq_;
    if (!continued_) ++requestId_;
    continued_ = (control & 3) == 1;
    uint32_t fields[4] = {channelId_, tokenId_ + ((control & kUnknownToken) ? 1u : 0u), seq, requestId_};
    std::memcpy(out.data() + 8, fields, sizeof fields);
    if (n) std::memcpy(out.data() + 24, payload, n);
    policy_->SealSymmetric(out, 0, 16, false);
    if (control & kFlipByte) out[8 + (n + control) % (out.size() - 8)] ^= 0x01;
    size_t from = c_.OutSize();
    c_.Feed(out.data(), out.size());
    return ReadAnswers(from, answers);
  }
  bool Send(uint8_t control, const uaclib::Encoder& payload, std::vector<std::string>* answers = nullptr) {
    return Send(control, payload.Data(), payload.Size(), answers);
  }

  // The status of the Error message the server sent, 0 when none.
  uint32_t ErrorStatus() const {
    const uint8_t* p = c_.OutData();
    for (size_t at = 0; at + 12 <= c_.OutSize();) {
      uint32_t size, code;
      std::memcpy(&size, p + at + 4, 4);
      if (size < 8) break;
      if (std::memcmp(p + at, "ERR", 3) == 0) {
        std::memcpy(&code, p + at + 8, 4);
        return code;
      }
      at += size;
    }
    return 0;
  }

 private:
  // The OpenSecureChannel response after output offset `from`: its keys become the
  // channel's.
  bool ReadOpen(size_t from, const std::string& clientNonce) {
    std::vector<uint8_t> out(c_.OutData(), c_.OutData() + c_.OutSize());
    for (size_t at = from; at + 8 <= out.size();) {
      uint32_t size;
      std::memcpy(&size, out.data() + at + 4, 4);
      if (size < 8 || size > out.size() - at) return false;
      if (std::memcmp(out.data() + at, "OPNF", 4) == 0) {
        uaclib::Decoder d(out.data() + at + 8, size - 8);
        uint32_t channel = d.U32();
        d.String();
        d.ByteString();
        d.ByteString();
        size_t bodyStart = size_t(d.Pos() - (out.data() + at));
        size_t bodyEnd = 0;
        if (!d.ok() || policy_->OpenAsymmetric(out.data() + at, size, bodyStart, bodyEnd) != uaclib::status::Good)
          return false;
        uaclib::Decoder r(out.data() + at + bodyStart, bodyEnd - bodyStart);
        r.U32();  // sequence header
        r.U32();
        r.NodeId();
        r.Time();  // response header
        r.U32();
        r.U32();
        r.U8();
        r.ArrayLength(0);
        r.ExtensionObject();
        r.U32();  // protocol version
        r.U32();  // channel id
        uint32_t token = r.U32();
        r.Time();
        r.U32();
        std::string_view serverNonce = r.ByteString();
        if (!r.ok()) return false;
        channelId_ = channel;
        tokenId_ = token;
        return policy_->NewToken(serverNonce, clientNonce) == uaclib::status::Good;
      }
      at += size;
    }
    return false;
  }

  bool ReadAnswers(size_t from, std::vector<std::string>* answers) {
    std::vector<uint8_t> out(c_.OutData() + from, c_.OutData() + c_.OutSize());
    for (size_t at = 0; at + 8 <= out.size();) {
      uint32_t size, token;
      std::memcpy(&size, out.data() + at + 4, 4);
      if (size < 8 || size > out.size() - at) return false;
      if (std::memcmp(out.data() + at, "MSG", 3) == 0) {
        std::memcpy(&token, out.data() + at + 12, 4);
        size_t bodyEnd = 0;
        if (policy_->OpenSymmetric(out.data() + at, size, 16, bodyEnd, token != tokenId_) != uaclib::status::Good)
          return false;
        if (answers) answers->emplace_back(reinterpret_cast<const char*>(out.data() + at + 24), bodyEnd - 24);
      }
      at += size;
    }
    return true;
  }

  uaclib::Connection& c_;
  uaclib::SecurityMode mode_;
  uaclib::LocalIdentity id_;
  std::unique_ptr<uaclib::SecurityPolicy> policy_;
  bool ok_ = false;
  uint32_t channelId_ = 0, tokenId_ = 0, seq_ = 0, requestId_ = 0;
  bool continued_ = false;
};

}  // namespace uatest
#endif
