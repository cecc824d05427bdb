#include "common/cert/base64.h"

#include <array>
#include <cstdint>

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<uint8_t, 256> MakeDecodeTable() {
  std::array<uint8_t, 256> t{};  // everything else reads as 0
  for (int i = 0; i < 64; ++i) t[uint8_t(kAlphabet[i])] = uint8_t(i);
  t[uint8_t('-')] = t[uint8_t('.')] = 62;
  t[uint8_t('_')] = t[uint8_t(',')] = 63;
  return t;
}
constexpr std::array<uint8_t, 256> kDecode = MakeDecodeTable();
}  // namespace

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = uint32_t(uint8_t(bytes[i])) << 16 | uint32_t(uint8_t(bytes[i + 1])) << 8 |
                 uint8_t(bytes[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
    if (rest == 2) v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

bool Base64Decode(std::string_view text, std::string& bytes) {
  bytes.clear();
  if (text.size() < 3) return false;
  size_t pad = 0;
  while (pad < text.size() && text[text.size() - 1 - pad] == '=') ++pad;
  size_t len = text.size() - pad;
  size_t last = len % 4;
  if (last == 1 || (last == 2 && pad == 0)) return false;

  bytes.reserve(len / 4 * 3 + 2);
  size_t i = 0;
  for (; i + 4 <= len; i += 4) {
    uint32_t v = uint32_t(kDecode[uint8_t(text[i])]) << 18 |
                 uint32_t(kDecode[uint8_t(text[i + 1])]) << 12 |
                 uint32_t(kDecode[uint8_t(text[i + 2])]) << 6 | kDecode[uint8_t(text[i + 3])];
    bytes += char(v >> 16);
    bytes += char(v >> 8);
    bytes += char(v);
  }
  if (last >= 2) {
    uint32_t v = uint32_t(kDecode[uint8_t(text[i])]) << 18 | uint32_t(kDecode[uint8_t(text[i + 1])]) << 12;
    if (last == 3) v |= uint32_t(kDecode[uint8_t(text[i + 2])]) << 6;
    bytes += char(v >> 16);
    if (last == 3) bytes += char(v >> 8);
  }
  return true;
}
