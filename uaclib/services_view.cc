// View services: Browse, BrowseNext, TranslateBrowsePathsToNodeIds, RegisterNodes,
// UnregisterNodes (OPC UA Part 4).
#include <algorithm>
#include <unordered_set>

#include "uaclib/node_ids.h"
#include "uaclib/server.h"

namespace uaclib {

namespace {

// BrowseResultMask bits (OPC UA Part 4 ReferenceDescription fields).
constexpr uint32_t kMaskRefType = 1, kMaskIsForward = 2, kMaskNodeClass = 4,
                   kMaskBrowseName = 8, kMaskDisplayName = 16, kMaskTypeDefinition = 32;

bool Matches(const AddressSpace& space, const ContinuationPoint& cp, const Reference& r) {
  if (cp.direction == 0 && !r.forward) return false;
  if (cp.direction == 1 && r.forward) return false;
  if (cp.hasRefType) {
    if (cp.includeSubtypes ? !space.IsSubtypeOf(r.type, cp.refType) : r.type != cp.refType)
      return false;
  }
  return cp.nodeClassMask == 0 || (uint32_t(r.target->cls) & cp.nodeClassMask) != 0;
}

void EncodeReference(Encoder& e, const Reference& r, uint32_t mask) {
  const Node* t = r.target;
  if (mask & kMaskRefType)
    e.NumericNodeId(r.type);
  else
    e.NumericNodeId(0);
  e.Bool((mask & kMaskIsForward) ? r.forward : false);
  e.ExpandedNodeId(t->id.View());
  if (mask & kMaskBrowseName)
    e.QualifiedName(t->browseNs, t->browseName);
  else
    e.QualifiedName(0, {});
  if (mask & kMaskDisplayName)
    e.LocalizedText("", t->displayName);
  else
    e.LocalizedText("", "");
  e.U32((mask & kMaskNodeClass) ? uint32_t(t->cls) : 0);
  bool typed = (t->cls == NodeClass::Object || t->cls == NodeClass::Variable) && t->typeDefinition;
  if ((mask & kMaskTypeDefinition) && typed)
    e.ExpandedNodeId(t->typeDefinition->id.View());
  else
    e.NumericNodeId(0);
}

}  // namespace

// Work units of one reference put into an answer (see Limits::maxBrowseWork); encoding
// costs about eight times a look at a reference.
constexpr uint32_t kEncodeWork = 8;

void Server::EncodeBrowseResult(Session& s, ContinuationPoint& cp, Encoder& e, uint32_t& work) {
  const std::vector<Reference>& refs = cp.node->refs;
  // Count the references of this round first: the continuation point comes before them.
  // A round ends at maxRefs or when the request's work is used up; a continuation point
  // carries the rest.
  size_t end = cp.next;
  uint32_t count = 0;
  while (end < refs.size() && work > 0) {
    --work;
    if (Matches(space_, cp, refs[end])) {
      if (count == cp.maxRefs) break;
      ++count;
      work -= std::min(work, kEncodeWork);
    }
    ++end;
  }
  bool more = end < refs.size();
  StatusCode sc = status::Good;
  std::string pointId;
  if (more) {
    if (s.continuationPoints.size() >= limits_.maxBrowseContinuationPoints) {
      sc = status::BadNoContinuationPoints;
    } else {
      uint64_t n = ++lastContinuationPoint_;
      pointId.assign(reinterpret_cast<const char*>(&n), sizeof n);
      ContinuationPoint next = cp;
      next.id = pointId;
      next.next = end;
      s.continuationPoints.push_back(std::move(next));
    }
  }
  e.U32(sc);
  if (pointId.empty())
    e.NullString();
  else
    e.ByteString(pointId);
  if (IsBad(sc)) {
    e.EmptyArray();
    return;
  }
  e.ArrayLength(count);
  for (size_t i = cp.next; i < end && !e.Overflow(); ++i)
    if (Matches(space_, cp, refs[i])) EncodeReference(e, refs[i], cp.resultMask);
}

StatusCode Server::Browse(Call& c) {
  Decoder& in = c.in;
  NodeIdView view = in.NodeId();
  in.Time();
  in.U32();
  uint32_t maxRefs = in.U32();
  int32_t n = in.ArrayLength(17);
  if (!in.ok()) return status::BadDecodingError;
  if (!view.IsNull()) return status::BadViewIdUnknown;
  if (n == 0) return status::BadNothingToDo;
  if (uint32_t(n) > limits_.maxNodesPerBrowse) return status::BadTooManyOperations;
  if (maxRefs == 0 || maxRefs > limits_.maxReferencesPerNode) maxRefs = limits_.maxReferencesPerNode;
  // The whole request is decoded before any continuation point is made.
  struct Item {
    NodeIdView id;
    NodeIdView refType;
    ContinuationPoint cp;
  };
  std::vector<Item> items(static_cast<size_t>(n));
  for (Item& it : items) {
    it.id = in.NodeId();
    it.cp.direction = in.U32();
    it.refType = in.NodeId();
    it.cp.includeSubtypes = in.Bool();
    it.cp.nodeClassMask = in.U32();
    it.cp.resultMask = in.U32();
    it.cp.maxRefs = maxRefs;
  }
  if (!in.ok()) return status::BadDecodingError;
  Session& s = *c.session;
  std::vector<ContinuationPoint> before = s.continuationPoints;
  uint32_t work = limits_.maxBrowseWork;
  c.out.ArrayLength(items.size());
  for (Item& it : items) {
    if (c.out.Overflow()) break;
    ContinuationPoint& cp = it.cp;
    StatusCode sc = status::Good;
    cp.node = space_.Find(it.id);
    if (!cp.node) {
      sc = status::BadNodeIdUnknown;
    } else if (cp.direction > 2) {
      sc = status::BadBrowseDirectionInvalid;
    } else if (!it.refType.IsNull()) {
      if (it.refType.ns != 0 || it.refType.kind != IdKind::Numeric ||
          !space_.IsReferenceType(it.refType.num))
        sc = status::BadReferenceTypeIdInvalid;
      cp.hasRefType = true;
      cp.refType = it.refType.num;
    }
    if (IsBad(sc)) {
      c.out.U32(sc);
      c.out.NullString();
      c.out.EmptyArray();
      continue;
    }
    EncodeBrowseResult(s, cp, c.out, work);
  }
  c.out.EmptyArray();  // diagnostic infos
  // An answer too large is never sent: its continuation points would be lost slots.
  if (c.out.Overflow()) s.continuationPoints = std::move(before);
  return status::Good;
}

StatusCode Server::BrowseNext(Call& c) {
  Decoder& in = c.in;
  bool release = in.Bool();
  int32_t n = in.ArrayLength(4);
  if (!in.ok()) return status::BadDecodingError;
  if (n == 0) return status::BadNothingToDo;
  if (uint32_t(n) > limits_.maxNodesPerBrowse) return status::BadTooManyOperations;
  std::vector<std::string_view> ids(static_cast<size_t>(n));
  for (std::string_view& id : ids) id = in.ByteString();
  if (!in.ok()) return status::BadDecodingError;
  Session& s = *c.session;
  std::vector<ContinuationPoint> before = s.continuationPoints;
  uint32_t work = limits_.maxBrowseWork;
  c.out.ArrayLength(ids.size());
  for (std::string_view id : ids) {
    if (c.out.Overflow()) break;
    auto it = std::find_if(s.continuationPoints.begin(), s.continuationPoints.end(),
                           [id](const ContinuationPoint& p) { return p.id == id; });
    if (it == s.continuationPoints.end()) {
      c.out.U32(status::BadContinuationPointInvalid);
      c.out.NullString();
      c.out.EmptyArray();
      continue;
    }
    ContinuationPoint cp = std::move(*it);
    s.continuationPoints.erase(it);
    if (release) {
      c.out.U32(status::Good);
      c.out.NullString();
      c.out.EmptyArray();
      continue;
    }
    EncodeBrowseResult(s, cp, c.out, work);
  }
  c.out.EmptyArray();  // diagnostic infos
  // The client gets no answer, so it keeps the points it asked with.
  if (c.out.Overflow()) s.continuationPoints = std::move(before);
  return status::Good;
}

StatusCode Server::TranslateBrowsePaths(Call& c) {
  Decoder& in = c.in;
  int32_t n = in.ArrayLength(6);
  if (!in.ok()) return status::BadDecodingError;
  if (n == 0) return status::BadNothingToDo;
  if (uint32_t(n) > limits_.maxNodesPerTranslateBrowsePaths) return status::BadTooManyOperations;
  struct Element {
    NodeIdView refType;
    bool inverse;
    bool subtypes;
    QualifiedNameView name;
  };
  struct Path {
    NodeIdView start;
    size_t first;  // into `elements`
    size_t count;
    bool tooLong;  // its elements are skipped, not kept
  };
  std::vector<Path> paths(static_cast<size_t>(n));
  std::vector<Element> elements;
  for (Path& p : paths) {
    p.start = in.NodeId();
    int32_t m = in.ArrayLength(8);
    p.first = elements.size();
    p.count = size_t(m);
    p.tooLong = uint32_t(m) > limits_.maxBrowsePathLength;
    for (int32_t k = 0; k < m && in.ok(); ++k) {
      Element el;
      el.refType = in.NodeId();
      el.inverse = in.Bool();
      el.subtypes = in.Bool();
      el.name = in.QualifiedName();
      if (!p.tooLong) elements.push_back(el);
    }
  }
  if (!in.ok()) return status::BadDecodingError;
  uint32_t work = limits_.maxBrowseWork;
  std::vector<Node*> current, next;
  std::unordered_set<const Node*> seen;
  std::vector<uint32_t> scratch;
  c.out.ArrayLength(paths.size());
  for (const Path& p : paths) {
    if (c.out.Overflow()) break;
    Node* start = space_.Find(p.start);
    StatusCode sc = status::Good;
    if (p.tooLong) sc = status::BadTooManyOperations;
    else if (!start) sc = status::BadNodeIdUnknown;
    else if (p.count == 0) sc = status::BadNothingToDo;
    for (size_t k = 0; k < p.count && !IsBad(sc); ++k)
      if (elements[p.first + k].name.name.empty()) sc = status::BadBrowseNameInvalid;
    current.assign(1, start);
    for (size_t k = 0; k < p.count && !IsBad(sc); ++k) {
      const Element& el = elements[p.first + k];
      bool anyType = el.refType.IsNull();
      uint32_t refType = el.refType.kind == IdKind::Numeric && el.refType.ns == 0 ? el.refType.num : 0;
      next.clear();
      // A fresh set: clearing keeps the buckets of the largest step, and wiping them
      // again for every later step would cost more than the steps.
      if (!seen.empty()) seen = {};
      for (Node* node : current) {
        std::span<const uint32_t> hits = space_.RefsNamed(*node, el.name.name, scratch);
        uint64_t cost = 1 + uint64_t(hits.size()) * (1 + kEncodeWork);
        if (cost > work) {
          // This path would take more than the request's work: refuse it, answer the
          // others while work is left.
          sc = status::BadTooManyOperations;
          break;
        }
        work -= uint32_t(cost);
        for (uint32_t h : hits) {
          const Reference& r = node->refs[h];
          if (r.forward == el.inverse || r.target->browseNs != el.name.ns) continue;
          if (!anyType && !(el.subtypes ? space_.IsSubtypeOf(r.type, refType) : r.type == refType))
            continue;
          if (seen.insert(r.target).second) next.push_back(r.target);
        }
      }
      current.swap(next);
      if (!IsBad(sc) && current.empty()) sc = status::BadNoMatch;
    }
    c.out.U32(sc);
    if (IsBad(sc)) {
      c.out.EmptyArray();
      continue;
    }
    c.out.ArrayLength(current.size());
    for (Node* t : current) {
      c.out.ExpandedNodeId(t->id.View());
      c.out.U32(0xFFFFFFFFu);  // remaining path index: the path is complete
    }
  }
  c.out.EmptyArray();  // diagnostic infos
  return status::Good;
}

StatusCode Server::RegisterNodes(Call& c) {
  int32_t n = c.in.ArrayLength(2);
  if (!c.in.ok()) return status::BadDecodingError;
  if (n == 0) return status::BadNothingToDo;
  if (uint32_t(n) > limits_.maxNodesPerRegisterNodes) return status::BadTooManyOperations;
  // Node ids are looked up by hash already; the registered id is the id itself.
  c.out.ArrayLength(size_t(n));
  for (int32_t i = 0; i < n && c.in.ok(); ++i) c.out.NodeId(c.in.NodeId());
  return status::Good;
}

StatusCode Server::UnregisterNodes(Call& c) {
  int32_t n = c.in.ArrayLength(2);
  if (!c.in.ok()) return status::BadDecodingError;
  if (n == 0) return status::BadNothingToDo;
  if (uint32_t(n) > limits_.maxNodesPerRegisterNodes) return status::BadTooManyOperations;
  for (int32_t i = 0; i < n && c.in.ok(); ++i) c.in.NodeId();
  return status::Good;
}

}  // namespace uaclib
