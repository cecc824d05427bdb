// The XML archive: nodes are elements, values are attributes, every value is text. Files
// are UTF-16LE with a byte-order mark and the declaration
// <?xml version="1.0" encoding="UTF-16"?>; the document element XML_OBJ_STORE is the
// root node. Reading accepts any encoding the byte-order mark names (UTF-8 without one)
// and any name of the document element.
#pragma once
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/archive/obj_archive.h"
#include "common/archive/obj_archive_buffers.h"
#include "common/archive/xml_engine.h"

class CNxObjArXML : public CNxObjAr {
 public:
  CNxObjArXML() = default;

  // Parse errors make Open return false (OpenArchiveForRead turns that into none).
  [[nodiscard]] bool Open(const std::string& target, bool storing) override;
  [[nodiscard]] bool OpenResource(void* module, const std::string& resourceName) override;
  std::string FormatName() const override { return "XML"; }
  ~CNxObjArXML() override = default;
  bool Close() override;
  bool IsStoring() const override { return m_isStore; }
  bool EnterNode(std::string_view name) override;
  bool LeaveNode() override;
  // The base conversion, answered from the attribute without making a text first.
  int32_t ReadInt(std::string_view name, int32_t def) override;
  // A text that comes back with line feeds only gets carriage return + line feed pairs.
  std::string ReadString(std::string_view name, std::string_view def) override;
  void WriteInt(std::string_view name, int32_t value) override;
  void WriteString(std::string_view name, std::string_view value) override;
  bool HasNode(std::string_view name) override;
  // Storing: Close leaves the children of the root as XML text in Target(), without the
  // root element. Loading: parses the text as the children of a root element.
  [[nodiscard]] virtual bool OpenText(const std::string& text, bool storing);

 private:
  // Elements with many children get a name index on first use, so entering each of n
  // children costs O(n), not O(n^2). Names that rise strictly (by length, then bytes)
  // are distinct and are searched in order; others go into a map of first children.
  struct TChildIndex {
    struct TKid {
      TXmlNode Node;
      std::string_view Name;
    };
    bool Sorted = false;
    std::vector<TKid> Kids;  // the element children in order
    std::unordered_map<std::string_view, TXmlNode> Map;
  };

  void NewDocument();
  bool Loaded(bool parsed);
  void ResetIndex();
  const TChildIndex& ChildIndex(TXmlNode parent);
  TXmlNode FindChild(std::string_view name);
  static std::string LineEnds(std::string s);

  std::unordered_map<uintptr_t, TChildIndex> childIndex_;  // by the element's Id
  uintptr_t lastIndexed_ = 0;  // the element whose index was used last
  const TChildIndex* lastIndex_ = nullptr;
  // Children are mostly entered in order: the position (in the index of hintParent_) of
  // the child found last.
  uintptr_t hintParent_ = 0;
  size_t hintPos_ = 0;

  TXmlNode cur_;
  TXmlDocument doc_;
  bool m_isStore = false;
  int32_t depth_ = 0;
  bool opened_ = false;
  bool onText_ = false;
};
