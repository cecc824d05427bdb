// The XML engine on pugixml (see xml_engine.h): the handles are pugixml's own, inline, so
// that walking a large archive costs no more than the DOM does.
#pragma once
#include <pugixml.hpp>

#include <cstdint>
#include <string>
#include <string_view>

#include "common/archive/obj_archive_buffers.h"

class TXmlNode {
 public:
  TXmlNode() = default;
  explicit TXmlNode(pugi::xml_node n) : n_(n) {}
  explicit operator bool() const { return bool(n_); }
  uintptr_t Id() const { return reinterpret_cast<uintptr_t>(n_.internal_object()); }
  std::string_view Name() const { return n_.name(); }
  TXmlNode FirstElement() const { return Element(n_.first_child()); }
  TXmlNode NextElement() const { return Element(n_.next_sibling()); }
  TXmlNode Parent() const { return TXmlNode(n_.parent()); }
  TXmlNode Child(const char* name) const { return TXmlNode(n_.child(name)); }
  const char* Attribute(const char* name) const {
    const pugi::xml_attribute a = n_.attribute(name);
    return a ? a.value() : nullptr;
  }
  void SetAttribute(const char* name, const char* value) {
    pugi::xml_attribute a = n_.attribute(name);
    if (!a) a = n_.append_attribute(name);
    a.set_value(value);
  }
  TXmlNode AppendElement(const char* name) { return TXmlNode(n_.append_child(name)); }

 private:
  static TXmlNode Element(pugi::xml_node c) {
    while (c && c.type() != pugi::node_element) c = c.next_sibling();
    return TXmlNode(c);
  }
  pugi::xml_node n_;
};

class TXmlDocument {
 public:
  TXmlNode NewStore(const char* rootName);
  bool Parse(const char* data, size_t size);
  bool ParseUtf8(const char* text, size_t size);
  bool ParseFile(const std::string& path);
  TXmlNode Root() const { return TXmlNode(doc_.document_element()); }
  void Reset();
  void Write(TObsBytes& out) const;
  void WriteRoot(TObsBytes& out) const;

 private:
  int LoadUtf16(const char* p, size_t size);
  bool Loaded(const pugi::xml_parse_result& r) const { return r && doc_.document_element(); }

  TObsBytes text_;  // the UTF-8 text a document was parsed from in place
  pugi::xml_document doc_;
};

inline std::string XmlEngineProblem() { return {}; }
