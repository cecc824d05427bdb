// crypto.h on Windows: SHA-1, HMAC-SHA256, AES-CBC and random bytes from BCrypt. RSA is
// left out (there is no OpenSSL for this build), so no key or certificate ever loads:
// the server then offers SecurityPolicy None only and refuses encrypted passwords.
#include "uaclib/crypto.h"

#include <windows.h>
#include <bcrypt.h>

#include <climits>

namespace uaclib {

namespace {

// One BCrypt algorithm provider, closed on every way out.
class Provider {
 public:
  Provider(const wchar_t* alg, ULONG flags) {
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&h_, alg, nullptr, flags))) h_ = nullptr;
  }
  ~Provider() {
    if (h_) BCryptCloseAlgorithmProvider(h_, 0);
  }
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;
  BCRYPT_ALG_HANDLE get() const { return h_; }

 private:
  BCRYPT_ALG_HANDLE h_ = nullptr;
};

PUCHAR P(std::string_view s) { return reinterpret_cast<PUCHAR>(const_cast<char*>(s.data())); }

// A whole digest (or HMAC when `key` is given) of `data`; empty on failure.
std::string Digest(const wchar_t* alg, std::string_view key, std::string_view data, size_t size) {
  Provider p(alg, key.data() ? BCRYPT_ALG_HANDLE_HMAC_FLAG : 0);
  if (!p.get() || key.size() > ULONG_MAX || data.size() > ULONG_MAX) return {};
  BCRYPT_HASH_HANDLE h = nullptr;
  if (!BCRYPT_SUCCESS(BCryptCreateHash(p.get(), &h, nullptr, 0, P(key), ULONG(key.size()), 0))) return {};
  std::string out(size, '\0');
  bool ok = BCRYPT_SUCCESS(BCryptHashData(h, P(data), ULONG(data.size()), 0)) &&
            BCRYPT_SUCCESS(BCryptFinishHash(h, reinterpret_cast<PUCHAR>(out.data()), ULONG(size), 0));
  BCryptDestroyHash(h);
  return ok ? out : std::string();
}

}  // namespace

bool SecuredChannelsAvailable() { return false; }

std::string RandomBytes(size_t n) {
  std::string out(n, '\0');
  if (n > 0 && n <= ULONG_MAX)
    BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(out.data()), ULONG(n), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  return out;
}

// No RSA here: key_ stays null, so every operation reports failure.
RsaKey& RsaKey::operator=(RsaKey&& o) noexcept {
  key_ = o.key_;
  o.key_ = nullptr;
  return *this;
}
RsaKey::~RsaKey() = default;
bool RsaKey::LoadPrivate(const uint8_t*, size_t) { return false; }
bool RsaKey::LoadFromCertificate(std::string_view) { return false; }
size_t RsaKey::Size() const { return 0; }
bool RsaKey::SamePublic(const RsaKey&) const { return false; }
bool RsaKey::Sign(RsaSign, std::string_view, std::string& signature) const {
  signature.clear();
  return false;
}
bool RsaKey::Verify(RsaSign, std::string_view, std::string_view) const { return false; }
size_t RsaKey::PlainBlock(RsaCrypt) const { return 0; }
bool RsaKey::Encrypt(RsaCrypt, std::string_view, std::string& cipher) const {
  cipher.clear();
  return false;
}
bool RsaKey::Decrypt(RsaCrypt, std::string_view, std::string& plain) const {
  plain.clear();
  return false;
}

std::string Sha1(std::string_view data) {
  std::string out = Digest(BCRYPT_SHA1_ALGORITHM, {}, data, 20);
  return out.empty() ? std::string(20, '\0') : out;
}

std::string HmacSha256(std::string_view key, std::string_view data) {
  // An empty key still selects HMAC: BCrypt wants a non-null pointer for that.
  static const char kNoKey = 0;
  std::string out = Digest(BCRYPT_SHA256_ALGORITHM, key.data() ? key : std::string_view(&kNoKey, 0), data, 32);
  return out.empty() ? std::string(32, '\0') : out;
}

bool AesCbc(bool encrypt, std::string_view key, std::string_view iv, uint8_t* data, size_t size) {
  if ((key.size() != 16 && key.size() != 32) || iv.size() != 16 || size % 16 != 0) return false;
  if (size == 0) return true;
  if (size > ULONG_MAX) return false;
  Provider p(BCRYPT_AES_ALGORITHM, 0);
  if (!p.get() || !BCRYPT_SUCCESS(BCryptSetProperty(p.get(), BCRYPT_CHAINING_MODE,
                                                    reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_CBC)),
                                                    sizeof(BCRYPT_CHAIN_MODE_CBC), 0)))
    return false;
  BCRYPT_KEY_HANDLE k = nullptr;
  if (!BCRYPT_SUCCESS(BCryptGenerateSymmetricKey(p.get(), &k, nullptr, 0, P(key), ULONG(key.size()), 0)))
    return false;
  // BCrypt updates the IV it is given: work on a copy.
  std::string chain(iv);
  ULONG done = 0;
  NTSTATUS st = encrypt ? BCryptEncrypt(k, data, ULONG(size), nullptr, P(chain), 16, data, ULONG(size), &done, 0)
                        : BCryptDecrypt(k, data, ULONG(size), nullptr, P(chain), 16, data, ULONG(size), &done, 0);
  BCryptDestroyKey(k);
  return BCRYPT_SUCCESS(st) && done == size;
}

}  // namespace uaclib
