// SecurityPolicy None: chunks pass unchanged, no nonces.
#include "uaclib/security_policy.h"

namespace uaclib {

namespace {

class PolicyNone final : public SecurityPolicy {
 public:
  std::string_view Uri() const override { return kPolicyNoneUri; }
  SecurityMode Mode() const override { return SecurityMode::None; }
  StatusCode OpenAsymmetric(uint8_t*, size_t size, size_t, size_t& bodyEnd) override {
    bodyEnd = size;
    return status::Good;
  }
  StatusCode OpenSymmetric(uint8_t*, size_t size, size_t, size_t& bodyEnd) override {
    bodyEnd = size;
    return status::Good;
  }
  size_t PlainRoom(size_t chunkSize, size_t headerSize) const override {
    return chunkSize > headerSize ? chunkSize - headerSize : 0;
  }
  void SealSymmetric(std::vector<uint8_t>&, size_t, size_t) override {}
  std::string ServerNonce() override { return {}; }
  StatusCode SetClientNonce(std::string_view) override { return status::Good; }
};

}  // namespace

std::unique_ptr<SecurityPolicy> MakeSecurityPolicy(std::string_view uri, SecurityMode mode) {
  if (uri == kPolicyNoneUri && mode == SecurityMode::None) return std::make_unique<PolicyNone>();
  return nullptr;
}

}  // namespace uaclib
