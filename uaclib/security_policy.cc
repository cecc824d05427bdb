// SecurityPolicy None (chunks pass unchanged) and the RSA/AES policies.
//
// Secured chunk after the security header (OPC UA Part 6):
//   SequenceNumber | RequestId | body | [PaddingSize Byte | Padding[PaddingSize]
//   | ExtraPaddingSize Byte] | Signature
// Every padding byte and PaddingSize carry the low byte of the padding length;
// ExtraPaddingSize (its high byte) is there only when the encrypting key is longer
// than 2048 bits, which only RSA keys are. OpenSecureChannel chunks are signed with the
// sender's RSA key and RSA-OAEP encrypted for the receiver in Sign mode too; other
// chunks carry an HMAC-SHA256 and, in SignAndEncrypt, are AES-CBC encrypted. Padding
// exists only in encrypted chunks; the signature covers the chunk from its message
// header on, with the final MessageSize in place.
#include "uaclib/security_policy.h"

#include <cstring>

namespace uaclib {

namespace {

constexpr size_t kMacSize = 32;   // HMAC-SHA256
constexpr size_t kAesBlock = 16;
// Encrypted blocks an OpenSecureChannel request may take: its body, padding and a
// 4096-bit signature fit six blocks of a 2048-bit key.
constexpr size_t kMaxAsymmetricBlocks = 8;

constexpr std::string_view kRsaSha256Uri = "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256";
constexpr std::string_view kRsaPssSha256Uri = "http://opcfoundation.org/UA/security/rsa-pss-sha2-256";
constexpr std::string_view kOaepSha1Uri = "http://www.w3.org/2001/04/xmlenc#rsa-oaep";
constexpr std::string_view kOaepSha256Uri = "http://opcfoundation.org/UA/security/rsa-oaep-sha2-256";

const PolicyAlgorithms kPolicies[] = {
    {kBasic256Sha256Uri, RsaSign::Pkcs1Sha256, kRsaSha256Uri, RsaCrypt::OaepSha1, kOaepSha1Uri,
     32, 32, 32, 256, 512},
    {kAes128Sha256RsaOaepUri, RsaSign::Pkcs1Sha256, kRsaSha256Uri, RsaCrypt::OaepSha1,
     kOaepSha1Uri, 16, 32, 32, 256, 512},
    {kAes256Sha256RsaPssUri, RsaSign::PssSha256, kRsaPssSha256Uri, RsaCrypt::OaepSha256,
     kOaepSha256Uri, 32, 32, 32, 256, 512},
};

// Padding bytes (PaddingSize byte and ExtraPaddingSize byte included) that make
// `plain` + padding + `signature` a multiple of `block`.
size_t PaddingFor(size_t plain, size_t signature, size_t block, bool extra) {
  size_t fixed = plain + 1 + (extra ? 1 : 0) + signature;
  return (block - fixed % block) % block + 1 + (extra ? 1 : 0);
}

void AppendPadding(std::vector<uint8_t>& out, size_t total, bool extra) {
  size_t count = total - 1 - (extra ? 1 : 0);  // Padding[] without the size bytes
  out.insert(out.end(), count + 1, uint8_t(count & 0xFF));
  if (extra) out.push_back(uint8_t(count >> 8));
}

// Where the body ends before the padding that ends at `end`; 0 when the padding is
// malformed. The bytes were signed, so this sees only what the peer meant to send.
size_t StripPadding(const uint8_t* chunk, size_t bodyStart, size_t end, bool extra) {
  size_t need = 1 + (extra ? 1 : 0);
  if (end < bodyStart + need) return 0;
  size_t count = chunk[end - need];
  if (extra) count |= size_t(chunk[end - 1]) << 8;
  if (end - bodyStart < count + need) return 0;
  size_t first = end - need - count;  // the PaddingSize byte
  for (size_t i = first; i < first + count + 1; ++i)
    if (chunk[i] != uint8_t(count & 0xFF)) return 0;
  return first;
}

void WriteSize(std::vector<uint8_t>& out, size_t chunkStart, size_t total) {
  uint32_t size = uint32_t(total);
  std::memcpy(out.data() + chunkStart + 4, &size, 4);
}

std::string_view View(const uint8_t* p, size_t n) { return {reinterpret_cast<const char*>(p), n}; }

class PolicyNone final : public SecurityPolicy {
 public:
  std::string_view Uri() const override { return kPolicyNoneUri; }
  SecurityMode Mode() const override { return SecurityMode::None; }
  bool SetMode(SecurityMode mode) override { return mode == SecurityMode::None; }
  StatusCode SetRemote(std::string_view, std::string_view) override { return status::Good; }
  std::string_view RemoteCertificate() const override { return {}; }
  StatusCode OpenAsymmetric(uint8_t*, size_t size, size_t, size_t& bodyEnd) override {
    bodyEnd = size;
    return status::Good;
  }
  std::string_view LocalCertificate() const override { return {}; }
  std::string RemoteThumbprint() const override { return {}; }
  bool SealAsymmetric(std::vector<uint8_t>& out, size_t chunkStart, size_t) override {
    WriteSize(out, chunkStart, out.size() - chunkStart);
    return true;
  }
  size_t NonceLength() const override { return 0; }
  StatusCode NewToken(std::string_view, std::string_view) override { return status::Good; }
  StatusCode OpenSymmetric(uint8_t*, size_t size, size_t, size_t& bodyEnd, bool) override {
    bodyEnd = size;
    return status::Good;
  }
  size_t PlainRoom(size_t chunkSize, size_t headerSize) const override {
    return chunkSize > headerSize ? chunkSize - headerSize : 0;
  }
  void SealSymmetric(std::vector<uint8_t>& out, size_t chunkStart, size_t, bool) override {
    WriteSize(out, chunkStart, out.size() - chunkStart);
  }
  const PolicyAlgorithms* Algorithms() const override { return nullptr; }
  bool SignLocal(std::string_view, std::string& signature) const override {
    signature.clear();
    return true;
  }
  bool VerifyRemote(std::string_view, std::string_view) const override { return true; }
};

class PolicyRsa final : public SecurityPolicy {
 public:
  PolicyRsa(const PolicyAlgorithms& alg, const LocalIdentity& local) : alg_(alg), local_(local) {}

  std::string_view Uri() const override { return alg_.uri; }
  SecurityMode Mode() const override { return mode_; }
  bool SetMode(SecurityMode mode) override {
    if (mode != SecurityMode::Sign && mode != SecurityMode::SignAndEncrypt) return false;
    mode_ = mode;
    return true;
  }

  StatusCode SetRemote(std::string_view senderCertificate, std::string_view receiverThumbprint) override {
    if (!remote_.empty()) {
      // A renewal comes from the same client.
      if (senderCertificate != remote_) return status::BadSecurityChecksFailed;
    } else {
      RsaKey key;
      if (!key.LoadFromCertificate(senderCertificate)) return status::BadCertificateInvalid;
      if (key.Size() < alg_.minKeyBytes || key.Size() > alg_.maxKeyBytes)
        return status::BadSecurityChecksFailed;
      remoteKey_ = std::move(key);
      remote_ = senderCertificate;
    }
    if (receiverThumbprint != local_.thumbprint) return status::BadCertificateInvalid;
    return status::Good;
  }
  std::string_view RemoteCertificate() const override { return remote_; }

  StatusCode OpenAsymmetric(uint8_t* chunk, size_t size, size_t bodyStart, size_t& bodyEnd) override {
    if (!remoteKey_.Loaded()) return status::BadSecurityChecksFailed;
    // Each block costs a private-key operation; an OpenSecureChannel request fits a few.
    if (size - bodyStart > kMaxAsymmetricBlocks * local_.key.Size()) return status::BadSecurityChecksFailed;
    std::string plain;
    if (!local_.key.Decrypt(alg_.asymCrypt, View(chunk + bodyStart, size - bodyStart), plain))
      return status::BadSecurityChecksFailed;
    std::memcpy(chunk + bodyStart, plain.data(), plain.size());
    size_t sig = remoteKey_.Size();
    if (plain.size() < sig) return status::BadSecurityChecksFailed;
    size_t end = bodyStart + plain.size() - sig;
    if (!remoteKey_.Verify(alg_.asymSign, View(chunk, end), View(chunk + end, sig)))
      return status::BadSecurityChecksFailed;
    bodyEnd = StripPadding(chunk, bodyStart, end, local_.key.Size() > 256);
    return bodyEnd ? status::Good : status::BadSecurityChecksFailed;
  }

  std::string_view LocalCertificate() const override { return local_.certificate; }
  std::string RemoteThumbprint() const override {
    return Sha1(remote_.substr(0, FirstDerLength(remote_)));
  }

  bool SealAsymmetric(std::vector<uint8_t>& out, size_t chunkStart, size_t bodyStart) override {
    size_t block = remoteKey_.PlainBlock(alg_.asymCrypt);
    size_t sig = local_.key.Size();
    if (block == 0 || sig == 0) return false;
    bool extra = remoteKey_.Size() > 256;
    AppendPadding(out, PaddingFor(out.size() - bodyStart, sig, block, extra), extra);
    size_t plainSize = out.size() - bodyStart + sig;
    WriteSize(out, chunkStart, bodyStart - chunkStart + plainSize / block * remoteKey_.Size());
    std::string signature, cipher;
    if (!local_.key.Sign(alg_.asymSign, View(out.data() + chunkStart, out.size() - chunkStart), signature))
      return false;
    out.insert(out.end(), signature.begin(), signature.end());
    if (!remoteKey_.Encrypt(alg_.asymCrypt, View(out.data() + bodyStart, out.size() - bodyStart), cipher))
      return false;
    out.resize(bodyStart);
    out.insert(out.end(), cipher.begin(), cipher.end());
    return true;
  }

  size_t NonceLength() const override { return alg_.nonceLength; }

  StatusCode NewToken(std::string_view clientNonce, std::string_view serverNonce) override {
    if (clientNonce.size() != alg_.nonceLength || serverNonce.size() != alg_.nonceLength)
      return status::BadNonceInvalid;
    previous_ = std::move(current_);
    DeriveKeys(alg_, serverNonce, clientNonce, current_.receive);
    DeriveKeys(alg_, clientNonce, serverNonce, current_.send);
    return status::Good;
  }

  StatusCode OpenSymmetric(uint8_t* chunk, size_t size, size_t bodyStart, size_t& bodyEnd,
                           bool previous) override {
    const SymmetricKeys& k = (previous ? previous_ : current_).receive;
    bool encrypted = mode_ == SecurityMode::SignAndEncrypt;
    if (encrypted && !AesCbc(false, k.encryptKey, k.iv, chunk + bodyStart, size - bodyStart))
      return status::BadSecurityChecksFailed;
    if (size < bodyStart + kMacSize) return status::BadSecurityChecksFailed;
    size_t end = size - kMacSize;
    std::string mac = HmacSha256(k.signKey, View(chunk, end));
    // Compared without an early exit: timing must not tell how much of a forgery fits.
    uint8_t diff = 0;
    for (size_t i = 0; i < kMacSize; ++i) diff |= uint8_t(mac[i]) ^ chunk[end + i];
    if (diff) return status::BadSecurityChecksFailed;
    bodyEnd = encrypted ? StripPadding(chunk, bodyStart, end, false) : end;
    return bodyEnd ? status::Good : status::BadSecurityChecksFailed;
  }

  size_t PlainRoom(size_t chunkSize, size_t headerSize) const override {
    size_t room = chunkSize > headerSize ? chunkSize - headerSize : 0;
    if (mode_ != SecurityMode::SignAndEncrypt) return room > kMacSize ? room - kMacSize : 0;
    room -= room % kAesBlock;
    return room > kMacSize + 1 ? room - kMacSize - 1 : 0;
  }

  void SealSymmetric(std::vector<uint8_t>& out, size_t chunkStart, size_t bodyStart,
                     bool previous) override {
    const SymmetricKeys& k = (previous ? previous_ : current_).send;
    bool encrypted = mode_ == SecurityMode::SignAndEncrypt;
    if (encrypted) AppendPadding(out, PaddingFor(out.size() - bodyStart, kMacSize, kAesBlock, false), false);
    WriteSize(out, chunkStart, out.size() - chunkStart + kMacSize);
    std::string mac = HmacSha256(k.signKey, View(out.data() + chunkStart, out.size() - chunkStart));
    out.insert(out.end(), mac.begin(), mac.end());
    if (encrypted) AesCbc(true, k.encryptKey, k.iv, out.data() + bodyStart, out.size() - bodyStart);
  }

  const PolicyAlgorithms* Algorithms() const override { return &alg_; }
  bool SignLocal(std::string_view data, std::string& signature) const override {
    return local_.key.Sign(alg_.asymSign, data, signature);
  }
  bool VerifyRemote(std::string_view data, std::string_view signature) const override {
    return remoteKey_.Verify(alg_.asymSign, data, signature);
  }

 private:
  struct TokenKeys {
    SymmetricKeys receive, send;
  };
  const PolicyAlgorithms& alg_;
  const LocalIdentity& local_;
  SecurityMode mode_ = SecurityMode::Invalid;
  std::string remote_;
  RsaKey remoteKey_;
  TokenKeys current_, previous_;
};

}  // namespace

const PolicyAlgorithms* FindPolicyAlgorithms(std::string_view uri) {
  for (const auto& p : kPolicies)
    if (p.uri == uri) return &p;
  return nullptr;
}

void DeriveKeys(const PolicyAlgorithms& alg, std::string_view secret, std::string_view seed,
                SymmetricKeys& keys) {
  std::string all = PSha256(secret, seed, alg.signKeyLength + alg.encryptKeyLength + kAesBlock);
  keys.signKey = all.substr(0, alg.signKeyLength);
  keys.encryptKey = all.substr(alg.signKeyLength, alg.encryptKeyLength);
  keys.iv = all.substr(alg.signKeyLength + alg.encryptKeyLength, kAesBlock);
}

std::unique_ptr<SecurityPolicy> MakeSecurityPolicy(std::string_view uri, const LocalIdentity* local) {
  if (uri == kPolicyNoneUri) return std::make_unique<PolicyNone>();
  const PolicyAlgorithms* alg = FindPolicyAlgorithms(uri);
  if (!alg || !local || !local->key.Loaded() || local->certificate.empty()) return nullptr;
  return std::make_unique<PolicyRsa>(*alg, *local);
}

}  // namespace uaclib
