// Subscription and monitored item services, sampling and the publish cycle
// (OPC UA Part 4; the publish state table in a reduced form).
//
// Sampling: items on variables of the C API are sampled when uasUpdateVar changes the
// node, at most once per sampling interval; a change inside the interval is sampled at
// its end, so the latest value always arrives. Items on computed values (CurrentTime,
// ServerStatus) are polled at their interval; other attributes are sampled once.
#include <algorithm>
#include <cmath>

#include "uaclib/log.h"
#include "uaclib/node_ids.h"
#include "uaclib/server.h"

namespace uaclib {

namespace {

constexpr uint32_t kMaxKeepAlive = 100000;
constexpr uint32_t kMaxLifetime = 10000000;
constexpr uint32_t kMaxNotificationsPerPublish = 65536;
// StatusCode info bits: InfoType DataValue (0x400) with Overflow (0x80).
constexpr uint32_t kOverflowBits = 0x480;

bool SameVariant(const Variant& a, const Variant& b, const DataChangeFilterParams& f) {
  if (a.type != b.type || a.array != b.array) return false;
  if (a.array) {
    if (a.items.size() != b.items.size()) return false;
    DataChangeFilterParams plain;
    for (size_t i = 0; i < a.items.size(); ++i)
      if (!SameVariant(a.items[i], b.items[i], plain)) return false;
    return true;
  }
  bool absolute = f.deadbandType == 1;
  switch (a.type) {
    case kFloat: case kDouble:
      if (std::isnan(a.d) || std::isnan(b.d)) return std::isnan(a.d) && std::isnan(b.d);
      return absolute ? std::fabs(a.d - b.d) <= f.deadband : a.d == b.d;
    case kSByte: case kInt16: case kInt32: case kInt64:
      return absolute ? std::fabs(double(a.i) - double(b.i)) <= f.deadband : a.i == b.i;
    case kByte: case kUInt16: case kUInt32: case kUInt64:
      return absolute ? std::fabs(double(a.u) - double(b.u)) <= f.deadband : a.u == b.u;
    default:
      return a.u == b.u && a.s == b.s && a.locale == b.locale && a.ns == b.ns &&
             a.id.View() == b.id.View();
  }
}

bool Changed(const MonitoredItem& m, const DataValue& last, const DataValue& now) {
  if (last.status != now.status) return true;
  if (m.filter.trigger == 0) return false;
  if (last.hasValue != now.hasValue) return true;
  if (now.hasValue && !SameVariant(last.value, now.value, m.filter)) return true;
  return m.filter.trigger == 2 && last.sourceTime != now.sourceTime;
}

// MonitoringParameters (OPC UA Part 4) of a create or modify request.
struct MonitoringParameters {
  uint32_t clientHandle = 0;
  double sampling = 0;
  ExtensionObjectView filter;
  uint32_t queueSize = 0;
  bool discardOldest = false;
};

MonitoringParameters DecodeMonitoringParameters(Decoder& in) {
  MonitoringParameters p;
  p.clientHandle = in.U32();
  p.sampling = in.F64();
  p.filter = in.ExtensionObject();
  p.queueSize = in.U32();
  p.discardOldest = in.Bool();
  return p;
}

}  // namespace

// ------------------------------------------------------------------ sampling and queues

void Server::Sample(MonitoredItem& m, int64_t now) {
  DataValue dv;
  if (m.attributeId == attr::Value)
    ReadValue(*m.node, m.timestamps, dv);
  else
    ReadAttribute(*m.node, m.attributeId, m.timestamps, dv);
  m.nextSampleMs = now + int64_t(m.samplingMs);
  if (m.hasLast && !Changed(m, m.last, dv)) return;
  m.last = dv;
  m.hasLast = true;
  Enqueue(m, std::move(dv));
}

void Server::OnValueChanged(Node& n, int64_t now) {
  for (MonitoredItem* m : n.watchers) {
    if (m->mode == MonitoringMode::Disabled) continue;
    if (now >= m->nextSampleMs) {
      Sample(*m, now);
    } else if (!m->pending) {
      m->pending = true;
      ListAdd(pendingItems_, m, &MonitoredItem::pendingPos);
      pendingDueMs_ = std::min(pendingDueMs_, m->nextSampleMs);
    }
  }
}

void Server::Enqueue(MonitoredItem& m, DataValue dv) {
  if (m.mode == MonitoringMode::Disabled) return;
  bool overflow = m.queue.size() >= m.queueSize;
  if (overflow) {
    if (m.discardOldest)
      m.queue.pop_front();
    else
      m.queue.pop_back();
  }
  m.queue.push_back(std::move(dv));
  // OPC UA Part 4: the Overflow bit marks where values were lost, for queues above 1.
  if (overflow && m.queueSize > 1) {
    if (m.discardOldest)
      m.queue.front().status |= kOverflowBits;
    else
      m.queue.back().status |= kOverflowBits;
  }
  if (m.mode == MonitoringMode::Reporting && !m.ready) {
    m.ready = true;
    m.sub->ready.PushBack(&m);
  }
}

// ------------------------------------------------------------------------ subscriptions

void Server::ReviseSubscription(Subscription& s, double interval, uint32_t lifetime,
                                uint32_t keepAlive, uint32_t maxNotif) {
  if (!std::isfinite(interval) || interval < limits_.minPublishingIntervalMs)
    interval = limits_.minPublishingIntervalMs;
  s.intervalMs = std::min(interval, limits_.maxPublishingIntervalMs);
  if (keepAlive == 0) keepAlive = 10;
  // A keep-alive comes at least every 20 minutes, and a subscription nobody publishes
  // for lives at most an hour (or three keep-alive periods), so that forgotten
  // subscriptions cannot pile up values.
  uint32_t keepAliveCap = uint32_t(std::clamp(1200000.0 / s.intervalMs, 1.0, double(kMaxKeepAlive)));
  s.maxKeepAlive = std::min(keepAlive, keepAliveCap);
  uint32_t lifetimeCap = uint32_t(std::clamp(3600000.0 / s.intervalMs, 1.0, double(kMaxLifetime)));
  // OPC UA Part 4: the lifetime is at least three keep-alive periods.
  s.lifetimeCount = std::clamp(lifetime, 3 * s.maxKeepAlive, std::max(lifetimeCap, 3 * s.maxKeepAlive));
  s.maxNotifications = (maxNotif == 0 || maxNotif > kMaxNotificationsPerPublish)
                           ? kMaxNotificationsPerPublish
                           : maxNotif;
}

StatusCode Server::CreateSubscription(Call& c) {
  Decoder& in = c.in;
  double interval = in.F64();
  uint32_t lifetime = in.U32();
  uint32_t keepAlive = in.U32();
  uint32_t maxNotif = in.U32();
  bool enabled = in.Bool();
  uint8_t priority = in.U8();
  if (!in.ok()) return status::BadDecodingError;
  Session& session = *c.session;
  if (session.subscriptions.size() >= limits_.maxSubscriptionsPerSession ||
      subscriptionCount_ >= limits_.maxSubscriptions)
    return status::BadTooManySubscriptions;
  auto s = std::make_unique<Subscription>();
  s->id = ++lastSubscriptionId_;
  s->session = &session;
  ReviseSubscription(*s, interval, lifetime, keepAlive, maxNotif);
  s->enabled = enabled;
  s->priority = priority;
  s->nextTickMs = NowMs() + int64_t(s->intervalMs);
  c.out.U32(s->id);
  c.out.F64(s->intervalMs);
  c.out.U32(s->lifetimeCount);
  c.out.U32(s->maxKeepAlive);
  Log(kLogSession, 2, "subscription %u: %.0f ms, keep-alive %u, lifetime %u", s->id, s->intervalMs,
      s->maxKeepAlive, s->lifetimeCount);
  session.subscriptionIndex.emplace(s->id, s.get());
  session.subscriptions.push_back(std::move(s));
  ++subscriptionCount_;
  return status::Good;
}

StatusCode Server::ModifySubscription(Call& c) {
  Decoder& in = c.in;
  uint32_t id = in.U32();
  double interval = in.F64();
  uint32_t lifetime = in.U32();
  uint32_t keepAlive = in.U32();
  uint32_t maxNotif = in.U32();
  uint8_t priority = in.U8();
  if (!in.ok()) return status::BadDecodingError;
  Subscription* s = c.session->FindSubscription(id);
  if (!s) return status::BadSubscriptionIdInvalid;
  ReviseSubscription(*s, interval, lifetime, keepAlive, maxNotif);
  s->priority = priority;
  s->lifetimeCounter = 0;
  c.out.F64(s->intervalMs);
  c.out.U32(s->lifetimeCount);
  c.out.U32(s->maxKeepAlive);
  return status::Good;
}

// The services below whose requests are only arrays of UInt32 read them as they act:
// the checked array length guarantees every element is there, so nothing can be left
// half done by a request cut short.

StatusCode Server::SetPublishingMode(Call& c) {
  bool enabled = c.in.Bool();
  int32_t n = c.in.ArrayLength(4);
  if (!c.in.ok()) return status::BadDecodingError;
  if (n == 0) return status::BadNothingToDo;
  c.out.ArrayLength(size_t(n));
  for (int32_t i = 0; i < n; ++i) {
    Subscription* s = c.session->FindSubscription(c.in.U32());
    if (s) s->enabled = enabled;
    c.out.U32(s ? status::Good : status::BadSubscriptionIdInvalid);
  }
  c.out.EmptyArray();
  return status::Good;
}

StatusCode Server::DeleteSubscriptions(Call& c) {
  int32_t n = c.in.ArrayLength(4);
  if (!c.in.ok()) return status::BadDecodingError;
  if (n == 0) return status::BadNothingToDo;
  c.out.ArrayLength(size_t(n));
  for (int32_t i = 0; i < n; ++i) {
    uint32_t id = c.in.U32();
    bool found = c.session->FindSubscription(id) != nullptr;
    if (found) DeleteSubscription(*c.session, id);
    c.out.U32(found ? status::Good : status::BadSubscriptionIdInvalid);
  }
  c.out.EmptyArray();
  return status::Good;
}

void Server::DeleteSubscription(Session& s, uint32_t id) {
  auto it = std::find_if(s.subscriptions.begin(), s.subscriptions.end(),
                         [id](const auto& p) { return p->id == id; });
  if (it == s.subscriptions.end()) return;
  Subscription& sub = **it;
  for (auto& [itemId, m] : sub.items) UnhookItem(sub, *m);
  sub.items.clear();
  s.subscriptionIndex.erase(id);
  s.subscriptions.erase(it);
  --subscriptionCount_;
  if (s.subscriptions.empty() && s.statusChanges.empty()) AnswerPending(s, status::BadNoSubscription);
}

void Server::UnhookItem(Subscription& s, MonitoredItem& m) {
  // Every list knows the item's place in it: leaving costs the same for any count.
  if (m.pushed) ListRemove(m.node->watchers, &m, &MonitoredItem::watcherPos);
  else ListRemove(polledItems_, &m, &MonitoredItem::polledPos);
  if (m.pending) ListRemove(pendingItems_, &m, &MonitoredItem::pendingPos);
  if (m.ready) s.ready.Remove(&m);
  m.pending = m.ready = false;
  --monitoredItemCount_;
  queueSlots_ -= m.queueSize;
}

void Server::DeleteItem(Subscription& s, MonitoredItem* m) {
  UnhookItem(s, *m);
  s.items.erase(m->id);
}

// ------------------------------------------------------------------------ monitored items

StatusCode Server::ReviseItem(MonitoredItem& m, Subscription& s, double sampling,
                              const ExtensionObjectView& filter, uint32_t queueSize,
                              bool discardOldest) {
  DataChangeFilterParams params;
  if (!filter.typeId.IsNull()) {
    if (filter.typeId.IsNs0(enc::DataChangeFilter) && filter.encoding == 1) {
      if (m.attributeId != attr::Value) return status::BadFilterNotAllowed;
      Decoder d(reinterpret_cast<const uint8_t*>(filter.body.data()), filter.body.size());
      params.trigger = d.U32();
      params.deadbandType = d.U32();
      params.deadband = d.F64();
      if (!d.ok() || params.trigger > 2) return status::BadMonitoredItemFilterInvalid;
      if (params.deadbandType == 2) return status::BadMonitoredItemFilterUnsupported;  // needs EURange
      if (params.deadbandType > 2 || !(params.deadband >= 0)) return status::BadDeadbandFilterInvalid;
    } else if (filter.typeId.IsNs0(enc::EventFilter) || filter.typeId.IsNs0(enc::AggregateFilter)) {
      return status::BadMonitoredItemFilterUnsupported;
    } else {
      return status::BadMonitoredItemFilterInvalid;
    }
  }
  m.filter = params;
  // OPC UA Part 4: -1 asks for the publishing interval.
  if (!std::isfinite(sampling) || sampling < 0) sampling = s.intervalMs;
  double floor = m.pushed ? limits_.minSamplingIntervalMs : limits_.minPolledSamplingMs;
  m.samplingMs = std::min(std::max(sampling, floor), 3600000.0);
  m.queueSize = std::clamp<uint32_t>(queueSize, 1, limits_.maxQueueSize);
  m.discardOldest = discardOldest;
  while (m.queue.size() > m.queueSize) m.queue.pop_front();
  return status::Good;
}

StatusCode Server::CreateMonitoredItems(Call& c) {
  Decoder& in = c.in;
  uint32_t subId = in.U32();
  uint32_t ts = in.U32();
  int32_t n = in.ArrayLength(36);
  if (!in.ok()) return status::BadDecodingError;
  Subscription* sub = c.session->FindSubscription(subId);
  if (!sub) return status::BadSubscriptionIdInvalid;
  if (ts > 3) return status::BadTimestampsToReturnInvalid;
  if (n == 0) return status::BadNothingToDo;
  if (uint32_t(n) > limits_.maxMonitoredItemsPerCall) return status::BadTooManyOperations;
  // MonitoredItemCreateRequest: ItemToMonitor {NodeId, AttributeId, IndexRange,
  // DataEncoding}, MonitoringMode, MonitoringParameters {ClientHandle,
  // SamplingInterval, Filter, QueueSize, DiscardOldest}. All of them are decoded before
  // the first item is made.
  struct Request {
    NodeIdView id;
    uint32_t attributeId;
    std::string_view range;
    QualifiedNameView encoding;
    uint32_t mode;
    MonitoringParameters p;
  };
  std::vector<Request> requests(static_cast<size_t>(n));
  for (Request& r : requests) {
    r.id = in.NodeId();
    r.attributeId = in.U32();
    r.range = in.String();
    r.encoding = in.QualifiedName();
    r.mode = in.U32();
    r.p = DecodeMonitoringParameters(in);
  }
  if (!in.ok()) return status::BadDecodingError;
  int64_t now = NowMs();
  c.out.ArrayLength(requests.size());
  DataValue probe;
  for (const Request& r : requests) {
    Node* node = space_.Find(r.id);
    StatusCode sc = status::Good;
    if (!node)
      sc = status::BadNodeIdUnknown;
    else if (IsBad(ReadAttribute(*node, r.attributeId, Timestamps::Neither, probe)))
      sc = status::BadAttributeIdInvalid;
    else if (r.mode > 2)
      sc = status::BadMonitoringModeInvalid;
    else if (!r.range.empty())
      sc = status::BadIndexRangeInvalid;
    else if (!r.encoding.name.empty() &&
             (r.attributeId != attr::Value || r.encoding.name != "Default Binary"))
      sc = status::BadDataEncodingInvalid;
    else if (sub->items.size() >= limits_.maxMonitoredItemsPerSubscription ||
             monitoredItemCount_ >= limits_.maxMonitoredItems)
      sc = status::BadTooManyMonitoredItems;
    std::unique_ptr<MonitoredItem> m;
    if (!IsBad(sc)) {
      m = std::make_unique<MonitoredItem>();
      m->node = node;
      m->attributeId = r.attributeId;
      m->clientHandle = r.p.clientHandle;
      m->timestamps = Timestamps(ts);
      m->mode = MonitoringMode(r.mode);
      m->sub = sub;
      m->pushed = r.attributeId == attr::Value && node->slot;
      sc = ReviseItem(*m, *sub, r.p.sampling, r.p.filter, r.p.queueSize, r.p.discardOldest);
    }
    if (IsBad(sc)) {
      c.out.U32(sc);
      c.out.U32(0);
      c.out.F64(0);
      c.out.U32(0);
      c.out.NullExtensionObject();
      continue;
    }
    // Queue slots are shared by all items; past the budget new items queue one value.
    if (queueSlots_ + m->queueSize > limits_.maxQueuedValues) m->queueSize = 1;
    queueSlots_ += m->queueSize;
    m->id = ++lastItemId_;
    MonitoredItem* raw = m.get();
    sub->items.emplace(raw->id, std::move(m));
    ++monitoredItemCount_;
    if (raw->pushed)
      ListAdd(node->watchers, raw, &MonitoredItem::watcherPos);
    else
      ListAdd(polledItems_, raw, &MonitoredItem::polledPos);  // computed or static values
    if (raw->mode != MonitoringMode::Disabled) Sample(*raw, now);
    c.out.U32(status::Good);
    c.out.U32(raw->id);
    c.out.F64(raw->samplingMs);
    c.out.U32(raw->queueSize);
    c.out.NullExtensionObject();
  }
  c.out.EmptyArray();
  return status::Good;
}

StatusCode Server::ModifyMonitoredItems(Call& c) {
  Decoder& in = c.in;
  uint32_t subId = in.U32();
  uint32_t ts = in.U32();
  int32_t n = in.ArrayLength(24);
  if (!in.ok()) return status::BadDecodingError;
  Subscription* sub = c.session->FindSubscription(subId);
  if (!sub) return status::BadSubscriptionIdInvalid;
  if (ts > 3) return status::BadTimestampsToReturnInvalid;
  if (n == 0) return status::BadNothingToDo;
  if (uint32_t(n) > limits_.maxMonitoredItemsPerCall) return status::BadTooManyOperations;
  // MonitoredItemModifyRequest: MonitoredItemId, MonitoringParameters; all decoded first.
  struct Request {
    uint32_t id;
    MonitoringParameters p;
  };
  std::vector<Request> requests(static_cast<size_t>(n));
  for (Request& r : requests) {
    r.id = in.U32();
    r.p = DecodeMonitoringParameters(in);
  }
  if (!in.ok()) return status::BadDecodingError;
  c.out.ArrayLength(requests.size());
  for (const Request& r : requests) {
    auto it = sub->items.find(r.id);
    StatusCode sc = status::BadMonitoredItemIdInvalid;
    MonitoredItem* m = it == sub->items.end() ? nullptr : it->second.get();
    if (m) {
      // Revise a blank item with the same target, so a refused filter changes nothing
      // and the item's queue is not copied.
      MonitoredItem trial;
      trial.attributeId = m->attributeId;
      trial.pushed = m->pushed;
      sc = ReviseItem(trial, *sub, r.p.sampling, r.p.filter, r.p.queueSize, r.p.discardOldest);
      if (!IsBad(sc)) {
        size_t others = queueSlots_ - m->queueSize;
        if (others + trial.queueSize > limits_.maxQueuedValues) trial.queueSize = 1;
        queueSlots_ = others + trial.queueSize;
        m->clientHandle = r.p.clientHandle;
        m->timestamps = Timestamps(ts);
        m->filter = trial.filter;
        m->samplingMs = trial.samplingMs;
        m->queueSize = trial.queueSize;
        m->discardOldest = trial.discardOldest;
        while (m->queue.size() > m->queueSize) m->queue.pop_front();
      }
    }
    c.out.U32(sc);
    c.out.F64(m && !IsBad(sc) ? m->samplingMs : 0);
    c.out.U32(m && !IsBad(sc) ? m->queueSize : 0);
    c.out.NullExtensionObject();
  }
  c.out.EmptyArray();
  return status::Good;
}

StatusCode Server::SetMonitoringMode(Call& c) {
  Decoder& in = c.in;
  uint32_t subId = in.U32();
  uint32_t mode = in.U32();
  int32_t n = in.ArrayLength(4);
  if (!in.ok()) return status::BadDecodingError;
  Subscription* sub = c.session->FindSubscription(subId);
  if (!sub) return status::BadSubscriptionIdInvalid;
  if (mode > 2) return status::BadMonitoringModeInvalid;
  if (n == 0) return status::BadNothingToDo;
  int64_t now = NowMs();
  c.out.ArrayLength(size_t(n));
  for (int32_t i = 0; i < n; ++i) {
    auto it = sub->items.find(in.U32());
    if (it == sub->items.end()) {
      c.out.U32(status::BadMonitoredItemIdInvalid);
      continue;
    }
    MonitoredItem& m = *it->second;
    MonitoringMode old = m.mode;
    m.mode = MonitoringMode(mode);
    if (m.mode != MonitoringMode::Reporting && m.ready) {
      sub->ready.Remove(&m);
      m.ready = false;
    }
    if (m.mode == MonitoringMode::Disabled) {
      m.queue.clear();
      m.hasLast = false;
    } else if (old == MonitoringMode::Disabled) {
      Sample(m, now);
    } else if (m.mode == MonitoringMode::Reporting && !m.queue.empty() && !m.ready) {
      m.ready = true;
      sub->ready.PushBack(&m);
    }
    c.out.U32(status::Good);
  }
  c.out.EmptyArray();
  return status::Good;
}

StatusCode Server::DeleteMonitoredItems(Call& c) {
  Decoder& in = c.in;
  uint32_t subId = in.U32();
  int32_t n = in.ArrayLength(4);
  if (!in.ok()) return status::BadDecodingError;
  Subscription* sub = c.session->FindSubscription(subId);
  if (!sub) return status::BadSubscriptionIdInvalid;
  if (n == 0) return status::BadNothingToDo;
  c.out.ArrayLength(size_t(n));
  for (int32_t i = 0; i < n; ++i) {
    auto it = sub->items.find(in.U32());
    if (it == sub->items.end()) {
      c.out.U32(status::BadMonitoredItemIdInvalid);
      continue;
    }
    DeleteItem(*sub, it->second.get());
    c.out.U32(status::Good);
  }
  c.out.EmptyArray();
  return status::Good;
}

// ------------------------------------------------------------------------- publishing

bool Server::TakePublish(Session& s, PendingPublish& pp, Connection*& conn) {
  while (!s.publishQueue.empty()) {
    pp = std::move(s.publishQueue.front());
    s.publishQueue.pop_front();
    auto it = connections_.find(pp.connId);
    if (it != connections_.end() && !it->second->Closing()) {
      conn = it->second.get();
      return true;
    }
  }
  return false;
}

void Server::AnswerPending(Session& s, StatusCode code) {
  PendingPublish pp;
  Connection* conn;
  while (TakePublish(s, pp, conn)) SendFault(*conn, pp.requestId, pp.requestHandle, code);
}

// PublishResponse (OPC UA Part 4): subscriptionId, availableSequenceNumbers,
// moreNotifications, NotificationMessage {sequenceNumber, publishTime,
// notificationData ExtensionObject[]}, results (acknowledgements), diagnosticInfos.
bool Server::SendPublish(Session& s, Subscription* sub, bool keepAlive) {
  PendingPublish pp;
  Connection* conn;
  if (!TakePublish(s, pp, conn)) return false;
  DateTime now = UtcNow();
  scratch_.Clear();
  bool more = false;
  if (keepAlive) {
    // A keep-alive carries the next sequence number without using it.
    scratch_.U32(sub->nextSeq);
    scratch_.Time(now);
    scratch_.EmptyArray();
  } else {
    uint32_t seq = sub->nextSeq;
    sub->nextSeq = seq == 0xFFFFFFFFu ? 1 : seq + 1;
    scratch_.U32(seq);
    scratch_.Time(now);
    scratch_.ArrayLength(1);
    size_t ext = scratch_.BeginExtensionObject(enc::DataChangeNotification);
    size_t countAt = scratch_.Size();
    scratch_.U32(0);
    size_t room = conn->MaxResponseBody();
    if (s.maxResponseSize) room = std::min<size_t>(room, s.maxResponseSize);
    room = room > 4096 ? room - 4096 : 0;  // space for the response around the message
    uint32_t count = 0;
    while (!sub->ready.Empty() && count < sub->maxNotifications && scratch_.Size() < room) {
      MonitoredItem* m = sub->ready.Front();
      while (!m->queue.empty() && count < sub->maxNotifications && scratch_.Size() < room) {
        scratch_.U32(m->clientHandle);
        scratch_.DataValue(m->queue.front());
        m->queue.pop_front();
        ++count;
      }
      if (!m->queue.empty()) break;
      m->ready = false;
      sub->ready.Remove(m);
    }
    scratch_.PatchU32(countAt, count);
    scratch_.EmptyArray();  // diagnostic infos
    scratch_.EndExtensionObject(ext);
    more = !sub->ready.Empty();
    sub->sent.push_back(SentMessage{seq, std::string(reinterpret_cast<const char*>(scratch_.Data()),
                                                     scratch_.Size())});
    while (sub->sent.size() > limits_.maxRetransmissionQueue) sub->sent.pop_front();
  }
  response_.Clear();
  response_.NumericNodeId(enc::PublishResponse);
  EncodeResponseHeader(response_, now, pp.requestHandle, status::Good);
  response_.U32(sub->id);
  response_.ArrayLength(sub->sent.size());
  for (const SentMessage& m : sub->sent) response_.U32(m.seq);
  response_.Bool(more);
  response_.Bytes(scratch_.Data(), scratch_.Size());
  response_.ArrayLength(pp.ackResults.size());
  for (StatusCode r : pp.ackResults) response_.U32(r);
  response_.EmptyArray();
  conn->SendMessage(pp.requestId, response_.Data(), response_.Size());
  response_.Trim(kKeptEncoderBytes);
  scratch_.Trim(kKeptEncoderBytes);
  sub->messageSent = true;
  sub->keepAliveCounter = 0;
  sub->late = more;
  sub->lastSentMs = NowMs();
  return true;
}

bool Server::SendStatusChange(Session& s) {
  PendingPublish pp;
  Connection* conn;
  if (!TakePublish(s, pp, conn)) return false;
  auto [subId, seq] = s.statusChanges.front();
  s.statusChanges.pop_front();
  DateTime now = UtcNow();
  Encoder& e = response_;
  e.Clear();
  e.NumericNodeId(enc::PublishResponse);
  EncodeResponseHeader(e, now, pp.requestHandle, status::Good);
  e.U32(subId);
  e.EmptyArray();
  e.Bool(false);
  e.U32(seq);
  e.Time(now);
  e.ArrayLength(1);
  size_t ext = e.BeginExtensionObject(enc::StatusChangeNotification);
  e.U32(status::BadTimeout);
  e.EmptyDiagnosticInfo();
  e.EndExtensionObject(ext);
  e.ArrayLength(pp.ackResults.size());
  for (StatusCode r : pp.ackResults) e.U32(r);
  e.EmptyArray();
  conn->SendMessage(pp.requestId, e.Data(), e.Size());
  return true;
}

void Server::ServeLate(Session& s) {
  while (!s.statusChanges.empty() && SendStatusChange(s)) {
  }
  for (auto& sp : s.subscriptions) {
    Subscription& sub = *sp;
    while (sub.late && !s.publishQueue.empty()) {
      bool data = sub.enabled && !sub.ready.Empty();
      if (!SendPublish(s, &sub, !data)) break;
    }
    if (s.publishQueue.empty()) break;
  }
}

bool Server::PublishesEarly(const Subscription& s, int64_t now) const {
  // The publishing interval is kept as the least time between two messages rather than
  // as a fixed phase: a change that finds the last message an interval old or more goes
  // out in this step instead of waiting up to a whole interval for the next cycle.
  return s.enabled && !s.late && !s.ready.Empty() && !s.session->publishQueue.empty() &&
         now >= s.lastSentMs + int64_t(s.intervalMs);
}

void Server::TickSubscription(Subscription& s, int64_t now) {
  if (s.nextTickMs > now) {
    s.nextTickMs = now + int64_t(s.intervalMs);  // an early message: the cycle starts here
  } else {
    s.nextTickMs += int64_t(s.intervalMs);
    if (s.nextTickMs <= now) s.nextTickMs = now + int64_t(s.intervalMs);
  }
  Session& session = *s.session;
  // OPC UA Part 4: the lifetime counter counts cycles without a Publish request.
  if (session.publishQueue.empty()) ++s.lifetimeCounter;
  bool data = s.enabled && !s.ready.Empty();
  if (data) {
    if (!SendPublish(session, &s, false)) {
      s.late = true;
      return;
    }
    while (s.late && !s.ready.Empty() && SendPublish(session, &s, false)) {
    }
    return;
  }
  ++s.keepAliveCounter;
  if (!s.messageSent || s.keepAliveCounter >= s.maxKeepAlive) {
    if (!SendPublish(session, &s, true)) s.late = true;
  }
}

StatusCode Server::Publish(Call& c) {
  Decoder& in = c.in;
  Session& s = *c.session;
  int32_t n = in.ArrayLength(8);
  // Each acknowledgement's result waits with the queued request: their count is bounded.
  if (n > 0 && uint32_t(n) > limits_.maxAcknowledgementsPerPublish) return status::BadTooManyOperations;
  std::vector<StatusCode> acks;
  acks.reserve(size_t(n));
  for (int32_t i = 0; i < n && in.ok(); ++i) {
    uint32_t subId = in.U32();
    uint32_t seq = in.U32();
    Subscription* sub = s.FindSubscription(subId);
    StatusCode r = status::BadSubscriptionIdInvalid;
    if (sub) {
      auto it = std::find_if(sub->sent.begin(), sub->sent.end(),
                             [seq](const SentMessage& m) { return m.seq == seq; });
      r = status::BadSequenceNumberUnknown;
      if (it != sub->sent.end()) {
        sub->sent.erase(it);
        r = status::Good;
      }
    }
    acks.push_back(r);
  }
  if (!in.ok()) return status::BadDecodingError;
  if (s.subscriptions.empty() && s.statusChanges.empty()) return status::BadNoSubscription;
  for (auto& sub : s.subscriptions) sub->lifetimeCounter = 0;
  if (s.publishQueue.size() >= limits_.maxPublishRequestsPerSession) {
    PendingPublish old;
    Connection* conn;
    if (TakePublish(s, old, conn))
      SendFault(*conn, old.requestId, old.requestHandle, status::BadTooManyPublishRequests);
  }
  PendingPublish pp;
  pp.connId = c.conn.Id();
  pp.requestId = c.requestId;
  pp.requestHandle = c.header.requestHandle;
  pp.deadlineMs = c.header.timeoutHint ? NowMs() + int64_t(c.header.timeoutHint) : 0;
  pp.ackResults = std::move(acks);
  s.publishQueue.push_back(std::move(pp));
  ServeLate(s);
  return kDeferred;
}

StatusCode Server::Republish(Call& c) {
  uint32_t subId = c.in.U32();
  uint32_t seq = c.in.U32();
  if (!c.in.ok()) return status::BadDecodingError;
  Subscription* sub = c.session->FindSubscription(subId);
  if (!sub) return status::BadSubscriptionIdInvalid;
  for (const SentMessage& m : sub->sent) {
    if (m.seq == seq) {
      c.out.Bytes(m.bytes.data(), m.bytes.size());
      return status::Good;
    }
  }
  return status::BadMessageNotAvailable;
}

}  // namespace uaclib
