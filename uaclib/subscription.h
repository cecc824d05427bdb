// Sessions, subscriptions and monitored items (OPC UA Part 4).
// All of it is owned by the server and used on its thread only.
#ifndef UACLIB_SUBSCRIPTION_H
#define UACLIB_SUBSCRIPTION_H

#include <climits>
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
  // Positions in the lists that hold the item, so it leaves each in constant time:
  // node->watchers (pushed items), the server's pending or polled list.
  size_t watcherPos = 0;
  size_t pendingPos = 0;
  size_t polledPos = 0;
  MonitoredItem* readyPrev = nullptr;
  MonitoredItem* readyNext = nullptr;
  int64_t nextSampleMs = 0;
  DataValue last;
  std::deque<DataValue> queue;
};

// Adds `m` to an unordered list whose members know their position (`pos`).
inline void ListAdd(std::vector<MonitoredItem*>& list, MonitoredItem* m,
                    size_t MonitoredItem::*pos) {
  m->*pos = list.size();
  list.push_back(m);
}
// Removes `m` from such a list in constant time; the last member takes its place.
inline void ListRemove(std::vector<MonitoredItem*>& list, MonitoredItem* m,
                       size_t MonitoredItem::*pos) {
  size_t at = m->*pos;
  if (at >= list.size() || list[at] != m) return;
  MonitoredItem* last = list.back();
  list[at] = last;
  last->*pos = at;
  list.pop_back();
}

// Reporting items with queued values, in the order their values came: a list through
// the items themselves, so an item leaves it in constant time.
class ReadyList {
 public:
  bool Empty() const { return head_ == nullptr; }
  MonitoredItem* Front() const { return head_; }
  void PushBack(MonitoredItem* m) {
    m->readyPrev = tail_;
    m->readyNext = nullptr;
    (tail_ ? tail_->readyNext : head_) = m;
    tail_ = m;
  }
  void Remove(MonitoredItem* m) {
    (m->readyPrev ? m->readyPrev->readyNext : head_) = m->readyNext;
    (m->readyNext ? m->readyNext->readyPrev : tail_) = m->readyPrev;
    m->readyPrev = m->readyNext = nullptr;
  }

 private:
  MonitoredItem* head_ = nullptr;
  MonitoredItem* tail_ = nullptr;
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
  int64_t lastSentMs = INT64_MIN / 2;  // the last publish response (data or keep-alive)

  std::unordered_map<uint32_t, std::unique_ptr<MonitoredItem>> items;
  ReadyList ready;
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
  // Certificate of the secure channel that created it (empty over None): only a
  // channel of the same client may activate it.
  std::string clientCertificate;
  std::string user;
  uint32_t maxResponseSize = 0;
  std::vector<ContinuationPoint> continuationPoints;
  std::vector<std::unique_ptr<Subscription>> subscriptions;  // in the order of creation
  std::unordered_map<uint32_t, Subscription*> subscriptionIndex;  // id -> subscription
  std::deque<PendingPublish> publishQueue;
  // Subscriptions that timed out; each StatusChangeNotification goes out with the
  // next Publish request.
  std::deque<std::pair<uint32_t, uint32_t>> statusChanges;  // subscription id, sequence

  Subscription* FindSubscription(uint32_t id) const {
    auto it = subscriptionIndex.find(id);
    return it == subscriptionIndex.end() ? nullptr : it->second;
  }
};

}  // namespace uaclib
#endif
