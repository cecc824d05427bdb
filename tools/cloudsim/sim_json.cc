// Recursive-descent JSON reader; see sim_json.h.
#include "tools/cloudsim/sim_json.h"

#include <cctype>
#include <charconv>
#include <cstdio>

namespace {
constexpr int kMaxDepth = 64;

struct TParser {
  std::string_view s;
  size_t i = 0;
  std::string err;

  bool Fail(const char* what) {
    if (err.empty()) err = std::string(what) + " at offset " + std::to_string(i);
    return false;
  }
  void Skip() {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n')) ++i;
  }
  bool Lit(std::string_view w) {
    if (s.substr(i, w.size()) != w) return false;
    i += w.size();
    return true;
  }
  static void PutUtf8(std::string& o, uint32_t cp) {
    if (cp < 0x80) {
      o.push_back(char(cp));
    } else if (cp < 0x800) {
      o.push_back(char(0xC0 | (cp >> 6)));
      o.push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      o.push_back(char(0xE0 | (cp >> 12)));
      o.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
      o.push_back(char(0x80 | (cp & 0x3F)));
    } else {
      o.push_back(char(0xF0 | (cp >> 18)));
      o.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
      o.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
      o.push_back(char(0x80 | (cp & 0x3F)));
    }
  }
  bool Hex4(uint32_t& v) {
    if (i + 4 > s.size()) return Fail("short \\u escape");
    v = 0;
    for (int k = 0; k < 4; ++k) {
      char c = s[i++];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= uint32_t(c - '0');
      else if (c >= 'a' && c <= 'f') v |= uint32_t(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') v |= uint32_t(c - 'A' + 10);
      else return Fail("bad \\u escape");
    }
    return true;
  }
  bool Str(std::string& o) {
    ++i;  // opening quote
    while (i < s.size()) {
      char c = s[i++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return Fail("control character in string");
      if (c != '\\') {
        o.push_back(c);
        continue;
      }
      if (i >= s.size()) break;
      char e = s[i++];
      switch (e) {
        case '"': o.push_back('"'); break;
        case '\\': o.push_back('\\'); break;
        case '/': o.push_back('/'); break;
        case 'b': o.push_back('\b'); break;
        case 'f': o.push_back('\f'); break;
        case 'n': o.push_back('\n'); break;
        case 'r': o.push_back('\r'); break;
        case 't': o.push_back('\t'); break;
        case 'u': {
          uint32_t cp = 0;
          if (!Hex4(cp)) return false;
          if (cp >= 0xD800 && cp < 0xDC00 && s.substr(i, 2) == "\\u") {
            i += 2;
            uint32_t lo = 0;
            if (!Hex4(lo)) return false;
            if (lo >= 0xDC00 && lo < 0xE000) cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            else cp = 0xFFFD;
          } else if (cp >= 0xD800 && cp < 0xE000) {
            cp = 0xFFFD;
          }
          PutUtf8(o, cp);
          break;
        }
        default: return Fail("bad escape");
      }
    }
    return Fail("unterminated string");
  }
  bool Value(TJson& v, int depth) {
    if (depth > kMaxDepth) return Fail("nesting too deep");
    Skip();
    if (i >= s.size()) return Fail("value expected");
    char c = s[i];
    if (c == '{') {
      v.kind = TJson::Object;
      ++i;
      Skip();
      if (i < s.size() && s[i] == '}') { ++i; return true; }
      for (;;) {
        Skip();
        if (i >= s.size() || s[i] != '"') return Fail("member name expected");
        std::string key;
        if (!Str(key)) return false;
        Skip();
        if (i >= s.size() || s[i] != ':') return Fail("':' expected");
        ++i;
        TJson m;
        if (!Value(m, depth + 1)) return false;
        v.members.emplace_back(std::move(key), std::move(m));
        Skip();
        if (i < s.size() && s[i] == ',') { ++i; continue; }
        if (i < s.size() && s[i] == '}') { ++i; return true; }
        return Fail("',' or '}' expected");
      }
    }
    if (c == '[') {
      v.kind = TJson::Array;
      ++i;
      Skip();
      if (i < s.size() && s[i] == ']') { ++i; return true; }
      for (;;) {
        TJson m;
        if (!Value(m, depth + 1)) return false;
        v.items.push_back(std::move(m));
        Skip();
        if (i < s.size() && s[i] == ',') { ++i; continue; }
        if (i < s.size() && s[i] == ']') { ++i; return true; }
        return Fail("',' or ']' expected");
      }
    }
    if (c == '"') {
      v.kind = TJson::String;
      return Str(v.str);
    }
    if (Lit("true")) { v.kind = TJson::Bool; v.b = true; return true; }
    if (Lit("false")) { v.kind = TJson::Bool; v.b = false; return true; }
    if (Lit("null")) { v.kind = TJson::Null; return true; }
    size_t start = i;
    while (i < s.size() && (std::isdigit(static_cast<unsigned char>(s[i])) || s[i] == '-' || s[i] == '+' ||
                            s[i] == '.' || s[i] == 'e' || s[i] == 'E'))
      ++i;
    if (start == i) return Fail("unexpected character");
    auto r = std::from_chars(s.data() + start, s.data() + i, v.num);
    if (r.ec != std::errc() || r.ptr != s.data() + i) { i = start; return Fail("bad number"); }
    v.kind = TJson::Number;
    return true;
  }
};
}  // namespace

const TJson* TJson::Find(std::string_view key) const {
  for (const auto& [k, v] : members)
    if (k == key) return &v;
  return nullptr;
}

std::string TJson::GetString(std::string_view key, std::string_view def) const {
  const TJson* v = Find(key);
  if (!v) return std::string(def);
  if (v->kind == String) return v->str;
  if (v->kind == Number) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v->num);
    return buf;
  }
  return std::string(def);
}

double TJson::GetNumber(std::string_view key, double def) const {
  const TJson* v = Find(key);
  if (v && v->kind == Number) return v->num;
  if (v && v->kind == Bool) return v->b ? 1 : 0;
  return def;
}

bool TJson::GetBool(std::string_view key, bool def) const {
  const TJson* v = Find(key);
  if (v && v->kind == Bool) return v->b;
  if (v && v->kind == Number) return v->num != 0;
  return def;
}

bool ParseJson(std::string_view text, TJson& out, std::string& error) {
  TParser p;
  p.s = text;
  out = TJson();
  if (!p.Value(out, 0)) {
    error = p.err;
    return false;
  }
  p.Skip();
  if (p.i != text.size()) {
    error = "text after the value at offset " + std::to_string(p.i);
    return false;
  }
  return true;
}

std::string JsonQuote(std::string_view s) {
  std::string o = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': o += "\\\""; break;
      case '\\': o += "\\\\"; break;
      case '\n': o += "\\n"; break;
      case '\r': o += "\\r"; break;
      case '\t': o += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          o += buf;
        } else {
          o.push_back(char(c));
        }
    }
  }
  o += '"';
  return o;
}
