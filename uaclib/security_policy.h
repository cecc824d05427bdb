// The security policy of a secure channel as one object behind a small interface: the
// chunk layer hands it whole chunks to check and seal, the session layer asks it for
// the application signatures. SecurityPolicy None and the RSA/AES policies
// (Basic256Sha256, Aes128_Sha256_RsaOaep, Aes256_Sha256_RsaPss) live behind it.
#ifndef UACLIB_SECURITY_POLICY_H
#define UACLIB_SECURITY_POLICY_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "uaclib/crypto.h"
#include "uaclib/status_codes.h"

namespace uaclib {

// MessageSecurityMode values.
enum class SecurityMode : uint32_t { Invalid = 0, None = 1, Sign = 2, SignAndEncrypt = 3 };

constexpr std::string_view kPolicyNoneUri = "http://opcfoundation.org/UA/SecurityPolicy#None";
constexpr std::string_view kBasic256Sha256Uri =
    "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256";
constexpr std::string_view kAes128Sha256RsaOaepUri =
    "http://opcfoundation.org/UA/SecurityPolicy#Aes128_Sha256_RsaOaep";
constexpr std::string_view kAes256Sha256RsaPssUri =
    "http://opcfoundation.org/UA/SecurityPolicy#Aes256_Sha256_RsaPss";

// The secure policies this library offers, weakest first.
constexpr std::string_view kSecurePolicyUris[] = {kAes128Sha256RsaOaepUri, kBasic256Sha256Uri,
                                                  kAes256Sha256RsaPssUri};

// The server's own application instance certificate and key, shared by all channels.
struct LocalIdentity {
  std::string certificate;  // DER
  std::string thumbprint;   // SHA-1 of `certificate`
  RsaKey key;
};

// What a policy uses besides its keys; the numbers of OPC UA Part 7's policy table.
struct PolicyAlgorithms {
  std::string_view uri;
  RsaSign asymSign;
  std::string_view asymSignUri;  // SignatureData.algorithm of the session signatures
  RsaCrypt asymCrypt;
  std::string_view asymCryptUri;  // encryptionAlgorithm of user token secrets
  size_t encryptKeyLength;        // AES key bytes
  size_t signKeyLength;           // HMAC-SHA256 key bytes
  size_t nonceLength;
  size_t minKeyBytes, maxKeyBytes;  // allowed RSA modulus sizes
};

// The algorithm set of a secure policy URI, or nullptr.
const PolicyAlgorithms* FindPolicyAlgorithms(std::string_view uri);

// Keys of one direction of one token: SigningKey | EncryptingKey | InitializationVector
// in the order the key derivation produces them.
struct SymmetricKeys {
  std::string signKey, encryptKey, iv;
};
// OPC UA Part 6 key derivation: what the client sends is protected with
// P_SHA256(serverNonce, clientNonce), what the server sends with
// P_SHA256(clientNonce, serverNonce).
void DeriveKeys(const PolicyAlgorithms& alg, std::string_view secret, std::string_view seed,
                SymmetricKeys& keys);

class SecurityPolicy {
 public:
  virtual ~SecurityPolicy() = default;
  virtual std::string_view Uri() const = 0;
  virtual SecurityMode Mode() const = 0;
  // False when the policy does not work in `mode`; set from the first OpenSecureChannel.
  virtual bool SetMode(SecurityMode mode) = 0;

  // The asymmetric security header of a received OpenSecureChannel: the client's
  // certificate (chain) and the thumbprint of the certificate it encrypted for.
  virtual StatusCode SetRemote(std::string_view senderCertificate,
                               std::string_view receiverThumbprint) = 0;
  // The client's certificate as it sent it (leaf first); empty for None.
  virtual std::string_view RemoteCertificate() const = 0;
  // Checks (and decrypts in place) a received chunk whose security header ends at
  // `bodyStart`; on success `bodyEnd` is where the plain sequence header + body end.
  virtual StatusCode OpenAsymmetric(uint8_t* chunk, size_t size, size_t bodyStart,
                                    size_t& bodyEnd) = 0;
  // Our certificate and the client's thumbprint for the response's security header.
  virtual std::string_view LocalCertificate() const = 0;
  virtual std::string RemoteThumbprint() const = 0;
  // Pads, signs and encrypts the OpenSecureChannel response chunk that starts at
  // `chunkStart` in `out`; the message size is written into its header.
  virtual bool SealAsymmetric(std::vector<uint8_t>& out, size_t chunkStart, size_t bodyStart) = 0;

  // Nonce length the client must send in OpenSecureChannel (0: any, None).
  virtual size_t NonceLength() const = 0;
  // Starts a new token from both nonces; the keys of the token before stay for chunks
  // that still use it.
  virtual StatusCode NewToken(std::string_view clientNonce, std::string_view serverNonce) = 0;
  // `previous`: the chunk uses the token before the newest.
  virtual StatusCode OpenSymmetric(uint8_t* chunk, size_t size, size_t bodyStart,
                                   size_t& bodyEnd, bool previous) = 0;
  // Body bytes (sequence header included) that fit a chunk of `chunkSize` bytes whose
  // headers take `headerSize` bytes.
  virtual size_t PlainRoom(size_t chunkSize, size_t headerSize) const = 0;
  // Pads, signs and encrypts the chunk that starts at `chunkStart` in `out` and writes
  // its message size.
  virtual void SealSymmetric(std::vector<uint8_t>& out, size_t chunkStart, size_t bodyStart,
                             bool previous) = 0;

  // Session signatures (CreateSession's ServerSignature, ActivateSession's
  // ClientSignature); nullptr algorithms for None.
  virtual const PolicyAlgorithms* Algorithms() const = 0;
  virtual bool SignLocal(std::string_view data, std::string& signature) const = 0;
  virtual bool VerifyRemote(std::string_view data, std::string_view signature) const = 0;
};

// The policy for `uri`, or nullptr when the library does not offer it. Secure policies
// need `local` (which must outlive the policy) with a loaded key.
std::unique_ptr<SecurityPolicy> MakeSecurityPolicy(std::string_view uri, const LocalIdentity* local);

}  // namespace uaclib
#endif
