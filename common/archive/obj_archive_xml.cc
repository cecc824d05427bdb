// The XML archive on pugixml.
#include "common/archive/obj_archive_xml.h"

#include <cstring>
#include <sstream>
#include <stdexcept>

namespace {
// Entities and numeric references are resolved and raw line ends become line feeds;
// attribute whitespace is kept as it is, so stored texts come back unchanged.
constexpr unsigned kParseFlags = pugi::parse_cdata | pugi::parse_escapes | pugi::parse_eol;
constexpr const char* kRootName = "XML_OBJ_STORE";

std::string Str(std::string_view s) { return std::string(s); }

// Length of the strict UTF-8 sequence at s[i] (no stray continuation bytes, no overlong
// forms, no surrogates, nothing above U+10FFFF), 0 when there is none.
size_t Utf8SequenceAt(std::string_view s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) return 1;
  size_t len;
  uint32_t cp, min;
  if ((c & 0xE0) == 0xC0) len = 2, cp = c & 0x1F, min = 0x80;
  else if ((c & 0xF0) == 0xE0) len = 3, cp = c & 0x0F, min = 0x800;
  else if ((c & 0xF8) == 0xF0) len = 4, cp = c & 0x07, min = 0x10000;
  else return 0;
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    const unsigned char d = static_cast<unsigned char>(s[i + k]);
    if ((d & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (d & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

// The text with U+FFFD for every byte that does not begin a valid sequence.
void MakeValidUtf8(std::string& s) {
  size_t i = 0;
  for (size_t n; i < s.size() && (n = Utf8SequenceAt(s, i)) != 0;) i += n;
  if (i == s.size()) return;
  std::string out = s.substr(0, i);
  while (i < s.size()) {
    size_t n = Utf8SequenceAt(s, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(s, i, n);
      i += n;
    }
  }
  s = std::move(out);
}

class TStringWriter : public pugi::xml_writer {
 public:
  std::string out;
  void write(const void* data, size_t size) override { out.append(static_cast<const char*>(data), size); }
};
}  // namespace

void CNxObjArXML::NewDocument() {
  doc_.reset();
  pugi::xml_node decl = doc_.append_child(pugi::node_declaration);
  decl.append_attribute("version") = "1.0";
  decl.append_attribute("encoding") = "UTF-16";
  cur_ = doc_.append_child(kRootName);
}

bool CNxObjArXML::Loaded(const pugi::xml_parse_result& r) {
  if (!r) return false;
  cur_ = doc_.document_element();
  if (!cur_) return false;
  opened_ = true;
  return true;
}

bool CNxObjArXML::Open(const std::string& target, bool storing) {
  target_ = target;
  m_isStore = storing;
  depth_ = 0;
  onText_ = false;
  opened_ = false;
  childIndex_.clear();
  if (storing) {
    if (!target.empty() && target[0] == ':' && !TNxMemStream::FromDesignation(target)) return false;
    NewDocument();
    opened_ = true;
    return true;
  }
  if (!target.empty() && target[0] == ':') {
    TNxMemStream* s = TNxMemStream::FromDesignation(target);
    if (!s) return false;
    const std::string& b = s->Bytes();
    return Loaded(doc_.load_buffer(b.data() + s->Position(), b.size() - s->Position(), kParseFlags,
                                   pugi::encoding_auto));
  }
  return Loaded(doc_.load_file(target.c_str(), kParseFlags, pugi::encoding_auto));
}

// Linux programs carry no resource section; there is nothing to load from a module.
bool CNxObjArXML::OpenResource(void*, const std::string&) {
  target_.assign(1, '#');
  return false;
}

bool CNxObjArXML::OpenText(const std::string& text, bool storing) {
  m_isStore = storing;
  depth_ = 0;
  opened_ = false;
  onText_ = storing;
  childIndex_.clear();
  if (storing) {
    target_.clear();
    NewDocument();
    opened_ = true;
    return true;
  }
  target_ = text;
  std::string whole = "<?xml version=\"1.0\" encoding=\"UTF-16\"?><XML_OBJ_STORE>" + text + "</XML_OBJ_STORE>";
  return Loaded(doc_.load_buffer(whole.data(), whole.size(), kParseFlags, pugi::encoding_utf8));
}

bool CNxObjArXML::Close() {
  if (!m_isStore || !opened_) {
    opened_ = false;
    return true;
  }
  opened_ = false;
  if (onText_) {
    TStringWriter w;
    doc_.document_element().print(w, "", pugi::format_raw, pugi::encoding_utf8);
    const std::string& t = w.out;
    // The start tag is exactly "<XML_OBJ_STORE>" (15 characters) when no value sits on
    // the root; the end tag is 16 characters, or "/>" of an empty element.
    size_t tail = t.find("</XML_OBJ_STORE>") != std::string::npos ? 16 : 2;
    target_ = t.size() >= 15 + tail ? t.substr(15, t.size() - 15 - tail) : std::string();
    return true;
  }
  const unsigned flags = pugi::format_indent | pugi::format_write_bom;
  if (!target_.empty() && target_[0] == ':') {
    TNxMemStream* s = TNxMemStream::FromDesignation(target_);
    if (!s) throw std::runtime_error("stream target is gone");
    TStringWriter w;
    doc_.save(w, "\t", flags, pugi::encoding_utf16_le);
    s->Write(w.out.data(), w.out.size());
    return true;
  }
  if (!doc_.save_file(target_.c_str(), "\t", flags, pugi::encoding_utf16_le))
    throw std::runtime_error("cannot write " + target_);
  return true;
}

pugi::xml_node CNxObjArXML::FindChild(std::string_view name) {
  if (m_isStore) return cur_.child(Str(name).c_str());
  auto it = childIndex_.find(cur_.internal_object());
  if (it == childIndex_.end()) {
    size_t count = 0;
    for (pugi::xml_node c = cur_.first_child(); c && count <= 16; c = c.next_sibling())
      if (c.type() == pugi::node_element) ++count;
    if (count <= 16) return cur_.child(Str(name).c_str());
    auto& index = childIndex_[cur_.internal_object()];
    for (pugi::xml_node c = cur_.first_child(); c; c = c.next_sibling())
      if (c.type() == pugi::node_element) index.emplace(std::string_view(c.name()), c.internal_object());
    it = childIndex_.find(cur_.internal_object());
  }
  auto f = it->second.find(name);
  return f == it->second.end() ? pugi::xml_node() : pugi::xml_node(f->second);
}

bool CNxObjArXML::EnterNode(std::string_view name) {
  if (!opened_) return false;
  pugi::xml_node next = m_isStore ? cur_.append_child(Str(name).c_str()) : FindChild(name);
  if (!next) return false;
  cur_ = next;
  ++depth_;
  return true;
}

bool CNxObjArXML::LeaveNode() {
  if (!opened_ || depth_ <= 0) return false;
  --depth_;
  cur_ = cur_.parent();
  return true;
}

std::string CNxObjArXML::ReadString(std::string_view name, std::string_view def) {
  if (!opened_ || m_isStore) return std::string(def);
  pugi::xml_attribute a = cur_.attribute(Str(name).c_str());
  std::string s = a ? std::string(a.value()) : std::string(def);
  // A document in an 8-bit encoding passes its bytes through unchecked; texts that are
  // not UTF-8 get U+FFFD for what does not decode, so that the program holds (and saves,
  // in any format) the same text it shows.
  if (a) MakeValidUtf8(s);
  if (s.find('\n') != std::string::npos && s.find('\r') == std::string::npos) {
    std::string r;
    r.reserve(s.size() + 8);
    for (char c : s) {
      if (c == '\n') r.push_back('\r');
      r.push_back(c);
    }
    return r;
  }
  return s;
}

void CNxObjArXML::WriteString(std::string_view name, std::string_view value) {
  if (!opened_ || !m_isStore) return;
  std::string n = Str(name);
  pugi::xml_attribute a = cur_.attribute(n.c_str());
  if (!a) a = cur_.append_attribute(n.c_str());
  a.set_value(Str(value).c_str());
}

bool CNxObjArXML::HasNode(std::string_view name) {
  if (!opened_) return false;
  return bool(FindChild(name));
}
