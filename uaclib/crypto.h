// The cryptographic primitives of the secure channel: RSA keys and certificates, RSA
// signatures and OAEP encryption, HMAC-SHA256, AES-CBC without padding and the P_SHA256
// pseudo-random function of the key derivation. Nothing here knows the chunk layout; the
// security policies put the pieces together. On Linux over OpenSSL libcrypto (crypto.cc);
// the Windows build (crypto_win.cc) has the hashes, HMAC and AES of BCrypt but no RSA, so
// no key loads there and a server offers SecurityPolicy None only.
#ifndef UACLIB_CRYPTO_H
#define UACLIB_CRYPTO_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

typedef struct evp_pkey_st EVP_PKEY;

namespace uaclib {

// Padding schemes of the asymmetric algorithms.
enum class RsaSign { Pkcs1Sha256, PssSha256 };
enum class RsaCrypt { OaepSha1, OaepSha256 };

// One RSA key, private (the server's) or public (from a client certificate).
class RsaKey {
 public:
  RsaKey() = default;
  RsaKey(const RsaKey&) = delete;
  RsaKey& operator=(const RsaKey&) = delete;
  RsaKey(RsaKey&& o) noexcept : key_(o.key_) { o.key_ = nullptr; }
  RsaKey& operator=(RsaKey&& o) noexcept;
  ~RsaKey();

  // DER bytes of an RSA private key, PKCS#1 or PKCS#8.
  bool LoadPrivate(const uint8_t* der, size_t size);
  // The public key of the first certificate in `der` (a DER certificate, optionally
  // followed by its chain); false when that is no X.509 certificate with an RSA key.
  bool LoadFromCertificate(std::string_view der);
  bool Loaded() const { return key_ != nullptr; }
  // Bytes of the modulus: one RSA block and one signature; 0 without a key.
  size_t Size() const;
  // The public halves of both keys are equal.
  bool SamePublic(const RsaKey& other) const;

  bool Sign(RsaSign alg, std::string_view data, std::string& signature) const;
  bool Verify(RsaSign alg, std::string_view data, std::string_view signature) const;
  // Plain bytes that fit one block of `alg`.
  size_t PlainBlock(RsaCrypt alg) const;
  // Whole blocks in, whole blocks out; `plain` is replaced.
  bool Encrypt(RsaCrypt alg, std::string_view plain, std::string& cipher) const;
  bool Decrypt(RsaCrypt alg, std::string_view cipher, std::string& plain) const;

 private:
  EVP_PKEY* key_ = nullptr;
};

// Random bytes from the system's generator.
std::string RandomBytes(size_t n);

// Length of the first DER element of `der` (a certificate in a chain); 0 when the
// header does not describe an element that fits.
size_t FirstDerLength(std::string_view der);
// Largest certificate or key we parse: far above any real one.
inline constexpr size_t kMaxDer = 64 * 1024;
// False where RSA is missing (the Windows build): no channel can be secured.
bool SecuredChannelsAvailable();

std::string Sha1(std::string_view data);
std::string HmacSha256(std::string_view key, std::string_view data);
// P_SHA256(secret, seed) of TLS 1.2, the first `length` bytes.
std::string PSha256(std::string_view secret, std::string_view seed, size_t length);
// AES-CBC of whole 16-byte blocks in place; the key length (16 or 32) picks AES-128 or
// AES-256.
bool AesCbc(bool encrypt, std::string_view key, std::string_view iv, uint8_t* data, size_t size);

}  // namespace uaclib
#endif
