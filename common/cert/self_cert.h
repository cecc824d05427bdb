// The OPC UA server's self-signed application instance certificate: made with the
// OpenSSL command-line program from the request template shipped beside the programs,
// kept as four files in <data directory>/cert/self.
//
// Generation changes the process's current directory while it runs (the OpenSSL
// commands use relative file names): call it on the main thread only, never while
// anything else resolves relative paths.
#pragma once
#include <stdexcept>
#include <string>
#include <vector>

inline constexpr const char* kCertFailedText = "生成证书失败";
inline constexpr const char* kSelfCertCommonName = "ZelOpcServer3@localhost";
inline constexpr const char* kSelfCertAppUri = "urn:ZelOpcServer3";

// File names inside the output folder.
inline constexpr const char* kSelfCertDerName = "localhost_cert.der";
inline constexpr const char* kSelfKeyDerName = "localhost_key.der";
inline constexpr const char* kSelfCertPemName = "localhost.crt";
inline constexpr const char* kSelfKeyPemName = "localhost_key.pem";

std::string SelfCertDir();      // g_DataDir + "/cert/self"
std::string SelfCertDerPath();  // .../localhost_cert.der
std::string SelfKeyDerPath();   // .../localhost_key.der
// g_AppDir/openssl when present, else "openssl" (found on PATH).
std::string OpenSslProgram();

// The template could not be read; thrown before any command runs.
class ECertTemplate : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Generates with the fixed inputs (template g_AppDir/certtmpl.cnf, OpenSslProgram(),
// SelfCertDir(), kSelfCertCommonName, kSelfCertAppUri). Empty on success, else
// kCertFailedText; an unreadable template also gives kCertFailedText here.
[[nodiscard]] std::string CreateSelfCertificate();

// Creates the self certificate when the certificate or the key DER file is missing;
// empty when nothing had to be done, else the result of CreateSelfCertificate.
std::string EnsureSelfCertificate();

// The generation itself. Empty on success, else kCertFailedText, and then the previous
// certificate files are left as they were. Throws ECertTemplate when the template
// cannot be read (the current directory is restored first).
[[nodiscard]] std::string GenerateCertificate(const std::string& templatePath,
                                              const std::string& openSslPath,
                                              const std::string& outputDir,
                                              const std::string& commonName,
                                              const std::string& appUri);

// The subject alternative names put in place of "{{IPNAME}}", one "key = value" line
// each ended by CRLF: URI.1, DNS.1 = computerName, then IP.1, IP.2, ... in the order
// given, with 127.0.0.1 put first unless the list holds it already.
std::string CertAltNameText(const std::string& appUri, const std::string& computerName,
                            const std::vector<std::string>& ipv4Addresses);
