// RSA-OAEP decryption of user passwords with OpenSSL libcrypto.
#include "uaclib/user_token.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>

namespace uaclib {

PrivateKey::~PrivateKey() {
  if (key_) EVP_PKEY_free(key_);
}

bool PrivateKey::Load(const uint8_t* der, size_t size) {
  if (key_) {
    EVP_PKEY_free(key_);
    key_ = nullptr;
  }
  if (!der || size == 0 || size > (1u << 20)) return false;
  const unsigned char* p = der;
  key_ = d2i_AutoPrivateKey(nullptr, &p, long(size));
  if (key_ && EVP_PKEY_get_base_id(key_) != EVP_PKEY_RSA) {
    EVP_PKEY_free(key_);
    key_ = nullptr;
  }
  return key_ != nullptr;
}

size_t PrivateKey::BlockSize() const { return key_ ? size_t(EVP_PKEY_get_size(key_)) : 0; }

bool PrivateKey::DecryptOaep(std::string_view cipher, bool sha256, std::string& plain) const {
  plain.clear();
  if (!key_) return false;
  size_t block = size_t(EVP_PKEY_get_size(key_));
  if (block == 0 || cipher.empty() || cipher.size() % block != 0) return false;
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
      EVP_PKEY_CTX_new(key_, nullptr), &EVP_PKEY_CTX_free);
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) <= 0)
    return false;
  const EVP_MD* md = sha256 ? EVP_sha256() : EVP_sha1();
  if (EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), md) <= 0 ||
      EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), md) <= 0)
    return false;
  std::string out(block, '\0');
  for (size_t at = 0; at < cipher.size(); at += block) {
    size_t n = block;
    if (EVP_PKEY_decrypt(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &n,
                         reinterpret_cast<const unsigned char*>(cipher.data() + at), block) <= 0)
      return false;
    plain.append(out.data(), n);
  }
  return true;
}

bool ParseUserSecret(std::string_view plain, std::string_view nonce, std::string& password) {
  if (plain.size() < 4) return false;
  uint32_t len;
  std::memcpy(&len, plain.data(), 4);
  if (len > plain.size() - 4 || len < nonce.size()) return false;
  std::string_view secret = plain.substr(4, len);
  if (!SameSecret(secret.substr(secret.size() - nonce.size()), nonce)) return false;
  password.assign(secret.data(), secret.size() - nonce.size());
  return true;
}

bool SameSecret(std::string_view a, std::string_view b) {
  unsigned diff = a.size() == b.size() ? 0 : 1;
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) diff |= unsigned(uint8_t(a[i]) ^ uint8_t(b[i]));
  return diff == 0;
}

}  // namespace uaclib
