// The flat node id index: found and not found under forced collisions, across growth,
// and ids that differ only in namespace or kind.
#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "uaclib/address_space.h"
#include "uaclib/node_table.h"

namespace {

using uaclib::IdKind;
using uaclib::Node;
using uaclib::NodeId;
using uaclib::NodeIdView;
using uaclib::NodeTable;

uint64_t OneHash(const NodeIdView&) { return 42; }        // every id collides
uint64_t TwoHashes(const NodeIdView& v) { return v.num & 1; }  // two long chains

struct Nodes {
  std::deque<Node> all;
  Node* Make(NodeId id) {
    Node& n = all.emplace_back();
    n.id = std::move(id);
    return &n;
  }
};

TEST(NodeTable, FindsEveryIdAndRefusesDuplicatesWhateverTheHash) {
  struct Case {
    const char* name;
    NodeTable::HashFn hash;
    int count;
  } cases[] = {{"spread", &NodeTable::Hash, 100000}, {"one chain", &OneHash, 700},
               {"two chains", &TwoHashes, 700}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Nodes nodes;
    NodeTable t(c.hash);
    EXPECT_EQ(t.Find(NodeIdView{1, IdKind::Numeric, 1, {}}), nullptr);  // empty table
    for (int i = 0; i < c.count; ++i) {
      ASSERT_TRUE(t.Insert(nodes.Make(NodeId::Numeric(1, uint32_t(i)))));
      ASSERT_TRUE(t.Insert(nodes.Make(NodeId::String(1, "P.V" + std::to_string(i)))));
    }
    EXPECT_EQ(t.Size(), size_t(2 * c.count));
    // Never more than half full: a free slot ends every probe.
    EXPECT_LE(t.Size() * 2, t.Capacity());
    for (size_t k = 0; k < nodes.all.size(); ++k) {
      const Node& n = nodes.all[k];
      ASSERT_EQ(t.Find(n.id.View()), &n) << k;
      // The same id a second time is refused and changes nothing.
      ASSERT_FALSE(t.Insert(nodes.Make(n.id)));
      nodes.all.pop_back();
    }
    EXPECT_EQ(t.Size(), size_t(2 * c.count));
    EXPECT_EQ(t.Find(NodeId::Numeric(1, uint32_t(c.count)).View()), nullptr);
    EXPECT_EQ(t.Find(NodeId::String(1, "P.V" + std::to_string(c.count)).View()), nullptr);
    EXPECT_EQ(t.Find(NodeId::String(1, "P.V").View()), nullptr);
  }
}

TEST(NodeTable, IdsThatDifferOnlyInNamespaceOrKindAreDistinct) {
  Nodes nodes;
  NodeTable t;
  NodeId ids[] = {NodeId::Numeric(0, 85), NodeId::Numeric(1, 85), NodeId::String(1, "85"),
                  NodeId::String(2, "85"), NodeId::String(1, ""), NodeId::Numeric(0, 0)};
  ids[4].kind = IdKind::ByteString;  // the empty byte string beside the empty string below
  for (const NodeId& id : ids) ASSERT_TRUE(t.Insert(nodes.Make(id)));
  ASSERT_TRUE(t.Insert(nodes.Make(NodeId::String(1, ""))));
  for (size_t i = 0; i < nodes.all.size(); ++i) EXPECT_EQ(t.Find(nodes.all[i].id.View()), &nodes.all[i]) << i;
  // A view of an id equal in value but held elsewhere finds the same node.
  std::string text = "8";
  text += "5";
  EXPECT_EQ(t.Find(NodeIdView{1, IdKind::String, 0, text}), &nodes.all[2]);
  EXPECT_EQ(t.Find(NodeIdView{3, IdKind::String, 0, text}), nullptr);
}

TEST(NodeTable, AddressSpaceLooksUpThroughIt) {
  uaclib::AddressSpace space;
  for (uint32_t i = 0; i < 5000; ++i)
    ASSERT_NE(space.Add(NodeId::String(1, "N" + std::to_string(i)), uaclib::NodeClass::Variable, 1, "b", "d"), nullptr);
  EXPECT_EQ(space.Add(NodeId::String(1, "N17"), uaclib::NodeClass::Variable, 1, "b", "d"), nullptr);
  EXPECT_EQ(space.Index().Size(), 5000u);
  Node* n = space.Find(NodeId::String(1, "N4999").View());
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->id.text, "N4999");
}

}  // namespace
