// Certificate and key file contents (DER or PEM) and base64 text from outside: the
// reader never crashes, and whatever it accepts is DER that decodes back unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/cert/base64.h"
#include "common/cert/der_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  std::string b64 = DerBase64FromBytes(in);
  if (!b64.empty()) {
    std::string der;
    if (!Base64Decode(b64, der) || !LooksLikeDer(der) || Base64Encode(der) != b64) std::abort();
  }
  std::string bytes;
  if (Base64Decode(in, bytes) && bytes.size() > (size + 3) / 4 * 3) std::abort();
  return 0;
}
