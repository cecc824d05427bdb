#include "common/cert/self_cert.h"

#include <algorithm>
#include <exception>

#include "common/cert/der_file.h"
#include "common/config/app_paths.h"
#include "common/helpers/run_capture.h"
#include "common/helpers/strings.h"
#include "common/platform/host.h"
#include "common/platform/paths.h"

namespace {
constexpr const char* kScratchFiles[] = {".rnd",   "localhost.cnf", "temp.crt",
                                         "temp.key", "temp_cert.der", "temp_key.der"};
constexpr int kPollMs = 20;

// Private keys are written readable by the owner only.
constexpr int kKeyMode = 0600;
constexpr int kCertMode = 0644;

void DeleteScratchFiles() {
  for (const char* name : kScratchFiles) DeleteFileAt(name);
}

// Restores the current directory on every way out, exceptions included.
class TCurrentDirGuard {
 public:
  TCurrentDirGuard() : saved_(CurrentDir()) {}
  // A directory that has gone meanwhile cannot be restored; nothing else to do then.
  ~TCurrentDirGuard() {
    if (!saved_.empty()) SetCurrentDir(saved_);
  }
  TCurrentDirGuard(const TCurrentDirGuard&) = delete;
  TCurrentDirGuard& operator=(const TCurrentDirGuard&) = delete;

 private:
  std::string saved_;
};

// One scratch file and where it goes.
struct TInstall {
  const char* from;
  const char* to;
  int mode;
};
constexpr TInstall kInstalls[] = {
    {"temp_key.der", kSelfKeyDerName, kKeyMode},
    {"temp_cert.der", kSelfCertDerName, kCertMode},
    {"temp.key", kSelfKeyPemName, kKeyMode},
    {"temp.crt", kSelfCertPemName, kCertMode},
};

// Puts the four new files in place only when all of them are sound and staged, so a
// failed run never leaves a half-replaced or unreadable certificate behind.
bool InstallNewFiles() {
  std::string bytes[4];
  for (int i = 0; i < 4; ++i)
    if (!ReadFileBytes(kInstalls[i].from, bytes[i]) || bytes[i].empty()) return false;
  // The DER files must be what ReadDerFileBase64 accepts later.
  if (!LooksLikeDer(bytes[0]) || !LooksLikeDer(bytes[1])) return false;

  std::string staged[4];
  bool ok = true;
  for (int i = 0; i < 4 && ok; ++i) {
    staged[i] = std::string(kInstalls[i].to) + ".new";
    ok = WriteFileAtomic(staged[i], bytes[i], kInstalls[i].mode);
  }
  for (int i = 0; i < 4 && ok; ++i) ok = RenameFileOver(staged[i], kInstalls[i].to);
  for (const auto& s : staged)
    if (!s.empty()) DeleteFileAt(s);
  return ok;
}
}  // namespace

std::string SelfCertDir() { return g_DataDir + "/cert/self"; }
std::string SelfCertDerPath() { return SelfCertDir() + "/" + kSelfCertDerName; }
std::string SelfKeyDerPath() { return SelfCertDir() + "/" + kSelfKeyDerName; }

std::string OpenSslProgram() {
  std::string local = g_AppDir + "/openssl";
  return FileExists(local) ? local : std::string("openssl");
}

std::string CertAltNameText(const std::string& appUri, const std::string& computerName,
                            const std::vector<std::string>& ipv4Addresses) {
  std::vector<std::string> ips = ipv4Addresses;
  if (std::find(ips.begin(), ips.end(), "127.0.0.1") == ips.end()) ips.insert(ips.begin(), "127.0.0.1");
  std::string text = "URI.1 = " + appUri + "\r\n" + "DNS.1 = " + computerName + "\r\n";
  for (size_t i = 0; i < ips.size(); ++i) text += "IP." + std::to_string(i + 1) + " = " + ips[i] + "\r\n";
  return text;
}

std::string GenerateCertificate(const std::string& templatePath, const std::string& openSslPath,
                                const std::string& outputDir, const std::string& commonName,
                                const std::string& appUri) {
  // Read the template before moving anywhere: a relative template path means the
  // caller's directory, and an unreadable one must stop us before any file is touched.
  std::string text;
  if (!ReadFileBytes(templatePath, text))
    throw ECertTemplate("cannot read the certificate template " + templatePath);
  // Written back without a byte-order mark.
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);

  TCurrentDirGuard restoreDir;
  if (!DirExists(outputDir)) CreateDir(outputDir);
  // Every file name below is relative: never work in the wrong folder.
  if (!SetCurrentDir(outputDir)) return kCertFailedText;
  DeleteScratchFiles();

  text = ReplaceAll(text, "{{IPNAME}}", CertAltNameText(appUri, LocalHostName(), LocalIPv4Addresses()));
  if (!WriteFileAtomic("localhost.cnf", text)) {
    DeleteScratchFiles();
    return kCertFailedText;
  }

  const std::string program = "\"" + openSslPath + "\"";
  const std::string commands[] = {
      program + " req -config localhost.cnf -new -nodes -x509 -sha256 -newkey rsa:2048 -keyout temp.key -subj \"/CN=" +
          commonName + "\" -days 7300 -out temp.crt",
      program + " x509 -in temp.crt -outform der -out temp_cert.der",
      program + " rsa -inform PEM -in temp.key -outform der -out temp_key.der",
  };
  for (const auto& cmd : commands) {
    std::string output;
    // Output and exit code say nothing we act on: the files written decide. A start
    // failure has been reported already and the next command still runs.
    (void)RunCaptureText(cmd, output, kPollMs);
  }

  std::string result;
  if (!FileExists("temp_key.der") || !FileExists("temp_cert.der") || !InstallNewFiles())
    result = kCertFailedText;
  DeleteScratchFiles();
  return result;
}

std::string CreateSelfCertificate() {
  try {
    return GenerateCertificate(g_AppDir + "/certtmpl.cnf", OpenSslProgram(), SelfCertDir(),
                               kSelfCertCommonName, kSelfCertAppUri);
  } catch (const std::exception&) {
    // Both callers only show or ignore the text; an escaping exception would end the
    // program instead.
    return kCertFailedText;
  }
}

std::string EnsureSelfCertificate() {
  if (FileExists(SelfCertDerPath()) && FileExists(SelfKeyDerPath())) return {};
  return CreateSelfCertificate();
}
