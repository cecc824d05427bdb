#include "common/helpers/strings.h"

void SplitFirst(char ch, std::string_view text, std::string& left, std::string& right) {
  size_t p = text.find(ch);
  if (p == std::string_view::npos) {
    left = std::string(text);
    right.clear();
    return;
  }
  left = std::string(text.substr(0, p));
  right = std::string(text.substr(p + 1));
}

std::vector<std::string> SplitList(char delimiter, std::string_view text) {
  std::vector<std::string> out;
  if (text.empty()) return out;
  size_t start = 0;
  for (;;) {
    size_t p = text.find(delimiter, start);
    if (p == std::string_view::npos) {
      out.emplace_back(text.substr(start));
      return out;
    }
    out.emplace_back(text.substr(start, p - start));
    start = p + 1;
  }
}

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(text);
  std::string out;
  out.reserve(text.size());
  size_t start = 0;
  for (;;) {
    size_t p = text.find(from, start);
    if (p == std::string_view::npos) break;
    out.append(text.substr(start, p - start));
    out.append(to);
    start = p + from.size();
  }
  out.append(text.substr(start));
  return out;
}

std::string EscapeControls(std::string_view text, bool quotes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string o;
  o.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '\\': o += "\\\\"; continue;
      case '\r': o += "\\r"; continue;
      case '\n': o += "\\n"; continue;
      case '\t': o += "\\t"; continue;
      case '"':
        o += quotes ? "\\\"" : "\"";
        continue;
      default:
        break;
    }
    if (c < 0x20 || c == 0x7F) {
      o += "\\x";
      o += kHex[c >> 4];
      o += kHex[c & 15];
    } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      const unsigned char u = static_cast<unsigned char>(text[++i]);
      o += "\\u00";
      o += kHex[u >> 4];
      o += kHex[u & 15];
    } else {
      o += char(c);
    }
  }
  return o;
}
