#include "common/cert/der_file.h"

#include <cstdint>
#include <exception>

#include "common/cert/base64.h"
#include "common/platform/paths.h"
#include "common/platform/text.h"

bool LooksLikeDer(std::string_view bytes) {
  return bytes.size() >= 64 && uint8_t(bytes[0]) == 0x30 && uint8_t(bytes[1]) == 0x82;
}

std::string DerBase64FromBytes(std::string_view bytes) {
  if (LooksLikeDer(bytes)) return Base64Encode(bytes);

  // PEM: CR, LF and CRLF all end a line; the armour lines start with "-----".
  std::string body;
  size_t pos = 0;
  while (pos <= bytes.size()) {
    size_t end = bytes.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = bytes.size();
    std::string line = Trim(bytes.substr(pos, end - pos));
    if (!line.empty() && !(line.size() > 2 && line[0] == '-')) body += line;
    pos = end + 1;
  }
  std::string der;
  if (!Base64Decode(body, der)) return {};
  return LooksLikeDer(der) ? Base64Encode(der) : std::string();
}

std::string ReadDerFileBase64(const std::string& path) {
  try {
    std::string bytes;
    if (!FileExists(path) || !ReadFileBytes(path, bytes)) return {};
    return DerBase64FromBytes(bytes);
  } catch (const std::exception&) {
    return {};
  }
}
