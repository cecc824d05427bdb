// The index of the address space: node id -> node, as one flat open-addressing table.
// Each slot keeps the id's full 64-bit hash beside the node pointer, so a probe compares
// ids only when the hashes agree and a lookup touches one cache line of the table and
// the node it finds. Linear probing, a power-of-two size kept at most half full; nodes
// are never removed (the address space only grows), so there are no tombstones.
#ifndef UACLIB_NODE_TABLE_H
#define UACLIB_NODE_TABLE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "uaclib/encoding.h"

namespace uaclib {

struct Node;

class NodeTable {
 public:
  using HashFn = uint64_t (*)(const NodeIdView&);
  // `hash` is for tests that force collisions; the default spreads numeric and text ids.
  explicit NodeTable(HashFn hash = &Hash) : hash_(hash) {}

  // Adds `node` under its own id; false (and nothing changes) when the id is taken.
  bool Insert(Node* node);
  Node* Find(const NodeIdView& id) const;
  size_t Size() const { return size_; }
  size_t Capacity() const { return slots_.size(); }

  static uint64_t Hash(const NodeIdView& id);

 private:
  struct Slot {
    uint64_t hash = 0;
    Node* node = nullptr;  // nullptr: free
  };
  void Grow();

  HashFn hash_;
  std::vector<Slot> slots_;
  size_t size_ = 0;
};

}  // namespace uaclib
#endif
