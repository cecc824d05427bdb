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
// Storing: a record depends only on its own node (ids, not offsets, name the parent and
// the children), so each node's record is built as soon as the node is left, from the
// values kept while it is open. Close lays the index in front and writes the records in
// id order straight from where they were built.
//
// Loading keeps the file in one buffer and answers every read in place. Every offset,
// id, count and terminator is checked when the file is opened; a body that points
// outside itself fails the open.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/archive/obj_archive.h"
#include "common/archive/obj_archive_buffers.h"

constexpr uint32_t kObsBinMagic = 0xF0FFCCFF;
constexpr size_t kObsBinHeaderSize = 16;

// A node while storing, from EnterNode to the LeaveNode that builds its record. Kept on a
// stack whose entries are reused, so that filling sibling after sibling allocates nothing.
struct TObsBinOpenNode {
  uint32_t Id = 0;
  uint32_t Parent = 0;
  std::vector<uint32_t> Children;  // ids in insertion order
  TObsBytes Table;                 // per value: u32 name offset, u32 data offset (in Data), i32 kind
  TObsBytes Name;                  // UTF-16LE with terminator
  TObsBytes Data;                  // per value its name and its data, as in the record
  TObsBytes ChildNames;            // the children's UTF-8 names, each after its u32 length
};

// A node while loading: byte offsets into the loaded file buffer.
struct TObsBinNodeRead {
  uint32_t Record = 0;
  uint32_t ValueTable = 0;
  uint32_t NameAt = 0;
};

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

 private:
  // Name lookup among the children of one node with many. Usually their names rise
  // strictly (by length, then by bytes: "V9" before "V10"), which proves them distinct,
  // and a binary search or the hint below finds them; otherwise a hash table over
  // (name hash, position + 1) keeps the first child of each name.
  struct TChildIndex {
    bool Sorted = false;
    std::vector<uint64_t> Slots;
    uint32_t Mask = 0;
  };

  void ResetLoad();
  bool LoadPlain();
  bool ValidateBody();
  void SetCurrent(uint32_t id);
  const char* FindEntry(std::string_view name);  // entry in the current value table, or nullptr
  const char* FindEntryWide(std::string_view name);
  const char* Rec(uint32_t id) const { return data_ + views_[id - 1].Record; }
  bool NodeNameIs(uint32_t id, std::u16string_view name) const;
  bool NodeNameIsAscii(uint32_t id, std::string_view name) const;
  uint32_t FindChild(std::string_view name);  // child id of the current node, 0 none
  const TChildIndex& ChildIndex(uint32_t id);
  uint32_t ChildAt(const char* rec, uint32_t pos) const;

  TObsBinOpenNode& Cur() { return open_[depth_]; }
  void PushNode(uint32_t id, uint32_t parent, std::string_view name);
  void PutEntry(TObsBinOpenNode& n, std::string_view name, int32_t kind);
  void FinishRecord(TObsBinOpenNode& n);
  void WriteOut();

  bool m_isStore = false;
  bool compressed_ = false;
  bool opened_ = false;
  TNxMemStream* stream_ = nullptr;

  // Storing.
  int32_t nodeCount_ = 0;
  std::vector<TObsBinOpenNode> open_;  // [0] is the root; entries past depth_ are spare
  size_t depth_ = 0;
  TObsArena recordArena_;  // the finished records, each where it was built
  TObsBytes recordAt_;     // per node id (from 1) the address of its record
  uint64_t bodySize_ = 0;

  // Loading.
  std::string owned_;                   // the file as handed to OpenBytes
  TObsBlock ownedRaw_;                  // or as read from a file or inflated
  const char* data_ = nullptr;          // header + body
  size_t size_ = 0;
  std::vector<TObsBinNodeRead> views_;  // index = id - 1
  uint32_t curId_ = 0;                  // current node while loading (1 = root)
  const char* curRec_ = nullptr;        // its record, the record's end, its value table
  const char* curEnd_ = nullptr;
  const char* curTable_ = nullptr;
  int curV_ = 0;                        // its value count
  int lastHint_ = -1;                   // value index found by the previous lookup
  // Nodes with many children get a name index on first use, so entering each of n
  // children costs O(n), not O(n^2).
  std::unordered_map<uint32_t, TChildIndex> childIndex_;
  // Children are mostly entered in order: the position of the child found last, among
  // the children of hintParent_, and the one after it are tried first. Used only where
  // the names are known to be distinct, so a match is the first child of that name.
  uint32_t hintParent_ = 0;
  uint32_t hintPos_ = 0;
};
