// The node store and the reference type hierarchy.
#include "uaclib/address_space.h"

namespace uaclib {

Node* AddressSpace::Add(NodeId id, NodeClass cls, uint16_t browseNs, std::string_view browseName,
                        std::string_view displayName) {
  if (index_.Find(id.View())) return nullptr;
  Node& n = nodes_.emplace_back();
  n.id = std::move(id);
  n.cls = cls;
  n.browseNs = browseNs;
  n.browseName = browseName;
  n.displayName = displayName;
  index_.Insert(&n);
  return &n;
}

void AddressSpace::Link(Node* source, uint32_t type, Node* target) {
  if (!source || !target) return;
  source->refs.push_back(Reference{type, true, target});
  target->refs.push_back(Reference{type, false, source});
  if (type == ns0::HasTypeDefinition) source->typeDefinition = target;
  byName_.erase(source);
  byName_.erase(target);
}

std::span<const uint32_t> AddressSpace::RefsNamed(const Node& n, std::string_view name,
                                                  std::vector<uint32_t>& scratch) {
  // Below this a scan is as cheap as a lookup.
  constexpr size_t kIndexFrom = 64;
  if (n.refs.size() < kIndexFrom) {
    scratch.clear();
    for (size_t i = 0; i < n.refs.size(); ++i)
      if (n.refs[i].target->browseName == name) scratch.push_back(uint32_t(i));
    return scratch;
  }
  auto [it, fresh] = byName_.try_emplace(&n);
  if (fresh) {
    // Keys view the targets' names: nodes never move and their names never change.
    for (size_t i = 0; i < n.refs.size(); ++i)
      it->second[n.refs[i].target->browseName].push_back(uint32_t(i));
  }
  auto found = it->second.find(name);
  if (found == it->second.end()) return {};
  return found->second;
}

Node* AddressSpace::Find(const NodeIdView& id) const {
  return index_.Find(id);
}

void AddressSpace::IndexReferenceTypes() {
  refParent_.clear();
  for (const Node& n : nodes_) {
    if (n.cls != NodeClass::ReferenceType || n.id.ns != 0 || n.id.kind != IdKind::Numeric) continue;
    uint32_t parent = 0;
    for (const Reference& r : n.refs)
      if (r.type == ns0::HasSubtype && !r.forward && r.target->id.kind == IdKind::Numeric)
        parent = r.target->id.num;
    refParent_[n.id.num] = parent;
  }
}

bool AddressSpace::IsSubtypeOf(uint32_t type, uint32_t base) const {
  // The hierarchy is a few levels deep; the bound guards against a cycle.
  for (int depth = 0; depth < 32; ++depth) {
    if (type == base) return true;
    auto it = refParent_.find(type);
    if (it == refParent_.end() || it->second == 0) return false;
    type = it->second;
  }
  return false;
}

}  // namespace uaclib
