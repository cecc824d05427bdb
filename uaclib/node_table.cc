// The flat node id table of the address space.
#include "uaclib/node_table.h"

#include <functional>
#include <string_view>

#include "uaclib/address_space.h"

namespace uaclib {

namespace {
// Final mix of a 64-bit value (the finaliser of SplitMix64): every input bit reaches the
// low bits that pick the slot.
uint64_t Mix(uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ull;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}
}  // namespace

uint64_t NodeTable::Hash(const NodeIdView& id) {
  uint64_t head = (uint64_t(id.ns) << 8) | uint64_t(id.kind);
  if (id.kind == IdKind::Numeric) return Mix((head << 32) ^ id.num);
  // The library's string hash is word-at-a-time; namespace and kind go in afterwards.
  return Mix(std::hash<std::string_view>{}(id.text) ^ (head * 0x9e3779b97f4a7c15ull));
}

bool NodeTable::Insert(Node* node) {
  if ((size_ + 1) * 2 > slots_.size()) Grow();
  NodeIdView id = node->id.View();
  uint64_t h = hash_(id);
  size_t mask = slots_.size() - 1;
  for (size_t i = size_t(h) & mask;; i = (i + 1) & mask) {
    Slot& s = slots_[i];
    if (!s.node) {
      s.hash = h;
      s.node = node;
      ++size_;
      return true;
    }
    if (s.hash == h && s.node->id.View() == id) return false;
  }
}

Node* NodeTable::Find(const NodeIdView& id) const {
  if (slots_.empty()) return nullptr;
  uint64_t h = hash_(id);
  size_t mask = slots_.size() - 1;
  // The table is never full, so a free slot ends every probe sequence.
  for (size_t i = size_t(h) & mask;; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (!s.node) return nullptr;
    if (s.hash == h && s.node->id.View() == id) return s.node;
  }
}

void NodeTable::Grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(old.empty() ? 1024 : old.size() * 2, Slot{});
  size_t mask = slots_.size() - 1;
  // Stored hashes move the entries without hashing an id again.
  for (const Slot& s : old) {
    if (!s.node) continue;
    size_t i = size_t(s.hash) & mask;
    while (slots_[i].node) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

}  // namespace uaclib
