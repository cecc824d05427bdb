// The parts of crypto.h that need no cryptographic library: DER framing and the
// P_SHA256 construction over HmacSha256, the same on every platform.
#include "uaclib/crypto.h"

namespace uaclib {

size_t FirstDerLength(std::string_view der) {
  // SEQUENCE tag, then a short or long (up to 4 bytes) length.
  if (der.size() < 2 || uint8_t(der[0]) != 0x30) return 0;
  size_t len = uint8_t(der[1]), head = 2;
  if (len & 0x80) {
    size_t bytes = len & 0x7F;
    if (bytes == 0 || bytes > 4 || der.size() < 2 + bytes) return 0;
    len = 0;
    for (size_t i = 0; i < bytes; ++i) len = len << 8 | uint8_t(der[2 + i]);
    head += bytes;
  }
  if (len > kMaxDer || len > der.size() - head) return 0;
  return head + len;
}

std::string PSha256(std::string_view secret, std::string_view seed, size_t length) {
  // A(0) = seed, A(i) = HMAC(secret, A(i-1)); output HMAC(secret, A(i) | seed), i = 1..
  std::string out;
  std::string a(seed);
  while (out.size() < length) {
    a = HmacSha256(secret, a);
    out += HmacSha256(secret, a + std::string(seed));
  }
  out.resize(length);
  return out;
}

}  // namespace uaclib
