// Sessions, subscriptions and monitored items (OPC UA Part 4).
// All of it is owned by the server and used on its thread only.
#ifndef UACLIB_SUBSCRIPTION_H
#define UACLIB_SUBSCRIPTION_H

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "uaclib/address_space.h"
#include "uaclib/encoding.h"
#include "uaclib/status_codes.h"

namespace uaclib {

class Session;
class Subscription;

// TimestampsToReturn values.
enum class Timestamps : uint32_t { Source = 0, Server = 1, Both = 2, Neither = 3 };
// MonitoringMode values.
enum class MonitoringMode : uint32_t { Disabled = 0, Sampling = 1, Reporting = 2 };

struct DataChangeFilterParams {
  uint32_t trigger = 1;  // 0 Status, 1 StatusValue, 2 StatusValueTimestamp
  uint32_t deadbandType = 0;  // 0 none, 1 absolute
  double deadband = 0;
};

class MonitoredItem {
 public:
  uint32_t id = 0;
  uint32_t clientHandle = 0;
  Node* node = nullptr;
  uint32_t attributeId = 0;
  Timestamps timestamps = Timestamps::Source;
  MonitoringMode mode = MonitoringMode::Reporting;
  double samplingMs = 0;
  uint32_t queueSize = 1;
  bool discardOldest = true;
  DataChangeFilterParams filter;
  Subscription* sub = nullptr;

  // Sampling state.
  bool pushed = false;   // sampled when uasUpdateVar changes the node (else polled)
  bool pending = false;  // a change waits for the next sampling time
  bool ready = false;    // listed in the subscription's ready list
  bool hasLast = false;
  int64_t nextSampleMs = 0;
  DataValue last;
  std::deque<DataValue> queue;
};

struct SentMessage {
  uint32_t seq;
  std::string bytes;  // encoded NotificationMessage
};

class Subscription {
 public:
  uint32_t id = 0;
  Session* session = nullptr;
  double intervalMs = 1000;
  uint32_t lifetimeCount = 0;
  uint32_t maxKeepAlive = 0;
  uint32_t maxNotifications = 0;  // per publish, 0: our limit
  bool enabled = true;
  uint8_t priority = 0;

  int64_t nextTickMs = 0;
  uint32_t keepAliveCounter = 0;
  uint32_t lifetimeCounter = 0;
  uint32_t nextSeq = 1;
  bool messageSent = false;
  bool late = false;  // wants to send and waits for a Publish request

  std::unordered_map<uint32_t, std::unique_ptr<MonitoredItem>> items;
  std::deque<MonitoredItem*> ready;  // reporting items with queued values, in order
  std::deque<SentMessage> sent;      // retransmission queue
};

struct ContinuationPoint {
  std::string id;
  Node* node = nullptr;
  size_t next = 0;  // index into node->refs
  uint32_t direction = 0;
  bool hasRefType = false;
  uint32_t refType = 0;
  bool includeSubtypes = false;
  uint32_t nodeClassMask = 0;
  uint32_t resultMask = 0;
  uint32_t maxRefs = 0;
};

struct PendingPublish {
  uint64_t connId = 0;
  uint32_t requestId = 0;
  uint32_t requestHandle = 0;
  int64_t deadlineMs = 0;  // 0: none
  std::vector<StatusCode> ackResults;
};

class Session {
 public:
  NodeId sessionId;
  NodeId authToken;
  std::string name;
  uint32_t channelId = 0;
  bool activated = false;
  double timeoutMs = 60000;
  int64_t lastSeenMs = 0;
  int64_t createdMs = 0;
  int64_t orphanSinceMs = 0;  // its connection closed at this time; 0: it has one
  std::string serverNonce;
  std::string user;
  uint32_t maxResponseSize = 0;
  std::vector<ContinuationPoint> continuationPoints;
  std::vector<std::unique_ptr<Subscription>> subscriptions;
  std::deque<PendingPublish> publishQueue;
  // Subscriptions that timed out; each StatusChangeNotification goes out with the
  // next Publish request.
  std::deque<std::pair<uint32_t, uint32_t>> statusChanges;  // subscription id, sequence

  Subscription* FindSubscription(uint32_t id) const {
    for (const auto& s : subscriptions)
      if (s->id == id) return s.get();
    return nullptr;
  }
};

}  // namespace uaclib
#endif
