// OpenSSL libcrypto behind the small primitive set of crypto.h. Every function checks
// its sizes itself: the inputs come from the network.
#include "uaclib/crypto.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <sys/random.h>

#include <cstring>
#include <memory>

namespace uaclib {

namespace {

using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

const unsigned char* U(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

bool SetCryptPadding(EVP_PKEY_CTX* ctx, RsaCrypt alg) {
  const EVP_MD* md = alg == RsaCrypt::OaepSha256 ? EVP_sha256() : EVP_sha1();
  return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) > 0 &&
         EVP_PKEY_CTX_set_rsa_oaep_md(ctx, md) > 0 && EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, md) > 0;
}

bool SetSignPadding(EVP_PKEY_CTX* ctx, RsaSign alg) {
  if (alg == RsaSign::Pkcs1Sha256) return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) > 0;
  // RSA-PSS with SHA-256, MGF1 with SHA-256 and a salt as long as the digest.
  return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PSS_PADDING) > 0 &&
         EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_sha256()) > 0 &&
         EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, RSA_PSS_SALTLEN_DIGEST) > 0;
}

}  // namespace

bool SecuredChannelsAvailable() { return true; }

std::string RandomBytes(size_t n) {
  std::string out(n, '\0');
  size_t got = 0;
  while (got < n) {
    ssize_t r = ::getrandom(out.data() + got, n - got, 0);
    if (r <= 0) break;  // getrandom only fails before the pool is ready; keep what we have
    got += size_t(r);
  }
  return out;
}

RsaKey& RsaKey::operator=(RsaKey&& o) noexcept {
  if (this != &o) {
    if (key_) EVP_PKEY_free(key_);
    key_ = o.key_;
    o.key_ = nullptr;
  }
  return *this;
}

RsaKey::~RsaKey() {
  if (key_) EVP_PKEY_free(key_);
}

bool RsaKey::LoadPrivate(const uint8_t* der, size_t size) {
  *this = RsaKey();
  if (!der || size == 0 || size > kMaxDer) return false;
  const unsigned char* p = der;
  key_ = d2i_AutoPrivateKey(nullptr, &p, long(size));
  if (key_ && EVP_PKEY_get_base_id(key_) != EVP_PKEY_RSA) *this = RsaKey();
  return key_ != nullptr;
}

bool RsaKey::LoadFromCertificate(std::string_view der) {
  *this = RsaKey();
  size_t n = FirstDerLength(der);
  if (n == 0) return false;
  const unsigned char* p = U(der);
  X509* cert = d2i_X509(nullptr, &p, long(n));
  if (!cert) return false;
  key_ = X509_get_pubkey(cert);
  X509_free(cert);
  if (key_ && EVP_PKEY_get_base_id(key_) != EVP_PKEY_RSA) *this = RsaKey();
  return key_ != nullptr;
}

size_t RsaKey::Size() const { return key_ ? size_t(EVP_PKEY_get_size(key_)) : 0; }

bool RsaKey::SamePublic(const RsaKey& other) const {
  return key_ && other.key_ && EVP_PKEY_eq(key_, other.key_) == 1;
}

bool RsaKey::Sign(RsaSign alg, std::string_view data, std::string& signature) const {
  signature.clear();
  if (!key_) return false;
  MdCtx md(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  EVP_PKEY_CTX* pctx = nullptr;  // owned by md
  if (!md || EVP_DigestSignInit(md.get(), &pctx, EVP_sha256(), nullptr, key_) <= 0 ||
      !SetSignPadding(pctx, alg))
    return false;
  size_t n = Size();
  signature.resize(n);
  if (EVP_DigestSign(md.get(), reinterpret_cast<unsigned char*>(signature.data()), &n, U(data),
                     data.size()) <= 0) {
    signature.clear();
    return false;
  }
  signature.resize(n);
  return true;
}

bool RsaKey::Verify(RsaSign alg, std::string_view data, std::string_view signature) const {
  if (!key_ || signature.size() != Size()) return false;
  MdCtx md(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  EVP_PKEY_CTX* pctx = nullptr;
  if (!md || EVP_DigestVerifyInit(md.get(), &pctx, EVP_sha256(), nullptr, key_) <= 0 ||
      !SetSignPadding(pctx, alg))
    return false;
  return EVP_DigestVerify(md.get(), U(signature), signature.size(), U(data), data.size()) == 1;
}

size_t RsaKey::PlainBlock(RsaCrypt alg) const {
  // OAEP takes two digests and two bytes of every block.
  size_t overhead = alg == RsaCrypt::OaepSha256 ? 66 : 42;
  size_t n = Size();
  return n > overhead ? n - overhead : 0;
}

bool RsaKey::Encrypt(RsaCrypt alg, std::string_view plain, std::string& cipher) const {
  cipher.clear();
  size_t block = PlainBlock(alg), out = Size();
  if (block == 0 || plain.empty() || plain.size() % block != 0) return false;
  PkeyCtx ctx(EVP_PKEY_CTX_new(key_, nullptr), &EVP_PKEY_CTX_free);
  if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 || !SetCryptPadding(ctx.get(), alg)) return false;
  cipher.resize(plain.size() / block * out);
  for (size_t in = 0, at = 0; in < plain.size(); in += block, at += out) {
    size_t n = out;
    if (EVP_PKEY_encrypt(ctx.get(), reinterpret_cast<unsigned char*>(cipher.data() + at), &n,
                         U(plain) + in, block) <= 0 ||
        n != out) {
      cipher.clear();
      return false;
    }
  }
  return true;
}

bool RsaKey::Decrypt(RsaCrypt alg, std::string_view cipher, std::string& plain) const {
  plain.clear();
  size_t block = Size();
  if (block == 0 || cipher.empty() || cipher.size() % block != 0) return false;
  PkeyCtx ctx(EVP_PKEY_CTX_new(key_, nullptr), &EVP_PKEY_CTX_free);
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 || !SetCryptPadding(ctx.get(), alg)) return false;
  std::string out(block, '\0');
  for (size_t at = 0; at < cipher.size(); at += block) {
    size_t n = block;
    if (EVP_PKEY_decrypt(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &n,
                         U(cipher) + at, block) <= 0) {
      plain.clear();
      return false;
    }
    plain.append(out.data(), n);
  }
  return true;
}

std::string Sha1(std::string_view data) {
  std::string out(SHA_DIGEST_LENGTH, '\0');
  SHA1(U(data), data.size(), reinterpret_cast<unsigned char*>(out.data()));
  return out;
}

std::string HmacSha256(std::string_view key, std::string_view data) {
  std::string out(32, '\0');
  unsigned int n = 32;
  if (!HMAC(EVP_sha256(), key.data(), int(key.size()), U(data), data.size(),
            reinterpret_cast<unsigned char*>(out.data()), &n))
    out.assign(32, '\0');
  return out;
}

bool AesCbc(bool encrypt, std::string_view key, std::string_view iv, uint8_t* data, size_t size) {
  const EVP_CIPHER* cipher = key.size() == 32 ? EVP_aes_256_cbc()
                             : key.size() == 16 ? EVP_aes_128_cbc()
                                                : nullptr;
  if (!cipher || iv.size() != 16 || size % 16 != 0) return false;
  if (size == 0) return true;
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                     &EVP_CIPHER_CTX_free);
  int n = 0;
  return ctx && EVP_CipherInit_ex(ctx.get(), cipher, nullptr, U(key), U(iv), encrypt ? 1 : 0) > 0 &&
         EVP_CIPHER_CTX_set_padding(ctx.get(), 0) > 0 &&
         EVP_CipherUpdate(ctx.get(), data, &n, data, int(size)) > 0 && size_t(n) == size;
}

}  // namespace uaclib
