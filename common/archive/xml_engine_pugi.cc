// The XML engine on pugixml: parsing into its DOM (files of UTF-16LE, the form the archive
// writes, through the programs' own converter and then in place) and its writer.
#include "common/archive/xml_engine_pugi.h"

#include <cstring>


namespace {
// Entities and numeric references are resolved and raw line ends become line feeds;
// attribute whitespace is kept as it is, so stored texts come back unchanged.
constexpr unsigned kParseFlags = pugi::parse_cdata | pugi::parse_escapes | pugi::parse_eol;

// Collects what the DOM's writer gives, in the archive's buffers (large ones on huge pages).
struct TBytesWriter : pugi::xml_writer {
  explicit TBytesWriter(TObsBytes& o) : out(o) {}
  TObsBytes& out;
  void write(const void* data, size_t size) override {
    if (size) std::memcpy(out.Grow(size), data, size);
  }
};
}  // namespace

TXmlNode TXmlDocument::NewStore(const char* rootName) {
  Reset();
  pugi::xml_node decl = doc_.append_child(pugi::node_declaration);
  decl.append_attribute("version") = "1.0";
  decl.append_attribute("encoding") = "UTF-16";
  return TXmlNode(doc_.append_child(rootName));
}

void TXmlDocument::Reset() {
  doc_.reset();
  text_.Release();
}

// A file of UTF-16LE with its byte-order mark, the form the archive writes, is turned into
// UTF-8 in one pass and parsed in place; the mark becomes EF BB BF, which the parser skips.
// -1 for any other input, which the parser converts itself.
int TXmlDocument::LoadUtf16(const char* p, size_t size) {
  TObsBytes text;
  if (!ObsUtf16LeToUtf8(p, size, text, true)) return -1;
  const pugi::xml_parse_result r = doc_.load_buffer_inplace(text.Data(), text.Size(), kParseFlags, pugi::encoding_utf8);
  text_ = std::move(text);  // the document points into it
  return Loaded(r) ? 1 : 0;
}

bool TXmlDocument::Parse(const char* data, size_t size) {
  Reset();
  const int fast = LoadUtf16(data, size);
  if (fast >= 0) return fast == 1;
  return Loaded(doc_.load_buffer(data, size, kParseFlags, pugi::encoding_auto));
}

bool TXmlDocument::ParseUtf8(const char* text, size_t size) {
  Reset();
  return Loaded(doc_.load_buffer(text, size, kParseFlags, pugi::encoding_utf8));
}

bool TXmlDocument::ParseFile(const std::string& path) {
  Reset();
  TObsBlock raw;
  size_t size = 0;
  if (ObsReadWholeFile(path, raw, size)) {
    const int fast = LoadUtf16(raw.Data(), size);
    if (fast >= 0) return fast == 1;
  }
  return Loaded(doc_.load_file(path.c_str(), kParseFlags, pugi::encoding_auto));
}

void TXmlDocument::Write(TObsBytes& out) const {
  TBytesWriter w(out);
  doc_.save(w, "\t", pugi::format_indent, pugi::encoding_utf8);
}

void TXmlDocument::WriteRoot(TObsBytes& out) const {
  TBytesWriter w(out);
  doc_.document_element().print(w, "", pugi::format_raw, pugi::encoding_utf8);
}
