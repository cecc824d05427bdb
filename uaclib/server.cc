// The server object: namespace 1 from the C API records, the run step, value updates,
// connection bookkeeping and the service dispatcher.
#include "uaclib/server.h"

#include <algorithm>
#include <cstring>
#include <cmath>
#include <unordered_set>

#include "uaclib/log.h"
#include "uaclib/node_ids.h"

namespace uaclib {

namespace {
// The verifier of a server nobody gave a trust list: any certificate that is one.
class AcceptAnyCertificate final : public CertificateVerifier {
 public:
  StatusCode VerifyChannelCertificate(std::span<const uint8_t> der) override {
    RsaKey key;
    std::string_view bytes(reinterpret_cast<const char*>(der.data()), der.size());
    return key.LoadFromCertificate(bytes) ? status::Good : status::BadCertificateInvalid;
  }
  StatusCode VerifyApplicationUri(std::span<const uint8_t>, std::string_view) override {
    return status::Good;
  }
};
}  // namespace

std::string Server::Nonce(size_t n) {
  if (!counterNonces_) return RandomBytes(n);
  std::string out(n, '\0');
  uint64_t v = ++nonceCounter_;
  std::memcpy(out.data(), &v, std::min(n, sizeof v));
  return out;
}

// The service table (OPC UA Part 4): request and response encoding ids, what the
// request needs and its handler. ActivateSession looks up its session itself, since it
// may move the session to another channel.
const Server::ServiceEntry Server::kServices[] = {
    {enc::GetEndpointsRequest, enc::GetEndpointsResponse, 0, &Server::GetEndpoints},
    {enc::FindServersRequest, enc::FindServersResponse, 0, &Server::FindServers},
    {enc::CreateSessionRequest, enc::CreateSessionResponse, 0, &Server::CreateSession},
    {enc::ActivateSessionRequest, enc::ActivateSessionResponse, 0, &Server::ActivateSession},
    {enc::CloseSessionRequest, enc::CloseSessionResponse, 1, &Server::CloseSession},
    {enc::BrowseRequest, enc::BrowseResponse, 2, &Server::Browse},
    {enc::BrowseNextRequest, enc::BrowseNextResponse, 2, &Server::BrowseNext},
    {enc::TranslateBrowsePathsRequest, enc::TranslateBrowsePathsResponse, 2,
     &Server::TranslateBrowsePaths},
    {enc::RegisterNodesRequest, enc::RegisterNodesResponse, 2, &Server::RegisterNodes},
    {enc::UnregisterNodesRequest, enc::UnregisterNodesResponse, 2, &Server::UnregisterNodes},
    {enc::ReadRequest, enc::ReadResponse, 2, &Server::Read},
    {enc::WriteRequest, enc::WriteResponse, 2, &Server::Write},
    {enc::CreateSubscriptionRequest, enc::CreateSubscriptionResponse, 2,
     &Server::CreateSubscription},
    {enc::ModifySubscriptionRequest, enc::ModifySubscriptionResponse, 2,
     &Server::ModifySubscription},
    {enc::SetPublishingModeRequest, enc::SetPublishingModeResponse, 2,
     &Server::SetPublishingMode},
    {enc::DeleteSubscriptionsRequest, enc::DeleteSubscriptionsResponse, 2,
     &Server::DeleteSubscriptions},
    {enc::CreateMonitoredItemsRequest, enc::CreateMonitoredItemsResponse, 2,
     &Server::CreateMonitoredItems},
    {enc::ModifyMonitoredItemsRequest, enc::ModifyMonitoredItemsResponse, 2,
     &Server::ModifyMonitoredItems},
    {enc::SetMonitoringModeRequest, enc::SetMonitoringModeResponse, 2,
     &Server::SetMonitoringMode},
    {enc::DeleteMonitoredItemsRequest, enc::DeleteMonitoredItemsResponse, 2,
     &Server::DeleteMonitoredItems},
    {enc::PublishRequest, enc::PublishResponse, 2, &Server::Publish},
    {enc::RepublishRequest, enc::RepublishResponse, 2, &Server::Republish},
};

Server::Server(int port, ServerConfig config, uasWriteFun onWrite, Clock* clock)
    : config_(std::move(config)), onWrite_(onWrite), clock_(clock ? clock : &systemClock_),
      port_(port), defaultVerifier_(std::make_unique<AcceptAnyCertificate>()),
      verifier_(defaultVerifier_.get()) {
  if (config_.info.applicationUri.empty()) config_.info.applicationUri = "urn:uaclib:server";
  if (config_.info.productUri.empty()) config_.info.productUri = config_.info.applicationUri;
  startTime_ = clock_->UtcNow();
  // Namespace 1 is this server's own (OPC UA Part 5: index 1 is the local server).
  BuildNamespaceZero(space_, config_.info, limits_,
                     {"http://opcfoundation.org/UA/", config_.info.applicationUri});
  if (Node* st = space_.Ns0(ns0::StartTime)) st->value = Variant::Time(startTime_);
  if (!config_.privateKey.empty()) {
    if (!identity_.key.LoadPrivate(reinterpret_cast<const uint8_t*>(config_.privateKey.data()),
                                   config_.privateKey.size()))
      Log(kLogSecurity, 3, "private key not usable: only SecurityPolicy None is offered");
  }
  if (identity_.key.Loaded()) {
    RsaKey pub;
    size_t leaf = FirstDerLength(config_.certificate);
    // Without its certificate the key still decrypts passwords, but no channel is secured.
    if (!pub.LoadFromCertificate(config_.certificate) || !pub.SamePublic(identity_.key)) {
      Log(kLogSecurity, 3, "server certificate missing or not the key's: only SecurityPolicy None is offered");
    } else {
      // The certificate alone: what clients get in the security header and endpoints.
      identity_.certificate = config_.certificate.substr(0, leaf);
      identity_.thumbprint = Sha1(identity_.certificate);
    }
  }
  transport_.SetMaxPendingOutput(limits_.maxPendingOutput);
}

Server::~Server() {
  transport_.CloseAll(*this);
  connections_.clear();  // local ones: they give back their budgets to a whole server
  // Sessions go before the nodes their monitored items point at.
  sessions_.clear();
}

// --------------------------------------------------------------------------- namespace

StatusCode Server::AddNamespace(TuasVarDef** defs, int defCount, TuasFolder** folders,
                                int folderCount) {
  if (namespaceAdded_) {
    lastError_ = "the namespace was added already";
    return status::BadInvalidState;
  }
  if (defCount < 0 || folderCount < 0 || (defCount > 0 && !defs) ||
      (folderCount > 0 && !folders)) {
    lastError_ = "invalid definition or folder arrays";
    return status::BadInvalidArgument;
  }
  for (int i = 0; i < defCount; ++i) {
    if (defs[i] && !defs[i]->fullName) {
      lastError_ = "variable definition " + std::to_string(i) + " has no full name";
      return status::BadInvalidArgument;
    }
  }
  Node* objects = space_.Ns0(ns0::ObjectsFolder);
  Node* folderType = space_.Ns0(ns0::FolderType);
  Node* varType = space_.Ns0(ns0::BaseDataVariableType);

  // Folders get numeric ids (their number) so they never collide with the string ids
  // of the variables.
  std::unordered_map<int32_t, Node*> byNumber;
  std::vector<std::pair<Node*, int32_t>> parents;
  for (int i = 0; i < folderCount; ++i) {
    const TuasFolder* f = folders[i];
    if (!f) continue;
    const char* name = f->name ? f->name : "";
    Node* n = space_.Add(NodeId::Numeric(1, uint32_t(f->number)), NodeClass::Object, 1, name, name);
    if (!n) {
      Log(kLogServer, 3, "folder number %d used twice; \"%s\" is left out", f->number, name);
      continue;
    }
    space_.Link(n, ns0::HasTypeDefinition, folderType);
    byNumber[f->number] = n;
    parents.emplace_back(n, f->parent);
  }
  for (auto& [n, parent] : parents) {
    auto it = byNumber.find(parent);
    Node* p = (parent != 0 && it != byNumber.end() && it->second != n) ? it->second : objects;
    space_.Link(p, ns0::Organizes, n);
  }

  varNodes_.reserve(size_t(defCount));
  for (int i = 0; i < defCount; ++i) {
    TuasVarDef* d = defs[i];
    if (!d) continue;
    const char* browse = d->browseName ? d->browseName : d->fullName;
    const char* display = d->displayName ? d->displayName : browse;
    Node* n = space_.Add(NodeId::String(1, d->fullName), NodeClass::Variable, 1, browse, display);
    for (int k = 2; !n; ++k) {
      // Two variables with one full name: the later one gets a numbered id.
      std::string id = std::string(d->fullName) + "~" + std::to_string(k);
      n = space_.Add(NodeId::String(1, id), NodeClass::Variable, 1, browse, display);
      if (n) Log(kLogServer, 3, "node id \"%s\" used twice; the second is \"%s\"", d->fullName,
                 id.c_str());
    }
    VarSlot& slot = slots_.emplace_back();
    int32_t code = d->typeCode;
    if (code < 1 || code > 5) {
      Log(kLogServer, 3, "\"%s\": unknown type code %d, served as Double", d->fullName, code);
      code = UAS_TYPE_DOUBLE;
    }
    slot.type = VarType(code);
    // The write callback carries only a double, so a text variable cannot take a write:
    // it is read-only rather than answering Good for a write that changes nothing.
    slot.writable = (d->access == 'W' || d->access == 'w') && code != UAS_TYPE_STRING;
    slot.context = d->context;
    slot.status = 0x80320000u;  // BadWaitingForInitialData until the first update
    static constexpr uint32_t kDataTypes[] = {0, ns0::Boolean, ns0::Int32, ns0::Float,
                                              ns0::Double, ns0::String};
    n->dataType = kDataTypes[code];
    n->valueRank = -1;
    n->accessLevel = slot.writable ? (kAccessRead | kAccessWrite) : kAccessRead;
    n->slot = &slot;
    space_.Link(n, ns0::HasTypeDefinition, varType);
    auto it = byNumber.find(d->folder);
    space_.Link(it != byNumber.end() ? it->second : objects, ns0::Organizes, n);
    varNodes_.push_back(n);
    d->node = uint64_t(varNodes_.size());
  }
  namespaceAdded_ = true;
  Log(kLogServer, 2, "namespace: %d folders, %zu variables", folderCount, varNodes_.size());
  return status::Good;
}

// Budgets a host may change by name: the protective ones, with the ranges that keep the
// server usable.
namespace {
struct LimitKnob {
  std::string_view name;
  double min, max;
  void (*set)(Limits&, double);
};
constexpr LimitKnob kLimitKnobs[] = {
    {"maxConnections", 1, 65536, [](Limits& l, double v) { l.maxConnections = uint32_t(v); }},
    {"maxSessions", 1, 65536, [](Limits& l, double v) { l.maxSessions = uint32_t(v); }},
    {"maxConnectionsPerPeer", 1, 65536, [](Limits& l, double v) { l.maxConnectionsPerPeer = uint32_t(v); }},
    {"maxUnactivatedConnections", 1, 65536,
     [](Limits& l, double v) { l.maxUnactivatedConnections = uint32_t(v); }},
    {"activateTimeoutMs", 100, 3600000, [](Limits& l, double v) { l.activateTimeoutMs = int64_t(v); }},
    {"maxUnactivatedSessionsPerConnection", 1, 1000,
     [](Limits& l, double v) { l.maxUnactivatedSessionsPerConnection = uint32_t(v); }},
    {"orphanGraceMs", 0, 3600000, [](Limits& l, double v) { l.orphanGraceMs = int64_t(v); }},
    {"maxAcknowledgementsPerPublish", 1, 1e6,
     [](Limits& l, double v) { l.maxAcknowledgementsPerPublish = uint32_t(v); }},
    {"maxUnactivatedMessageSize", 65536, 1 << 30,
     [](Limits& l, double v) { l.maxUnactivatedMessageSize = size_t(v); }},
    {"maxAssemblyBytes", 65536, 1 << 30, [](Limits& l, double v) { l.maxAssemblyBytes = size_t(v); }},
    {"readPauseOutput", 65536, 1 << 30, [](Limits& l, double v) { l.readPauseOutput = size_t(v); }},
    {"activationFailBurst", 1, 1e6, [](Limits& l, double v) { l.activationFailBurst = uint32_t(v); }},
    {"activationFailRefillMs", 1, 3600000,
     [](Limits& l, double v) { l.activationFailRefillMs = int64_t(v); }},
    {"idleConnectionMs", 100, 3600000, [](Limits& l, double v) { l.idleConnectionMs = int64_t(v); }},
    {"runBudgetMs", 1, 1000, [](Limits& l, double v) { l.runBudgetMs = int64_t(v); }},
};
}  // namespace

StatusCode Server::SetAllowNone(bool allow) {
  if (started_) {
    lastError_ = "the endpoints are set before the server starts";
    return status::BadInvalidState;
  }
  config_.allowNone = allow;
  return status::Good;
}

void Server::SetCertificateVerifier(CertificateVerifier* verifier) {
  verifier_ = verifier ? verifier : defaultVerifier_.get();
}

const LocalIdentity* Server::Identity() const {
  return identity_.key.Loaded() && !identity_.certificate.empty() ? &identity_ : nullptr;
}

bool Server::Offers(std::string_view policyUri, SecurityMode mode) const {
  // Clients look up the endpoints over None before they can open a secure channel, so
  // a None channel always opens; without the None endpoint it serves discovery only.
  if (policyUri == kPolicyNoneUri && mode == SecurityMode::None) return true;
  for (const auto& [uri, m] : Endpoints())
    if (uri == policyUri && m == mode) return true;
  return false;
}

StatusCode Server::VerifyCertificate(std::string_view der) {
  StatusCode sc = verifier_->VerifyChannelCertificate(
      std::span(reinterpret_cast<const uint8_t*>(der.data()), der.size()));
  if (IsBad(sc)) Log(kLogSecurity, 3, "client certificate refused: 0x%08X", sc);
  return sc;
}

StatusCode Server::SetLimit(std::string_view name, double value) {
  if (started_) {
    lastError_ = "limits are set before the server starts";
    return status::BadInvalidState;
  }
  for (const LimitKnob& k : kLimitKnobs) {
    if (k.name != name) continue;
    if (!(value >= k.min && value <= k.max)) {
      lastError_ = std::string(name) + ": value out of range";
      return status::BadInvalidArgument;
    }
    k.set(limits_, value);
    return status::Good;
  }
  lastError_ = "unknown limit \"" + std::string(name) + "\"";
  return status::BadInvalidArgument;
}

// ----------------------------------------------------------------------------- running

StatusCode Server::Start() {
  if (started_) {
    lastError_ = "the server runs already";
    return status::BadInvalidState;
  }
  if (port_ < 0 || port_ > 65535) {
    lastError_ = "invalid port " + std::to_string(port_);
    return status::BadInvalidArgument;
  }
  std::string error;
  StatusCode sc = transport_.Listen(port_, error);
  if (IsBad(sc)) {
    lastError_ = error;
    Log(kLogNetwork, 4, "%s", error.c_str());
    return sc;
  }
  started_ = true;
  return status::Good;
}

StatusCode Server::RunOnce(TuasRunStats* stats, int statsSize) {
  if (inRun_) {
    lastError_ = "uasRunIntv called from inside a callback";
    return status::BadInvalidState;
  }
  struct Guard {
    bool& flag;
    ~Guard() { flag = false; }
  } guard{inRun_};
  inRun_ = true;
  ++runSteps_;
  runDeadlineMs_ = NowMs() + limits_.runBudgetMs;
  transport_.Poll(*this);
  inputRead_ = !OutOfTime();
  // Sampling has a budget of its own, so requests cannot starve it.
  runDeadlineMs_ = NowMs() + limits_.runBudgetMs;
  RunTimers();
  transport_.Flush(*this, NowMs());
  if (stats && statsSize > 0) {
    TuasRunStats s{};
    // Only connections that said Hello are clients; a bare TCP connect is not one.
    for (auto& [id, c] : connections_) s.clients += c->HelloDone() && !c->Closing() ? 1 : 0;
    s.sessions = int32_t(sessions_.size());
    s.subscriptions = int32_t(subscriptionCount_);
    s.monitoredItems = int32_t(monitoredItemCount_);
    std::memcpy(stats, &s, std::min(size_t(statsSize), sizeof s));
  }
  return status::Good;
}

StatusCode Server::Update(TuasUpdateItem** items, int count) {
  if (count < 0 || (count > 0 && !items)) {
    lastError_ = "invalid update list";
    return status::BadInvalidArgument;
  }
  int64_t now = NowMs();
  DateTime utc = UtcNow();
  StatusCode result = status::Good;
  for (int i = 0; i < count; ++i) {
    const TuasUpdateItem* it = items[i];
    if (!it) continue;
    if (it->node == 0 || it->node > varNodes_.size()) {
      result = status::BadNodeIdUnknown;
      lastError_ = "unknown node handle " + std::to_string(it->node);
      continue;
    }
    Node* n = varNodes_[size_t(it->node - 1)];
    VarSlot& slot = *n->slot;
    if (!IsBad(it->status)) {
      if (!it->value) {
        result = status::BadInvalidArgument;
        lastError_ = "update without a value";
        continue;
      }
      slot.value = *it->value;
    }
    slot.status = it->status;
    slot.sourceTime = utc;
    slot.serverTime = utc;
    if (!n->watchers.empty()) OnValueChanged(*n, now);
  }
  return result;
}

void Server::RunTimers() {
  int64_t now = NowMs();
  // Changes that arrived before their item's next sampling time.
  if (!pendingItems_.empty()) {
    size_t keep = 0;
    bool timeLeft = true;
    pendingDueMs_ = INT64_MAX;
    for (size_t i = 0; i < pendingItems_.size(); ++i) {
      MonitoredItem* m = pendingItems_[i];
      // Items left when the step's time is spent keep their place for the next step.
      if (timeLeft && i % 256 == 255) timeLeft = !OutOfTime();
      if (timeLeft && now >= m->nextSampleMs) {
        m->pending = false;
        Sample(*m, now, true);
      } else {
        m->pendingPos = keep;
        pendingItems_[keep++] = m;
        pendingDueMs_ = std::min(pendingDueMs_, m->nextSampleMs);
      }
    }
    pendingItems_.resize(keep);
  }
  for (MonitoredItem* m : polledItems_)
    if (m->mode != MonitoringMode::Disabled && now >= m->nextSampleMs) Sample(*m, now, true);

  std::vector<Session*> expired;
  for (auto& [token, sp] : sessions_) {
    Session& s = *sp;
    bool unused = !s.activated && now - s.createdMs > limits_.activateTimeoutMs;
    bool orphaned = s.orphanSinceMs && now - s.orphanSinceMs > limits_.orphanGraceMs;
    if (double(now - s.lastSeenMs) > s.timeoutMs || unused || orphaned) {
      expired.push_back(&s);
      continue;
    }
    for (auto it = s.publishQueue.begin(); it != s.publishQueue.end();) {
      if (it->deadlineMs && now > it->deadlineMs) {
        auto c = connections_.find(it->connId);
        if (c != connections_.end())
          SendFault(*c->second, it->requestId, it->requestHandle, status::BadTimeout);
        it = s.publishQueue.erase(it);
      } else {
        ++it;
      }
    }
    std::vector<uint32_t> gone;
    for (size_t i = 0; i < s.subscriptions.size(); ++i) {
      Subscription& sub = *s.subscriptions[i];
      if (now < sub.nextTickMs && !PublishesEarly(sub, now)) continue;
      // Out of time: it stays due and ticks in the next step.
      if (OutOfTime()) break;
      TickSubscription(sub, now);
      if (sub.lifetimeCounter >= sub.lifetimeCount) gone.push_back(sub.id);
    }
    for (uint32_t id : gone) {
      Log(kLogSession, 2, "subscription %u timed out", id);
      Subscription* sub = s.FindSubscription(id);
      s.statusChanges.emplace_back(id, sub ? sub->nextSeq : 1);
      DeleteSubscription(s, id);
    }
  }
  for (Session* s : expired) {
    // Closing a session with many items is work: past the step's time the rest waits.
    if (s != expired.front() && OutOfTime()) break;
    Log(kLogSession, 2, "session \"%s\" %s", s->name.c_str(),
        !s->activated ? "not activated in time" : s->orphanSinceMs ? "lost its connection" : "timed out");
    CloseSession(s, status::BadSessionClosed);
  }
  for (auto& [id, c] : connections_) c->CheckTimers(now, inputRead_);
  ExpireConnections(now);
}

int64_t Server::WaitTimeoutMs() {
  int64_t now = NowMs();
  // Input read but left for lack of time waits for no event: the next step takes it up.
  if (!inputRead_) return 0;
  int64_t due = now + kHousekeepingMs;
  if (!pendingItems_.empty()) due = std::min(due, pendingDueMs_);
  for (const MonitoredItem* m : polledItems_)
    if (m->mode != MonitoringMode::Disabled) due = std::min(due, m->nextSampleMs);
  for (auto& [token, sp] : sessions_) {
    for (const auto& sub : sp->subscriptions) {
      due = std::min(due, sub->nextTickMs);
      // Changes ready to go wait only for the interval since the last message.
      if (sub->enabled && !sub->ready.Empty() && !sp->publishQueue.empty())
        due = std::min(due, sub->lastSentMs + int64_t(sub->intervalMs));
    }
    for (const PendingPublish& p : sp->publishQueue)
      if (p.deadlineMs) due = std::min(due, p.deadlineMs + 1);  // answered once past it
  }
  return std::min(std::max<int64_t>(0, due - now), TcpTransport::MaxWaitMs());
}

void Server::ExpireConnections(int64_t now) {
  // Idle times count only when this step read everything there was to read.
  if (inputRead_ && now - lastIdleCheckMs_ >= 1000) {
    lastIdleCheckMs_ = now;
    ForgetIdlePeers();
    std::unordered_map<uint32_t, double> longest;  // channel -> longest session time-out
    for (auto& [token, s] : sessions_) {
      double& t = longest[s->channelId];
      t = std::max(t, s->timeoutMs);
    }
    for (auto& [id, c] : connections_) {
      auto it = longest.find(c->ChannelId());
      double limit = double(limits_.idleConnectionMs);
      if (c->ChannelOpen() && it != longest.end()) limit = std::max(limit, it->second);
      if (double(now - c->LastReceiveMs()) > limit) c->Fail(status::BadTimeout, "connection idle");
      // Its answers pile up and nothing moved for the idle time: it reads nothing.
      if (c->OutputFull() && now - c->LastSendMs() > limits_.idleConnectionMs)
        c->Fail(status::BadTimeout, "client reads no answers");
    }
  }
}

// -------------------------------------------------------------------------- connections

Connection* Server::OnAccept(const std::string& peer) {
  if (connections_.size() >= limits_.maxConnections) {
    Log(kLogNetwork, 3, "connection refused: %u connections open", limits_.maxConnections);
    return nullptr;
  }
  auto pit = peers_.find(peer);
  if (pit != peers_.end() && pit->second.connections >= limits_.maxConnectionsPerPeer) {
    Log(kLogNetwork, 3, "connection from %s refused: %u connections open", peer.c_str(),
        limits_.maxConnectionsPerPeer);
    return nullptr;
  }
  // Connections without an activated session have a budget of their own; when it is
  // used up the oldest of them goes: it had the most time to become a client.
  Connection* oldest = nullptr;
  uint32_t unactivated = 0;
  for (auto& [cid, c] : connections_) {
    if (c->Activated() || c->Closing()) continue;
    ++unactivated;
    if (!oldest || c->Id() < oldest->Id()) oldest = c.get();
  }
  if (oldest && unactivated >= limits_.maxUnactivatedConnections)
    oldest->Fail(status::BadTcpNotEnoughResources, "room made for a newer connection");
  if (pit == peers_.end()) {
    pit = peers_.emplace(peer, Peer{}).first;
    pit->second.activationTokens = limits_.activationFailBurst;
    pit->second.refillMs = NowMs();
  }
  ++pit->second.connections;
  uint64_t id = ++lastConnectionId_;
  auto c = std::make_unique<Connection>(id, *this);
  c->SetPeer(peer);
  Connection* raw = c.get();
  connections_.emplace(id, std::move(c));
  Log(kLogNetwork, 1, "connection %llu from %s accepted", (unsigned long long)id, peer.c_str());
  return raw;
}

bool Server::ReserveAssembly(size_t bytes) {
  if (assemblyBytes_ + bytes > limits_.maxAssemblyBytes) return false;
  assemblyBytes_ += bytes;
  return true;
}

bool Server::ActivationAllowed(const std::string& peer) {
  auto it = peers_.find(peer);
  if (it == peers_.end()) return true;
  Peer& p = it->second;
  int64_t now = NowMs();
  double refill = double(now - p.refillMs) / double(limits_.activationFailRefillMs);
  p.activationTokens = std::min(double(limits_.activationFailBurst), p.activationTokens + refill);
  p.refillMs = now;
  return p.activationTokens >= 1;
}

void Server::SpendActivation(const std::string& peer) {
  auto it = peers_.find(peer);
  if (it != peers_.end()) it->second.activationTokens = std::max(0.0, it->second.activationTokens - 1);
}

// A peer without connections is forgotten once its failed logins are forgiven.
void Server::ForgetIdlePeers() {
  for (auto it = peers_.begin(); it != peers_.end();) {
    bool forgiven = ActivationAllowed(it->first) &&
                    it->second.activationTokens >= double(limits_.activationFailBurst);
    it = it->second.connections == 0 && forgiven ? peers_.erase(it) : std::next(it);
  }
}

void Server::OnClosed(Connection* c) {
  uint64_t id = c->Id();
  auto pit = peers_.find(c->Peer());
  if (pit != peers_.end() && pit->second.connections > 0) --pit->second.connections;
  int64_t now = NowMs();
  for (auto& [token, s] : sessions_) {
    // Its sessions wait a short grace time for the client to come back on a new channel.
    if (c->ChannelOpen() && s->channelId == c->ChannelId() && !s->orphanSinceMs) s->orphanSinceMs = now;
    // Publish requests of this connection can never be answered.
    auto& q = s->publishQueue;
    q.erase(std::remove_if(q.begin(), q.end(), [id](const PendingPublish& p) { return p.connId == id; }),
            q.end());
  }
  Log(kLogNetwork, 1, "connection %llu closed", (unsigned long long)id);
  connections_.erase(id);
}

Connection* Server::OpenLocalConnection(const std::string& peer) { return OnAccept(peer); }

void Server::CloseLocalConnection(Connection* c) {
  if (c) OnClosed(c);
}

// --------------------------------------------------------------------------- dispatcher

void Server::SendFault(Connection& conn, uint32_t requestId, uint32_t requestHandle,
                       StatusCode code) {
  Encoder e;
  e.NumericNodeId(enc::ServiceFault);
  EncodeResponseHeader(e, UtcNow(), requestHandle, code);
  conn.SendMessage(requestId, e.Data(), e.Size());
}

void Server::OnRequest(Connection& conn, uint32_t requestId, const uint8_t* body, size_t size) {
  Decoder in(body, size);
  NodeIdView type = in.NodeId();
  RequestHeader rh;
  DecodeRequestHeader(in, rh);
  if (!in.ok() || type.ns != 0 || type.kind != IdKind::Numeric) {
    conn.Fail(status::BadDecodingError, "malformed request header");
    return;
  }
  const ServiceEntry* entry = nullptr;
  for (const ServiceEntry& e : kServices)
    if (e.requestId == type.num) entry = &e;
  if (!entry) {
    Log(kLogServer, 2, "service %u not supported", type.num);
    SendFault(conn, requestId, rh.requestHandle, status::BadServiceUnsupported);
    return;
  }
  Session* session = nullptr;
  if (entry->needs) {
    auto it = sessions_.find(rh.authToken);
    StatusCode sc = status::Good;
    if (it == sessions_.end()) {
      sc = status::BadSessionIdInvalid;
    } else {
      session = it->second.get();
      if (session->channelId != conn.ChannelId())
        sc = status::BadSecureChannelIdInvalid;
      else if (entry->needs == 2 && !session->activated)
        sc = status::BadSessionNotActivated;
    }
    if (IsBad(sc)) {
      SendFault(conn, requestId, rh.requestHandle, sc);
      return;
    }
    session->lastSeenMs = NowMs();
  }
  response_.Clear();
  response_.NumericNodeId(entry->responseId);
  EncodeResponseHeader(response_, UtcNow(), rh.requestHandle, status::Good);
  // Read before the handler runs: CloseSession destroys the session.
  size_t limit = std::min<size_t>(conn.MaxResponseBody(), limits_.maxMessageSize);
  if (session && session->maxResponseSize) limit = std::min<size_t>(limit, session->maxResponseSize);
  // Handlers stop building once the answer passes what the client accepts. Handlers
  // that change state decode their whole request before they act, so a malformed
  // request changes nothing.
  response_.SetLimit(limit);
  Call call{conn, session, rh, in, response_, requestId};
  StatusCode sc = (this->*entry->handler)(call);
  if (!in.ok()) {
    conn.Fail(status::BadDecodingError, "malformed request body");
  } else if (sc == kDeferred) {
    // answered later (Publish)
  } else if (IsBad(sc)) {
    SendFault(conn, requestId, rh.requestHandle, sc);
  } else if (response_.Overflow() || response_.Size() > limit) {
    SendFault(conn, requestId, rh.requestHandle, status::BadResponseTooLarge);
  } else {
    conn.SendMessage(requestId, response_.Data(), response_.Size());
  }
  // One large answer must not keep its memory for the rest of the server's life.
  response_.Trim(kKeptEncoderBytes);
  scratch_.Trim(kKeptEncoderBytes);
}

}  // namespace uaclib
