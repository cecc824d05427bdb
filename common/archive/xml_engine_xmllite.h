// The XML engine of the Windows build (see xml_engine.h): XmlLite parses, the tree and the
// writing of its text are this engine's own. Elements live in a deque, so handles and the
// name views of an index stay valid while elements are appended, and a tree of any depth
// is freed without recursion.
#pragma once
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/archive/obj_archive_buffers.h"

struct TXmlElement {
  std::string Name;
  std::vector<std::pair<std::string, std::string>> Attrs;  // in document order
  TXmlElement* Parent = nullptr;
  TXmlElement* First = nullptr;
  TXmlElement* Last = nullptr;
  TXmlElement* Next = nullptr;
  std::deque<TXmlElement>* Owner = nullptr;
};

class TXmlNode {
 public:
  TXmlNode() = default;
  explicit TXmlNode(TXmlElement* e) : e_(e) {}
  explicit operator bool() const { return e_ != nullptr; }
  uintptr_t Id() const { return reinterpret_cast<uintptr_t>(e_); }
  std::string_view Name() const { return e_ ? std::string_view(e_->Name) : std::string_view(); }
  TXmlNode FirstElement() const { return TXmlNode(e_ ? e_->First : nullptr); }
  TXmlNode NextElement() const { return TXmlNode(e_ ? e_->Next : nullptr); }
  TXmlNode Parent() const { return TXmlNode(e_ ? e_->Parent : nullptr); }
  TXmlNode Child(const char* name) const;
  const char* Attribute(const char* name) const;
  void SetAttribute(const char* name, const char* value);
  TXmlNode AppendElement(const char* name);

 private:
  TXmlElement* e_ = nullptr;
};

class TXmlDocument {
 public:
  TXmlDocument() = default;
  TXmlDocument(const TXmlDocument&) = delete;  // the elements point to their deque
  TXmlDocument& operator=(const TXmlDocument&) = delete;
  TXmlNode NewStore(const char* rootName);
  bool Parse(const char* data, size_t size);
  bool ParseUtf8(const char* text, size_t size);
  bool ParseFile(const std::string& path);
  TXmlNode Root() const { return TXmlNode(root_); }
  void Reset();
  void Write(TObsBytes& out) const;
  void WriteRoot(TObsBytes& out) const;

 private:
  bool Read(const char* data, size_t size, bool utf8);
  void Emit(TObsBytes& out, bool indented) const;

  std::deque<TXmlElement> elements_;
  TXmlElement* root_ = nullptr;
};

// Empty when xmllite.dll could be loaded (once, from the system folder) with the functions
// the engine uses; without it nothing parses (writing needs no XmlLite).
std::string XmlEngineProblem();
