// User identity checks of ActivateSession: the server's RSA key for passwords that
// clients encrypt, and the layout of the encrypted secret.
#ifndef UACLIB_USER_TOKEN_H
#define UACLIB_USER_TOKEN_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

typedef struct evp_pkey_st EVP_PKEY;

namespace uaclib {

constexpr std::string_view kRsaOaepUri = "http://www.w3.org/2001/04/xmlenc#rsa-oaep";
constexpr std::string_view kRsaOaepSha256Uri = "http://opcfoundation.org/UA/security/rsa-oaep-sha256";

class PrivateKey {
 public:
  PrivateKey() = default;
  PrivateKey(const PrivateKey&) = delete;
  PrivateKey& operator=(const PrivateKey&) = delete;
  ~PrivateKey();

  // DER bytes of an RSA key, PKCS#1 or PKCS#8.
  bool Load(const uint8_t* der, size_t size);
  bool Loaded() const { return key_ != nullptr; }
  // Bytes of one RSA block (the key's modulus); 0 without a key.
  size_t BlockSize() const;
  // RSA-OAEP decryption of whole key-sized blocks; `sha256` selects OAEP with SHA-256
  // (else SHA-1).
  bool DecryptOaep(std::string_view cipher, bool sha256, std::string& plain) const;

 private:
  EVP_PKEY* key_ = nullptr;
};

// OPC UA Part 4 encrypted token secret: Length UInt32 (of what follows)
// | password bytes | server nonce. True when the layout fits and the nonce matches.
bool ParseUserSecret(std::string_view plain, std::string_view nonce, std::string& password);

// Compares without an early exit, so timing tells nothing about the secret.
bool SameSecret(std::string_view a, std::string_view b);

}  // namespace uaclib
#endif
