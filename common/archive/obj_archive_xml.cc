// The XML archive over the platform's XML engine (xml_engine.h): loading parses into its
// tree, storing builds one and lets the engine write the text, which the programs' own
// converter turns into the file's UTF-16.
#include "common/archive/obj_archive_xml.h"

#include <charconv>
#include <cstring>
#include <stdexcept>

#include "common/platform/text.h"

namespace {
constexpr const char* kRootName = "XML_OBJ_STORE";

bool IsAsciiText(std::string_view s) {
  size_t i = 0;
  uint64_t high = 0;
  for (; i + 8 <= s.size(); i += 8) high |= LoadU64(s.data() + i);
  for (; i < s.size(); ++i) high |= static_cast<unsigned char>(s[i]);
  return (high & 0x8080808080808080ull) == 0;
}

// The length of a text up to its first zero byte (what a C string of it keeps).
inline size_t CLength(std::string_view s) {
  if (s.empty()) return 0;
  const void* z = std::memchr(s.data(), 0, s.size());
  return z ? size_t(static_cast<const char*>(z) - s.data()) : s.size();
}

// A name as the engine takes it: zero-terminated, cut at an embedded zero as a C string would
// be. Short names stay on the stack.
class TCName {
 public:
  explicit TCName(std::string_view s) {
    n_ = CLength(s);
    if (n_ < sizeof small_) {
      if (n_) std::memcpy(small_, s.data(), n_);
      small_[n_] = 0;
      p_ = small_;
    } else {
      heap_.assign(s.data(), n_);
      p_ = heap_.c_str();
    }
  }
  const char* CStr() const { return p_; }

 private:
  char small_[64];
  std::string heap_;
  const char* p_;
  size_t n_;
};

}  // namespace

void CNxObjArXML::NewDocument() { cur_ = doc_.NewStore(kRootName); }

bool CNxObjArXML::Loaded(bool parsed) {
  cur_ = parsed ? doc_.Root() : TXmlNode();
  opened_ = bool(cur_);
  return opened_;
}

bool CNxObjArXML::Open(const std::string& target, bool storing) {
  target_ = target;
  m_isStore = storing;
  depth_ = 0;
  onText_ = false;
  opened_ = false;
  ResetIndex();
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
    return Loaded(doc_.Parse(b.data() + s->Position(), b.size() - s->Position()));
  }
  return Loaded(doc_.ParseFile(target));
}

// The programs carry no archive among their resources; there is nothing to load from a module.
bool CNxObjArXML::OpenResource(void*, const std::string&) {
  target_.assign(1, '#');
  return false;
}

bool CNxObjArXML::OpenText(const std::string& text, bool storing) {
  m_isStore = storing;
  depth_ = 0;
  opened_ = false;
  onText_ = storing;
  ResetIndex();
  if (storing) {
    target_.clear();
    NewDocument();
    opened_ = true;
    return true;
  }
  target_ = text;
  // The text is UTF-8 whatever it declares, so the wrapper declares no encoding.
  std::string whole = "<?xml version=\"1.0\"?><XML_OBJ_STORE>" + text + "</XML_OBJ_STORE>";
  return Loaded(doc_.ParseUtf8(whole.data(), whole.size()));
}

// The engine writes UTF-8 as the document holds it; the programs' own converter makes
// the UTF-16LE of the file, so that bytes that are not UTF-8 come out as in the binary
// format (an engine's own conversion would drop them).
bool CNxObjArXML::Close() {
  if (!m_isStore || !opened_) {
    opened_ = false;
    return true;
  }
  opened_ = false;
  TObsBytes w;
  if (onText_) {
    doc_.WriteRoot(w);
    const std::string_view t(w.Data(), w.Size());
    // The start tag is exactly "<XML_OBJ_STORE>" (15 characters) when no value sits on
    // the root; the end tag is 16 characters, or "/>" of an empty element.
    size_t tail = t.find("</XML_OBJ_STORE>") != std::string::npos ? 16 : 2;
    target_ = t.size() >= 15 + tail ? std::string(t.substr(15, t.size() - 15 - tail)) : std::string();
    doc_.Reset();
    return true;
  }
  doc_.Write(w);
  doc_.Reset();
  TObsBytes file;
  char* d = file.Grow(2 + 2 * w.Size());  // the most the text can take
  d[0] = '\xFF';
  d[1] = '\xFE';
  file.Truncate(2 + Utf8ToUtf16Le(std::string_view(w.Data(), w.Size()), d + 2));
  w.Release();
  if (!target_.empty() && target_[0] == ':') {
    TNxMemStream* s = TNxMemStream::FromDesignation(target_);
    if (!s) throw std::runtime_error("stream target is gone");
    s->Write(file.Data(), file.Size());
  } else {
    ObsWriteFile(target_, {std::string_view(file.Data(), file.Size())}, 0666, "cannot write " + target_, "cannot write " + target_);
  }
  return true;
}

void CNxObjArXML::ResetIndex() {
  childIndex_.clear();
  lastIndexed_ = 0;
  lastIndex_ = nullptr;
  hintParent_ = 0;
  hintPos_ = 0;
}

namespace {
// Order of the sorted child index: by length, then bytewise.
inline int CompareNames(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return std::memcmp(a.data(), b.data(), a.size());
}
}  // namespace

const CNxObjArXML::TChildIndex& CNxObjArXML::ChildIndex(TXmlNode parent) {
  auto found = childIndex_.find(parent.Id());
  if (found != childIndex_.end()) return found->second;
  TChildIndex& x = childIndex_[parent.Id()];
  for (TXmlNode c = parent.FirstElement(); c; c = c.NextElement()) x.Kids.push_back({c, c.Name()});
  x.Sorted = true;
  for (size_t i = 1; i < x.Kids.size() && x.Sorted; ++i) x.Sorted = CompareNames(x.Kids[i - 1].Name, x.Kids[i].Name) < 0;
  if (!x.Sorted) {
    x.Map.reserve(x.Kids.size());
    for (const TChildIndex::TKid& k : x.Kids) x.Map.emplace(k.Name, k.Node);
  }
  return x;
}

TXmlNode CNxObjArXML::FindChild(std::string_view name) {
  const uintptr_t parent = cur_.Id();
  const TChildIndex* index = parent == lastIndexed_ ? lastIndex_ : nullptr;
  if (!index) {
    auto it = childIndex_.find(parent);
    if (it == childIndex_.end()) {
      // A few children are searched as the engine does it, with the name as a C string.
      size_t count = 0;
      for (TXmlNode c = cur_.FirstElement(); c && count <= 16; c = c.NextElement()) ++count;
      if (count <= 16) return cur_.Child(TCName(name).CStr());
    }
    index = it != childIndex_.end() ? &it->second : &ChildIndex(cur_);
    lastIndexed_ = parent;
    lastIndex_ = index;
  }
  // Many children: a name index with the whole name.
  const TChildIndex& x = *index;
  if (!x.Sorted) {
    auto f = x.Map.find(name);
    return f == x.Map.end() ? TXmlNode() : f->second;
  }
  // Sorted names are distinct: the next sibling of the one found last (entering in order),
  // the same one (HasNode, then EnterNode), then a binary search.
  if (hintParent_ == parent) {
    for (const size_t pos : {hintPos_ + 1, hintPos_}) {
      if (pos < x.Kids.size() && x.Kids[pos].Name == name) {
        hintPos_ = pos;
        return x.Kids[pos].Node;
      }
    }
  }
  size_t lo = 0, hi = x.Kids.size();
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    const int cmp = CompareNames(x.Kids[mid].Name, name);
    if (cmp == 0) {
      hintParent_ = parent;
      hintPos_ = mid;
      return x.Kids[mid].Node;
    }
    if (cmp < 0) lo = mid + 1;
    else hi = mid;
  }
  return TXmlNode();
}

bool CNxObjArXML::EnterNode(std::string_view name) {
  if (!opened_) return false;
  TXmlNode next = m_isStore ? cur_.AppendElement(TCName(name).CStr()) : FindChild(name);
  if (!next) return false;
  cur_ = next;
  ++depth_;
  return true;
}

bool CNxObjArXML::LeaveNode() {
  if (!opened_ || depth_ <= 0) return false;
  cur_ = cur_.Parent();
  --depth_;
  return true;
}

std::string CNxObjArXML::ReadString(std::string_view name, std::string_view def) {
  if (!opened_ || m_isStore) return std::string(def);
  const char* v = cur_.Attribute(TCName(name).CStr());
  if (!v) return LineEnds(std::string(def));
  const size_t n = std::strlen(v);
  // Usually plain ASCII without line feeds: nothing to mend.
  if (IsAsciiText(std::string_view(v, n)) && !std::memchr(v, '\n', n)) return std::string(v, n);
  std::string s(v, n);
  // A document in an 8-bit encoding passes its bytes through unchecked; texts that are
  // not UTF-8 get U+FFFD for what does not decode, so that the program holds (and saves,
  // in any format) the same text it shows.
  return LineEnds(ValidUtf8(s));
}

// A text with line feeds and no carriage return gets carriage return + line feed pairs.
std::string CNxObjArXML::LineEnds(std::string s) {
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

// The base conversion through ReadString, without making the text: the mending ReadString
// does (U+FFFD for bytes that do not decode, CR before LF) cannot turn a text that is not
// an integer into one or change one that is.
int32_t CNxObjArXML::ReadInt(std::string_view name, int32_t def) {
  if (!opened_ || m_isStore) return def;
  const char* v = cur_.Attribute(TCName(name).CStr());
  return v ? StrToIntDef(v, def) : def;
}

// Names and values are cut at a zero byte, as C strings; an attribute without a name is
// never found, so each is a new one.
void CNxObjArXML::WriteString(std::string_view name, std::string_view value) {
  if (!opened_ || !m_isStore) return;
  cur_.SetAttribute(TCName(name).CStr(), std::string(value.substr(0, CLength(value))).c_str());
}

void CNxObjArXML::WriteInt(std::string_view name, int32_t value) {
  char buf[16];
  const char* end = std::to_chars(buf, buf + sizeof buf, value).ptr;
  WriteString(name, std::string_view(buf, size_t(end - buf)));
}

bool CNxObjArXML::HasNode(std::string_view name) {
  if (!opened_) return false;
  return bool(m_isStore ? cur_.Child(TCName(name).CStr()) : FindChild(name));
}
