// The server's trust list of client application instance certificates, kept as files in
// a PKI folder:
//   <pki>/trust/     trusted certificates (a self-signed client, or a CA whose issued
//                    certificates are all trusted) and the CRLs of trusted CAs
//   <pki>/issuers/   CA certificates and CRLs that complete chains but trust nothing
//   <pki>/rejected/  certificates refused as unknown, named by SHA-1 thumbprint, for an
//                    administrator to move into trust/
// Files may be DER or PEM (one PEM file may hold several certificates and CRLs); the
// "certs" and "crl" subfolders of trust/ and issuers/ are read as well. The folders
// are re-read when their contents change, checked at most once per recheck interval.
// Not thread-safe: the server calls it from its run step only.
#ifndef UACLIB_TRUST_LIST_H
#define UACLIB_TRUST_LIST_H

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "uaclib/cert_verifier.h"

namespace uaclib {

struct TrustListOptions {
  std::string pkiDir;
  // Trusts an unknown client certificate on first use (copied into trust/), provided
  // it passes every other check; for commissioning.
  bool autoTrust = false;
  // Most certificates trusted on first use in one run; later ones are treated as
  // unknown, so that a client with ever new certificates cannot fill trust/.
  int autoTrustCap = 100;
  // Most certificates kept in rejected/: the oldest go first, so a client presenting
  // ever new certificates cannot fill the disk.
  int rejectedCap = 100;
  // Least time between two looks at the folders for changes.
  int recheckMs = 1000;
};

class TrustList final : public CertificateVerifier {
 public:
  // Creates the three folders when missing and reads them.
  explicit TrustList(TrustListOptions options);
  ~TrustList() override;
  TrustList(const TrustList&) = delete;
  TrustList& operator=(const TrustList&) = delete;

  StatusCode VerifyChannelCertificate(std::span<const uint8_t> der) override;
  StatusCode VerifyApplicationUri(std::span<const uint8_t> der,
                                  std::string_view applicationUri) override;

  // Certificates and CRLs read at the last (re)load, for the start-up log line.
  int TrustedCount();
  int IssuerCount();
  int CrlCount();

  std::string TrustDir() const;
  std::string IssuersDir() const;
  std::string RejectedDir() const;

 private:
  struct Store;
  void ReloadIfChanged();
  TrustListOptions options_;
  std::unique_ptr<Store> store_;
  std::string fingerprint_;   // of the folders' listing at the last load
  int64_t lastCheckMs_ = 0;
  int autoTrusted_ = 0;
  bool loaded_ = false;
};

// The C API's certificate check (uasCertCheckFun) over a TrustList given as `context`:
// install it with uasSetCertificateCheck(h, TrustListCertCheck, &list).
uint32_t TrustListCertCheck(void* context, const uint8_t* der, int32_t length, const char* applicationUri);

// Upper hex SHA-1 of the DER bytes (the OPC UA certificate thumbprint); empty for bytes
// that are no certificate.
std::string CertificateThumbprint(std::span<const uint8_t> der);

// Days from now until the certificate's notAfter (negative once expired); false for
// bytes that are no certificate.
bool CertificateDaysLeft(std::span<const uint8_t> der, int& days);

}  // namespace uaclib
#endif
