// Simple case folding over a table of runs, binary-searched.
#include "server/namespace/case_fold.h"

#include <algorithm>
#include <iterator>

namespace {

struct TFoldRun {
  uint16_t first, last;
  uint8_t stride;
  int32_t delta;
};

constexpr TFoldRun kRuns[] = {
#include "server/namespace/case_fold_table.inc"
};

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

char32_t FoldCodePoint(char32_t c) {
  if (c < 0x80) return c >= 'A' && c <= 'Z' ? c + 32 : c;
  if (c > 0xFFFF) return c;
  // The last run that starts at or before c.
  const TFoldRun* end = std::end(kRuns);
  const TFoldRun* r = std::upper_bound(std::begin(kRuns), end, c,
                                       [](char32_t v, const TFoldRun& run) { return v < run.first; });
  if (r == std::begin(kRuns)) return c;
  --r;
  if (c > r->last || (c - r->first) % r->stride != 0) return c;
  return static_cast<char32_t>(static_cast<int32_t>(c) + r->delta);
}

std::string FoldCaseUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      out += static_cast<char>(b >= 'A' && b <= 'Z' ? b + 32 : b);
      ++i;
      continue;
    }
    // Two- and three-byte sequences hold the BMP; anything else (four bytes, stray or
    // overlong bytes, surrogates) is copied as it stands.
    if (b >= 0xC2 && b <= 0xDF && i + 1 < s.size() && (s[i + 1] & 0xC0) == 0x80) {
      char32_t c = ((b & 0x1F) << 6) | (s[i + 1] & 0x3F);
      AppendUtf8(out, FoldCodePoint(c));
      i += 2;
      continue;
    }
    if (b >= 0xE0 && b <= 0xEF && i + 2 < s.size() && (s[i + 1] & 0xC0) == 0x80 && (s[i + 2] & 0xC0) == 0x80) {
      char32_t c = ((b & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F);
      if (c >= 0x800 && (c < 0xD800 || c > 0xDFFF)) {
        AppendUtf8(out, FoldCodePoint(c));
        i += 3;
        continue;
      }
    }
    out += s[i++];
  }
  return out;
}
