// A client's certificate bytes (the leaf and any chain behind it) through the trust
// list's checks: never a crash, a leak or an unbounded write; anything parsed as a
// certificate is refused (nothing is trusted here) with a Bad status.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

#include <unistd.h>

#include "uaclib/status_codes.h"
#include "uaclib/trust_list.h"

namespace {
// One empty PKI folder per process; rejected certificates are not written (cap 0), so
// runs leave nothing behind but the empty folders, removed at exit.
struct Fixture {
  std::string dir;
  std::unique_ptr<uaclib::TrustList> list;
  Fixture() {
    dir = (std::filesystem::temp_directory_path() / ("zel_fuzz_trust_" + std::to_string(::getpid()))).string();
    uaclib::TrustListOptions o;
    o.pkiDir = dir;
    o.rejectedCap = 0;
    list = std::make_unique<uaclib::TrustList>(o);
  }
  ~Fixture() {
    list.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture f;
  std::span<const uint8_t> in(data, size);
  if (!uaclib::IsBad(f.list->VerifyChannelCertificate(in))) std::abort();
  (void)f.list->VerifyApplicationUri(in, "urn:fuzz");
  int days = 0;
  const bool parsed = uaclib::CertificateDaysLeft(in, days);
  if (parsed && uaclib::CertificateThumbprint(in).empty()) std::abort();
  return 0;
}
