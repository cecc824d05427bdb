// The encrypted user secret and the comparison of secrets.
#include "uaclib/user_token.h"

#include <cstring>

namespace uaclib {

bool ParseUserSecret(std::string_view plain, std::string_view nonce, std::string& password) {
  if (plain.size() < 4) return false;
  uint32_t len;
  std::memcpy(&len, plain.data(), 4);
  if (len > plain.size() - 4 || len < nonce.size()) return false;
  std::string_view secret = plain.substr(4, len);
  if (!SameSecret(secret.substr(secret.size() - nonce.size()), nonce)) return false;
  password.assign(secret.data(), secret.size() - nonce.size());
  return true;
}

bool SameSecret(std::string_view a, std::string_view b) {
  unsigned diff = a.size() == b.size() ? 0 : 1;
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) diff |= unsigned(uint8_t(a[i]) ^ uint8_t(b[i]));
  return diff == 0;
}

}  // namespace uaclib
