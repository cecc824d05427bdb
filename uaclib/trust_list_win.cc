// The trust list on Windows, where no channel can be secured (crypto_win.cc has no RSA):
// the PKI folders are still created, so an administrator finds the same layout, but every
// client certificate is refused. Thumbprint and expiry come from the system's CryptoAPI.
#include "uaclib/trust_list.h"

#include <windows.h>
#include <wincrypt.h>

#include <filesystem>
#include <system_error>

#include "uaclib/crypto.h"

namespace uaclib {

namespace {
// The leaf of `der` (leaf first, optionally followed by its chain) as a system certificate.
class Leaf {
 public:
  explicit Leaf(std::span<const uint8_t> der) {
    size_t n = FirstDerLength(std::string_view(reinterpret_cast<const char*>(der.data()), der.size()));
    if (n > 0) ctx_ = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), DWORD(n));
  }
  ~Leaf() {
    if (ctx_) CertFreeCertificateContext(ctx_);
  }
  Leaf(const Leaf&) = delete;
  Leaf& operator=(const Leaf&) = delete;
  PCCERT_CONTEXT get() const { return ctx_; }

 private:
  PCCERT_CONTEXT ctx_ = nullptr;
};
}  // namespace

struct TrustList::Store {};

TrustList::TrustList(TrustListOptions options)
    : options_(std::move(options)), store_(std::make_unique<Store>()) {
  std::error_code ec;
  // The folder names are UTF-8: as char8_t text, whatever the system's code page.
  for (const std::string& d : {TrustDir(), IssuersDir(), RejectedDir()})
    std::filesystem::create_directories(std::filesystem::path(reinterpret_cast<const char8_t*>(d.c_str())), ec);
}

TrustList::~TrustList() = default;

std::string TrustList::TrustDir() const { return options_.pkiDir + "/trust"; }
std::string TrustList::IssuersDir() const { return options_.pkiDir + "/issuers"; }
std::string TrustList::RejectedDir() const { return options_.pkiDir + "/rejected"; }

StatusCode TrustList::VerifyChannelCertificate(std::span<const uint8_t>) { return status::BadCertificateUntrusted; }
StatusCode TrustList::VerifyApplicationUri(std::span<const uint8_t>, std::string_view) {
  return status::BadCertificateUntrusted;
}
int TrustList::TrustedCount() { return 0; }
int TrustList::IssuerCount() { return 0; }
int TrustList::CrlCount() { return 0; }

uint32_t TrustListCertCheck(void* context, const uint8_t* der, int32_t length, const char* applicationUri) {
  auto* list = static_cast<TrustList*>(context);
  if (!list || !der || length <= 0) return status::BadCertificateInvalid;
  const std::span<const uint8_t> bytes(der, size_t(length));
  return applicationUri ? list->VerifyApplicationUri(bytes, applicationUri) : list->VerifyChannelCertificate(bytes);
}

std::string CertificateThumbprint(std::span<const uint8_t> der) {
  Leaf leaf(der);
  if (!leaf.get()) return {};
  std::string sha = Sha1(std::string_view(reinterpret_cast<const char*>(leaf.get()->pbCertEncoded),
                                          leaf.get()->cbCertEncoded));
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : sha) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

bool CertificateDaysLeft(std::span<const uint8_t> der, int& days) {
  Leaf leaf(der);
  if (!leaf.get()) return false;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const FILETIME& end = leaf.get()->pCertInfo->NotAfter;
  auto ticks = [](const FILETIME& t) { return int64_t((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime); };
  constexpr int64_t kTicksPerDay = 864000000000;  // 100 ns ticks
  // Whole days, rounded toward zero as on Linux.
  days = int((ticks(end) - ticks(now)) / kTicksPerDay);
  return true;
}

}  // namespace uaclib
