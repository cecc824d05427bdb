// The trust list of client certificates over the PKI folders, checked with OpenSSL's
// chain verification and then ranked in the order OPC UA applications validate a
// certificate: structure and signatures, trust, validity period, key usage, revocation.
#include "uaclib/trust_list.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>
#include <vector>

#include "uaclib/log.h"

namespace uaclib {
namespace {

namespace fs = std::filesystem;

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct CrlFree {
  void operator()(X509_CRL* c) const { X509_CRL_free(c); }
};
struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct StoreFree {
  void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};
struct CtxFree {
  void operator()(X509_STORE_CTX* c) const { X509_STORE_CTX_free(c); }
};
// A stack that holds borrowed pointers: only the stack itself is freed.
struct CertStackFree {
  void operator()(STACK_OF(X509)* s) const { sk_X509_free(s); }
};
struct CrlStackFree {
  void operator()(STACK_OF(X509_CRL)* s) const { sk_X509_CRL_free(s); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using CrlPtr = std::unique_ptr<X509_CRL, CrlFree>;

// A client certificate and the chain it may carry behind it are bounded: an
// application certificate is a few kilobytes, a chain a handful of them.
constexpr size_t kMaxCertificateBytes = 64 * 1024;
constexpr int kMaxChainCertificates = 8;
// Files in the trust folders are the administrator's, but a stray large file or a
// folder of thousands must not stall the run step.
constexpr uintmax_t kMaxFileBytes = 1024 * 1024;
constexpr int kMaxFilesPerFolder = 1000;

// The leaf certificate and whatever certificates follow it in the bytes a client sent;
// false when any part is no certificate.
bool ParseSentCertificates(std::span<const uint8_t> der, X509Ptr& leaf, std::vector<X509Ptr>& chain) {
  if (der.empty() || der.size() > kMaxCertificateBytes) return false;
  const unsigned char* p = der.data();
  const unsigned char* end = der.data() + der.size();
  while (p < end) {
    if (int(chain.size()) >= kMaxChainCertificates) return false;
    X509* x = d2i_X509(nullptr, &p, long(end - p));
    if (!x) return false;
    if (!leaf)
      leaf.reset(x);
    else
      chain.emplace_back(x);
  }
  return bool(leaf);
}

std::string HexUpper(const unsigned char* p, unsigned n) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string s;
  for (unsigned i = 0; i < n; ++i) {
    s += kHex[p[i] >> 4];
    s += kHex[p[i] & 15];
  }
  return s;
}

std::string Thumbprint(const X509* x) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned n = 0;
  if (X509_digest(x, EVP_sha1(), md, &n) != 1) return {};
  return HexUpper(md, n);
}

// The DER form of a certificate, for writing it to a folder.
std::string DerBytes(X509* x) {
  int n = i2d_X509(x, nullptr);
  if (n <= 0) return {};
  std::string out(size_t(n), '\0');
  unsigned char* p = reinterpret_cast<unsigned char*>(out.data());
  if (i2d_X509(x, &p) != n) return {};
  return out;
}

// Never prompts for the passphrase of a key that a PEM file may also hold.
int NoPassword(char*, int, int, void*) { return 0; }

// Certificates and CRLs of one file, DER (one object) or PEM (any number).
void ParseFileObjects(const std::string& bytes, std::vector<X509Ptr>& certs, std::vector<CrlPtr>& crls) {
  if (bytes.find("-----BEGIN") != std::string::npos) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(bytes.data(), int(bytes.size())));
    if (!bio) return;
    STACK_OF(X509_INFO)* infos = PEM_X509_INFO_read_bio(bio.get(), nullptr, NoPassword, nullptr);
    if (!infos) return;
    for (int i = 0; i < sk_X509_INFO_num(infos); ++i) {
      X509_INFO* info = sk_X509_INFO_value(infos, i);
      if (info->x509 && X509_up_ref(info->x509) == 1) certs.emplace_back(info->x509);
      if (info->crl && X509_CRL_up_ref(info->crl) == 1) crls.emplace_back(info->crl);
    }
    sk_X509_INFO_pop_free(infos, X509_INFO_free);
    return;
  }
  const auto* begin = reinterpret_cast<const unsigned char*>(bytes.data());
  const unsigned char* p = begin;
  if (X509* x = d2i_X509(nullptr, &p, long(bytes.size()))) {
    if (p == begin + bytes.size()) certs.emplace_back(x);
    else X509_free(x);
    return;
  }
  p = begin;
  if (X509_CRL* c = d2i_X509_CRL(nullptr, &p, long(bytes.size()))) {
    if (p == begin + bytes.size()) crls.emplace_back(c);
    else X509_CRL_free(c);
  }
}

bool ReadSmallFile(const fs::path& path, std::string& out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return !f.bad();
}

// Writes through a hidden temporary name, so a reader never sees half a file.
bool WriteFileAtomic(const fs::path& path, const std::string& bytes) {
  fs::path tmp = path.parent_path() / ("." + path.filename().string() + ".tmp");
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    if (!f) return false;
    f.write(bytes.data(), std::streamsize(bytes.size()));
    if (!f) return false;
  }
  std::error_code ec;
  fs::rename(tmp, path, ec);
  if (ec) fs::remove(tmp, ec);
  return !ec;
}

struct FileEntry {
  fs::path path;
  uintmax_t size;
  int64_t mtime;
};

// The regular, visible files of one folder, sorted by name, at most kMaxFilesPerFolder.
std::vector<FileEntry> ListFiles(const fs::path& dir) {
  std::vector<FileEntry> out;
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) return out;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec || int(out.size()) >= kMaxFilesPerFolder) break;
    const fs::path& p = it->path();
    if (p.filename().string().starts_with(".")) continue;
    std::error_code e2;
    if (!it->is_regular_file(e2)) continue;
    uintmax_t size = it->file_size(e2);
    if (e2) continue;
    auto t = it->last_write_time(e2);
    if (e2) continue;
    out.push_back({p, size, int64_t(t.time_since_epoch().count())});
  }
  std::sort(out.begin(), out.end(), [](const FileEntry& a, const FileEntry& b) { return a.path < b.path; });
  return out;
}

// The folders read for one role: the folder itself and its "certs" and "crl" parts.
std::vector<fs::path> RoleFolders(const std::string& dir) {
  return {fs::path(dir), fs::path(dir) / "certs", fs::path(dir) / "crl"};
}

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// What OpenSSL's chain verification found, by the check it belongs to.
struct Findings {
  bool invalid = false;     // structure, signature, unsupported critical extension
  bool incomplete = false;  // an issuer is missing
  bool timeLeaf = false, timeIssuer = false;
  bool useLeaf = false, useIssuer = false;
  bool revokedLeaf = false, revokedIssuer = false;
};

// Keeps verifying past every error so that all findings are known; the ranking below
// decides which one the client hears.
int CollectFinding(int ok, X509_STORE_CTX* ctx) {
  if (ok) return 1;
  auto* f = static_cast<Findings*>(X509_STORE_CTX_get_app_data(ctx));
  const bool leaf = X509_STORE_CTX_get_error_depth(ctx) == 0;
  switch (X509_STORE_CTX_get_error(ctx)) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      f->incomplete = true;
      break;
    // Trust is decided against the trust folder itself, not by OpenSSL's anchors.
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
      break;
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
      (leaf ? f->timeLeaf : f->timeIssuer) = true;
      break;
    case X509_V_ERR_INVALID_CA:
    case X509_V_ERR_INVALID_NON_CA:
    case X509_V_ERR_INVALID_PURPOSE:
    case X509_V_ERR_KEYUSAGE_NO_CERTSIGN:
    case X509_V_ERR_PATH_LENGTH_EXCEEDED:
      (leaf ? f->useLeaf : f->useIssuer) = true;
      break;
    case X509_V_ERR_CERT_REVOKED:
      (leaf ? f->revokedLeaf : f->revokedIssuer) = true;
      break;
    // A CA without a usable CRL is accepted (revocation status unknown is not an
    // error by default, as in most OPC UA applications); a CRL that is there counts.
    case X509_V_ERR_UNABLE_TO_GET_CRL:
    case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER:
    case X509_V_ERR_CRL_HAS_EXPIRED:
    case X509_V_ERR_CRL_NOT_YET_VALID:
    case X509_V_ERR_ERROR_IN_CRL_LAST_UPDATE_FIELD:
    case X509_V_ERR_ERROR_IN_CRL_NEXT_UPDATE_FIELD:
    case X509_V_ERR_CRL_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CRL_SIGNATURE:
    case X509_V_ERR_KEYUSAGE_NO_CRL_SIGN:
    case X509_V_ERR_DIFFERENT_CRL_SCOPE:
      break;
    default:
      f->invalid = true;
      break;
  }
  return 1;
}

// An application instance certificate signs and encrypts: when it states its key usage,
// both must be in it, and a stated extended key usage must allow client use.
bool LeafUsageAllowed(X509* leaf) {
  const uint32_t ku = X509_get_key_usage(leaf);
  if (ku != UINT32_MAX &&
      (!(ku & KU_DIGITAL_SIGNATURE) || !(ku & (KU_KEY_ENCIPHERMENT | KU_DATA_ENCIPHERMENT))))
    return false;
  const uint32_t xku = X509_get_extended_key_usage(leaf);
  return xku == UINT32_MAX || (xku & (XKU_SSL_CLIENT | XKU_ANYEKU)) != 0;
}

// A self-issued certificate must carry its own valid signature, trusted or not.
bool SelfSignatureBroken(X509* x) {
  if (X509_NAME_cmp(X509_get_subject_name(x), X509_get_issuer_name(x)) != 0) return false;
  EVP_PKEY* key = X509_get0_pubkey(x);
  return !key || X509_verify(x, key) != 1;
}

}  // namespace

struct TrustList::Store {
  std::vector<X509Ptr> trusted, issuers;
  std::vector<CrlPtr> crls;
  std::set<std::string> trustedThumbprints;

  // The status of `leaf` (with the chain it came with); `extra`, when set, counts as
  // trusted besides the folder.
  StatusCode Evaluate(X509* leaf, const std::vector<X509Ptr>& sent, X509* extra) const {
    if (SelfSignatureBroken(leaf)) return status::BadCertificateInvalid;
    std::unique_ptr<STACK_OF(X509), CertStackFree> anchors(sk_X509_new_null());
    std::unique_ptr<STACK_OF(X509), CertStackFree> untrusted(sk_X509_new_null());
    std::unique_ptr<STACK_OF(X509_CRL), CrlStackFree> crlStack(sk_X509_CRL_new_null());
    std::unique_ptr<X509_STORE, StoreFree> store(X509_STORE_new());
    std::unique_ptr<X509_STORE_CTX, CtxFree> ctx(X509_STORE_CTX_new());
    if (!anchors || !untrusted || !crlStack || !store || !ctx) return status::BadOutOfMemory;
    // OpenSSL's anchors are trust/ and issuers/ together, so that chains build through
    // both; whether the chain is trusted is decided by the thumbprints afterwards.
    for (const auto& x : trusted) sk_X509_push(anchors.get(), x.get());
    for (const auto& x : issuers) sk_X509_push(anchors.get(), x.get());
    if (extra) sk_X509_push(anchors.get(), extra);
    for (const auto& x : sent) sk_X509_push(untrusted.get(), x.get());
    for (const auto& c : crls) sk_X509_CRL_push(crlStack.get(), c.get());

    if (X509_STORE_CTX_init(ctx.get(), store.get(), leaf, untrusted.get()) != 1)
      return status::BadOutOfMemory;
    X509_STORE_CTX_set0_trusted_stack(ctx.get(), anchors.get());
    X509_STORE_CTX_set0_crls(ctx.get(), crlStack.get());
    X509_STORE_CTX_set_flags(ctx.get(), X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
    Findings found;
    X509_STORE_CTX_set_app_data(ctx.get(), &found);
    X509_STORE_CTX_set_verify_cb(ctx.get(), CollectFinding);
    if (X509_verify_cert(ctx.get()) < 0) found.invalid = true;

    bool isTrusted = false;
    const std::string extraThumb = extra ? Thumbprint(extra) : std::string();
    if (STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx.get())) {
      for (int i = 0; i < sk_X509_num(chain) && !isTrusted; ++i) {
        std::string t = Thumbprint(sk_X509_value(chain, i));
        isTrusted = trustedThumbprints.count(t) || (!extraThumb.empty() && t == extraThumb);
      }
    }
    if (found.invalid) return status::BadCertificateInvalid;
    // An unknown certificate whose issuer is unknown too is plainly untrusted.
    if (!isTrusted) return status::BadCertificateUntrusted;
    if (found.incomplete) return status::BadCertificateChainIncomplete;
    if (found.timeLeaf) return status::BadCertificateTimeInvalid;
    if (found.timeIssuer) return status::BadCertificateIssuerTimeInvalid;
    if (found.useLeaf || !LeafUsageAllowed(leaf)) return status::BadCertificateUseNotAllowed;
    if (found.useIssuer) return status::BadCertificateIssuerUseNotAllowed;
    if (found.revokedLeaf) return status::BadCertificateRevoked;
    if (found.revokedIssuer) return status::BadCertificateIssuerRevoked;
    return status::Good;
  }
};

TrustList::TrustList(TrustListOptions options)
    : options_(std::move(options)), store_(std::make_unique<Store>()) {
  std::error_code ec;
  for (const std::string& d : {TrustDir(), IssuersDir(), RejectedDir()}) fs::create_directories(d, ec);
  ReloadIfChanged();
}

TrustList::~TrustList() = default;

std::string TrustList::TrustDir() const { return options_.pkiDir + "/trust"; }
std::string TrustList::IssuersDir() const { return options_.pkiDir + "/issuers"; }
std::string TrustList::RejectedDir() const { return options_.pkiDir + "/rejected"; }

void TrustList::ReloadIfChanged() {
  const int64_t now = SteadyMs();
  if (loaded_ && now - lastCheckMs_ < options_.recheckMs) return;
  lastCheckMs_ = now;

  // Names, sizes and modification times of every file: a changed listing means a
  // reload, an unchanged one costs a few directory reads.
  std::vector<FileEntry> trustFiles, issuerFiles;
  for (const auto& d : RoleFolders(TrustDir()))
    for (auto& e : ListFiles(d)) trustFiles.push_back(std::move(e));
  for (const auto& d : RoleFolders(IssuersDir()))
    for (auto& e : ListFiles(d)) issuerFiles.push_back(std::move(e));
  std::string fp;
  for (const auto* list : {&trustFiles, &issuerFiles}) {
    for (const auto& e : *list)
      fp += e.path.string() + '\n' + std::to_string(e.size) + ' ' + std::to_string(e.mtime) + '\n';
    fp += "--\n";
  }
  if (loaded_ && fp == fingerprint_) return;

  auto next = std::make_unique<Store>();
  auto readAll = [&](const std::vector<FileEntry>& files, std::vector<X509Ptr>& certs) {
    for (const auto& e : files) {
      std::string bytes;
      if (e.size > kMaxFileBytes || !ReadSmallFile(e.path, bytes)) continue;
      const size_t before = certs.size() + next->crls.size();
      ParseFileObjects(bytes, certs, next->crls);
      if (certs.size() + next->crls.size() == before)
        Log(kLogSecurity, 3, "trust list: %s holds no certificate or CRL", e.path.c_str());
    }
  };
  readAll(trustFiles, next->trusted);
  readAll(issuerFiles, next->issuers);
  for (const auto& x : next->trusted) next->trustedThumbprints.insert(Thumbprint(x.get()));
  Log(kLogSecurity, 2, "trust list: %zu trusted, %zu issuer certificates, %zu CRLs",
      next->trusted.size(), next->issuers.size(), next->crls.size());
  store_ = std::move(next);
  fingerprint_ = std::move(fp);
  loaded_ = true;
}

StatusCode TrustList::VerifyChannelCertificate(std::span<const uint8_t> der) {
  X509Ptr leaf;
  std::vector<X509Ptr> sent;
  if (!ParseSentCertificates(der, leaf, sent)) return status::BadCertificateInvalid;
  ReloadIfChanged();
  StatusCode rc = store_->Evaluate(leaf.get(), sent, nullptr);
  if (rc != status::BadCertificateUntrusted) return rc;

  const std::string thumb = Thumbprint(leaf.get());
  const std::string name = thumb + ".der";
  if (options_.autoTrust && autoTrusted_ < options_.autoTrustCap) {
    // Trusted on first use only when nothing else is wrong with it.
    rc = store_->Evaluate(leaf.get(), sent, leaf.get());
    if (rc == status::Good) {
      if (WriteFileAtomic(fs::path(TrustDir()) / name, DerBytes(leaf.get()))) {
        Log(kLogSecurity, 2, "trust list: client certificate %s trusted on first use", thumb.c_str());
        ++autoTrusted_;
        loaded_ = false;
      } else {
        Log(kLogSecurity, 4, "trust list: cannot write %s into %s", name.c_str(), TrustDir().c_str());
      }
    }
    return rc;
  }

  // Kept for the administrator; the oldest make room for the newest.
  const fs::path target = fs::path(RejectedDir()) / name;
  std::error_code ec;
  if (options_.rejectedCap <= 0 || fs::exists(target, ec)) return rc;
  fs::create_directories(RejectedDir(), ec);
  std::vector<FileEntry> kept = ListFiles(RejectedDir());
  if (int(kept.size()) >= options_.rejectedCap) {
    std::sort(kept.begin(), kept.end(), [](const FileEntry& a, const FileEntry& b) {
      return a.mtime != b.mtime ? a.mtime < b.mtime : a.path < b.path;
    });
    for (size_t i = 0; i + options_.rejectedCap <= kept.size(); ++i) fs::remove(kept[i].path, ec);
  }
  if (WriteFileAtomic(target, DerBytes(leaf.get())))
    Log(kLogSecurity, 3, "trust list: untrusted client certificate kept as %s", target.c_str());
  return rc;
}

StatusCode TrustList::VerifyApplicationUri(std::span<const uint8_t> der, std::string_view applicationUri) {
  X509Ptr leaf;
  std::vector<X509Ptr> sent;
  if (!ParseSentCertificates(der, leaf, sent)) return status::BadCertificateInvalid;
  auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(leaf.get(), NID_subject_alt_name, nullptr, nullptr));
  bool match = false;
  for (int i = 0; names && i < sk_GENERAL_NAME_num(names) && !match; ++i) {
    const GENERAL_NAME* g = sk_GENERAL_NAME_value(names, i);
    if (g->type != GEN_URI) continue;
    const ASN1_IA5STRING* s = g->d.uniformResourceIdentifier;
    match = std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                             size_t(ASN1_STRING_length(s))) == applicationUri;
  }
  GENERAL_NAMES_free(names);
  return match ? status::Good : status::BadCertificateUriInvalid;
}

int TrustList::TrustedCount() {
  ReloadIfChanged();
  return int(store_->trusted.size());
}
int TrustList::IssuerCount() {
  ReloadIfChanged();
  return int(store_->issuers.size());
}
int TrustList::CrlCount() {
  ReloadIfChanged();
  return int(store_->crls.size());
}

uint32_t TrustListCertCheck(void* context, const uint8_t* der, int32_t length, const char* applicationUri) {
  auto* list = static_cast<TrustList*>(context);
  if (!list || !der || length <= 0) return status::BadCertificateInvalid;
  // Called through the C API: nothing may escape, a failed allocation included.
  try {
    const std::span<const uint8_t> bytes(der, size_t(length));
    return applicationUri ? list->VerifyApplicationUri(bytes, applicationUri) : list->VerifyChannelCertificate(bytes);
  } catch (...) {
    return status::BadInternalError;
  }
}

std::string CertificateThumbprint(std::span<const uint8_t> der) {
  X509Ptr leaf;
  std::vector<X509Ptr> sent;
  return ParseSentCertificates(der, leaf, sent) ? Thumbprint(leaf.get()) : std::string();
}

bool CertificateDaysLeft(std::span<const uint8_t> der, int& days) {
  X509Ptr leaf;
  std::vector<X509Ptr> sent;
  if (!ParseSentCertificates(der, leaf, sent)) return false;
  int d = 0, secs = 0;
  if (ASN1_TIME_diff(&d, &secs, nullptr, X509_get0_notAfter(leaf.get())) != 1) return false;
  days = d;
  return true;
}

}  // namespace uaclib
