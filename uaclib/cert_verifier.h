// The one place where the secure channel layer asks whether a client's application
// instance certificate may be used. The channel asks at OpenSecureChannel (certificate
// itself) and the session layer at CreateSession (the ApplicationUri the client states).
// The default verifier accepts every certificate; the server installs a trust list.
#ifndef UACLIB_CERT_VERIFIER_H
#define UACLIB_CERT_VERIFIER_H

#include <cstdint>
#include <span>
#include <string_view>

#include "uaclib/status_codes.h"

namespace uaclib {

class CertificateVerifier {
 public:
  virtual ~CertificateVerifier() = default;
  // Good, or the Bad status the channel is refused with (BadCertificateUntrusted,
  // BadCertificateTimeInvalid, BadCertificateInvalid, BadSecurityChecksFailed, ...).
  virtual StatusCode VerifyChannelCertificate(std::span<const uint8_t> der) = 0;
  // Good when the certificate's subject alternative name carries `applicationUri`,
  // else BadCertificateUriInvalid.
  virtual StatusCode VerifyApplicationUri(std::span<const uint8_t> der,
                                          std::string_view applicationUri) = 0;
};

}  // namespace uaclib
#endif
