// The binary archive, plain ("BIN") or as one gzip stream ("BINZ").
//
// File layout, integers little-endian, texts UTF-16LE with a zero terminator:
//   header   0 u32 magic 0xF0FFCCFF | 4 u32 file length | 8 u32 0 | 12 u32 0
//   body     0 u32 N (nodes, root included) | 4*i u32 body offset of node id i (1..N)
//            then the node records, root first, the others in id order
//   record   0 u32 record length (multiple of 8) | 4 u32 parent id (0: root)
//            8 u32 own id | 12 u32 C children | 16 u32 V values | 20 u32 L name units
//            24 C*u32 child ids | then V*{u32 name offset, u32 data offset, i32 kind}
//            (offsets from the record start; kind 0 text, -1 int32, -2 double)
//            then the node name, then per value its name and its data (unaligned),
//            zero padding up to the record length
// The compressed form is the whole file deflated as gzip (level 1, window 15, memlevel 9).
//
// Loading keeps the file in one buffer and answers every read in place. Every offset,
// id, count and terminator is checked when the file is opened; a body that points
// outside itself fails the open.
#pragma once
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/archive/obj_archive.h"

// A value while storing; only the member named by Kind is meaningful.
struct TObsValue {
  std::string Text;
  int32_t Int = 0;
  double Dbl = 0;
  std::string Name;
  int32_t Kind = 0;  // 0 text, -1 int32, -2 double
};

// A node while storing.
struct TObsBinNode {
  TObsBinNode* Parent = nullptr;
  std::string Name;
  std::vector<TObsValue> Values;
  std::vector<TObsBinNode*> Children;
  int32_t Id = 0;
};

// A node while loading: byte offsets into the loaded file buffer.
struct TObsBinNodeRead {
  uint32_t Record = 0;
  uint32_t ValueTable = 0;
  uint32_t NameAt = 0;
};

constexpr uint32_t kObsBinMagic = 0xF0FFCCFF;
constexpr size_t kObsBinHeaderSize = 16;

class CNxObjArBin : public CNxObjAr {
 public:
  explicit CNxObjArBin(bool compressed = false) : compressed_(compressed) {}

  [[nodiscard]] bool Open(const std::string& target, bool storing) override;
  std::string FormatName() const override { return compressed_ ? "BINZ" : "BIN"; }
  ~CNxObjArBin() override;
  bool Close() override;
  bool IsStoring() const override { return m_isStore; }
  bool EnterNode(std::string_view name) override;
  bool LeaveNode() override;
  int32_t ReadInt(std::string_view name, int32_t def) override;
  double ReadFloat(std::string_view name, double def) override;
  std::string ReadString(std::string_view name, std::string_view def) override;
  void WriteInt(std::string_view name, int32_t value) override;
  void WriteFloat(std::string_view name, double value) override;
  void WriteString(std::string_view name, std::string_view value) override;
  bool HasNode(std::string_view name) override;

  // Loads from bytes already in memory (the whole file, plain or gzip).
  [[nodiscard]] bool OpenBytes(std::string bytes);
  // The bytes Close produced for a storing archive (header included, before gzip).
  const std::string& Body() const { return buf_; }


 private:
  bool LoadPlain();
  bool ValidateBody();
  int FindValue(std::string_view name);  // index in the current value table, -1 none
  uint32_t ChildId(uint32_t node, uint32_t i) const;
  bool NodeNameIs(uint32_t id, std::u16string_view name) const;
  uint32_t FindChild(std::u16string_view name);  // child id of the current node, 0 none
  void BuildFile();

  TObsBinNode* cur_ = nullptr;
  TObsBinNode root_;
  bool m_isStore = false;
  bool compressed_ = false;
  int32_t nodeCount_ = 0;
  std::vector<std::unique_ptr<TObsBinNode>> nodes_;
  std::string buf_;  // the whole file: header + body
  uint32_t bodySize_ = 0;
  std::vector<TObsBinNodeRead> views_;  // index = id - 1
  uint32_t curId_ = 0;                  // current node while loading (1 = root)
  int lastHint_ = -1;                   // value index found by the previous lookup
  // Nodes with many children get a name index on first use (raw UTF-16LE name bytes to
  // the first child of that name), so entering each of n children costs O(n), not O(n^2).
  std::unordered_map<uint32_t, std::unordered_map<std::string_view, uint32_t>> childIndex_;
  TNxMemStream* stream_ = nullptr;
  bool opened_ = false;
};
