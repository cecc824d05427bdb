// The address space: nodes with their attributes and references, indexed by node id
// (NodeTable, a flat table that stays one probe deep at any size).
// Nodes never move or disappear once added, so references, continuation points and
// monitored items hold plain pointers to them.
#ifndef UACLIB_ADDRESS_SPACE_H
#define UACLIB_ADDRESS_SPACE_H

#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "uaclib/encoding.h"
#include "uaclib/node_ids.h"
#include "uaclib/node_table.h"

namespace uaclib {

struct Node;
class MonitoredItem;

struct Reference {
  uint32_t type;  // numeric reference type id in namespace 0
  bool forward;
  Node* target;
};

// Values the server computes when they are read.
enum class Dynamic : uint8_t { None, CurrentTime, ServerStatus, State };

// Type codes of variables added through the C API.
enum class VarType : uint8_t { Boolean = 1, Int32 = 2, Float = 3, Double = 4, String = 5 };

// The value of a variable added through the C API, as uasUpdateVar left it.
struct VarSlot {
  double value = 0;
  uint32_t status = 0;
  DateTime sourceTime = 0;
  DateTime serverTime = 0;
  VarType type = VarType::Double;
  bool writable = false;
  void* context = nullptr;
};

// Access level bits (CurrentRead, CurrentWrite).
constexpr uint8_t kAccessRead = 0x01, kAccessWrite = 0x02;

struct Node {
  NodeId id;
  NodeClass cls = NodeClass::Object;
  uint16_t browseNs = 0;
  std::string browseName;
  std::string displayName;
  std::string description;
  std::vector<Reference> refs;
  Node* typeDefinition = nullptr;  // target of the forward HasTypeDefinition reference

  // Variables and variable types.
  uint32_t dataType = 0;  // numeric data type id in namespace 0
  int32_t valueRank = -1;
  uint8_t accessLevel = kAccessRead;
  double minimumSamplingInterval = 0;
  Variant value;  // static value
  Dynamic dynamic = Dynamic::None;
  VarSlot* slot = nullptr;  // variables of the C API

  // Objects and views.
  uint8_t eventNotifier = 0;
  // Types.
  bool isAbstract = false;
  bool symmetric = false;
  std::string inverseName;

  // Monitored items that watch the Value of this node (variables of the C API).
  std::vector<MonitoredItem*> watchers;
};

class AddressSpace {
 public:
  AddressSpace() = default;
  AddressSpace(const AddressSpace&) = delete;
  AddressSpace& operator=(const AddressSpace&) = delete;

  // Adds a node; returns nullptr when the id is taken.
  Node* Add(NodeId id, NodeClass cls, uint16_t browseNs, std::string_view browseName,
            std::string_view displayName);
  // Adds `type` from `source` to `target` and the inverse reference on the target.
  void Link(Node* source, uint32_t type, Node* target);
  Node* Find(const NodeIdView& id) const;
  Node* Ns0(uint32_t n) const { return Find(NodeIdView{0, IdKind::Numeric, n, {}}); }
  size_t Count() const { return nodes_.size(); }
  // The index itself, for its size in tests and benchmarks.
  const NodeTable& Index() const { return index_; }

  // Positions in n.refs of the references whose target has the browse name `name` (of
  // any namespace), in reference order. Nodes with many references keep an index built
  // on first use, so following a path through a large folder neither scans nor copies;
  // for the others the positions are collected in `scratch`.
  std::span<const uint32_t> RefsNamed(const Node& n, std::string_view name,
                                      std::vector<uint32_t>& scratch);

  // True when reference type `type` is `base` or one of its subtypes.
  bool IsSubtypeOf(uint32_t type, uint32_t base) const;
  bool IsReferenceType(uint32_t type) const { return refParent_.count(type) != 0; }
  // Call after all reference type nodes were added.
  void IndexReferenceTypes();

 private:
  std::deque<Node> nodes_;
  NodeTable index_;
  std::unordered_map<uint32_t, uint32_t> refParent_;  // reference type -> supertype (0: none)
  // Browse name of the target -> reference positions, per node with many references.
  std::unordered_map<const Node*, std::unordered_map<std::string_view, std::vector<uint32_t>>>
      byName_;
};

// Configuration texts shown in the Server object.
struct ServerInfo {
  std::string applicationUri;
  std::string productUri;
  std::string productName;
  std::string manufacturerName;
  std::string softwareVersion;
  std::string buildNumber;
  DateTime buildDate = 0;
};

// Limits the server enforces and publishes in ServerCapabilities.
struct Limits {
  uint32_t receiveBufferSize = 65535;
  uint32_t sendBufferSize = 65535;
  uint32_t maxMessageSize = 16 * 1024 * 1024;
  uint32_t maxChunkCount = 4096;
  uint32_t maxConnections = 256;
  uint32_t maxSessions = 200;
  uint32_t maxSubscriptionsPerSession = 50;
  uint32_t maxSubscriptions = 1000;
  uint32_t maxMonitoredItemsPerSubscription = 100000;
  uint32_t maxMonitoredItems = 500000;
  uint32_t maxPublishRequestsPerSession = 100;
  uint32_t maxNodesPerRead = 20000;
  uint32_t maxNodesPerWrite = 10000;
  uint32_t maxNodesPerBrowse = 5000;
  uint32_t maxNodesPerRegisterNodes = 10000;
  uint32_t maxNodesPerTranslateBrowsePaths = 5000;
  uint32_t maxMonitoredItemsPerCall = 20000;
  uint32_t maxReferencesPerNode = 100000;
  uint32_t maxBrowsePathLength = 32;  // elements of one path in TranslateBrowsePaths
  // Work of one Browse, BrowseNext or TranslateBrowsePaths request: a reference looked
  // at counts 1, one put into the answer 8. Browse continues past it with continuation
  // points; a path that would pass it answers BadTooManyOperations.
  uint32_t maxBrowseWork = 200000;
  uint16_t maxBrowseContinuationPoints = 10;
  uint32_t maxRetransmissionQueue = 20;
  uint32_t maxQueueSize = 1000;  // monitored item queue
  size_t maxQueuedValues = 2000000;  // queue sizes of all items together
  int64_t helloTimeoutMs = 10000;
  // A connection that sends nothing for this long is closed, unless a session on its
  // channel has a longer time-out.
  int64_t idleConnectionMs = 60000;
  double minSessionTimeoutMs = 1000;
  double maxSessionTimeoutMs = 3600000;
  uint32_t minChannelLifetimeMs = 1000;
  uint32_t maxChannelLifetimeMs = 3600000;
  double minPublishingIntervalMs = 10;
  double maxPublishingIntervalMs = 3600000;
  double minSamplingIntervalMs = 0;  // 0: every change reaches the item
  double minPolledSamplingMs = 100;  // values the server computes (CurrentTime)
  // Unsent output that cuts a connection off: reading pauses far below it, so only one
  // answer of the largest message size can pass the pause bound.
  size_t maxPendingOutput = 32 * 1024 * 1024;
  int64_t closeGraceMs = 5000;  // a closing connection may flush its output this long

  // Budgets against clients that hold resources without doing useful work.
  uint32_t maxConnectionsPerPeer = 64;  // per remote IP address
  // Connections without an activated session; the oldest makes room for a new one.
  uint32_t maxUnactivatedConnections = 64;
  // A connection and a session must see an ActivateSession within this time.
  int64_t activateTimeoutMs = 10000;
  uint32_t maxUnactivatedSessionsPerConnection = 4;
  // A session whose connection is gone keeps its subscriptions this long at most.
  int64_t orphanGraceMs = 30000;
  uint32_t maxAcknowledgementsPerPublish = 1000;
  // Bytes of unfinished multi-chunk messages: a connection without an activated
  // session, and all connections together.
  size_t maxUnactivatedMessageSize = 1024 * 1024;
  size_t maxAssemblyBytes = 64 * 1024 * 1024;
  // A connection's requests are not read while this much of its output is unsent.
  size_t readPauseOutput = 1024 * 1024;
  // Encrypted user secrets longer than this many key blocks are refused undecrypted.
  uint32_t maxSecretBlocks = 4;
  // Failed ActivateSessions per peer address: a burst, then one per refill time.
  uint32_t activationFailBurst = 5;
  int64_t activationFailRefillMs = 2000;
  // Time one uasRunIntv call may spend on requests and sampling before it defers the
  // rest to the next call (one request is never split).
  int64_t runBudgetMs = 5;
};

// Builds namespace 0: the standard folders, the Server object, the type nodes.
void BuildNamespaceZero(AddressSpace& space, const ServerInfo& info, const Limits& limits,
                        const std::vector<std::string>& namespaces);

}  // namespace uaclib
#endif
