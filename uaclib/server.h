// The OPC UA server behind the C API: address space, connections, sessions,
// subscriptions and the service table. Single-threaded: every member is called on the
// thread that runs uasRunIntv, callbacks included.
#ifndef UACLIB_SERVER_H
#define UACLIB_SERVER_H

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "uaclib/address_space.h"
#include "uaclib/cert_verifier.h"
#include "uaclib/clock.h"
#include "uaclib/encoding.h"
#include "uaclib/secure_channel.h"
#include "uaclib/subscription.h"
#include "uaclib/tcp_transport.h"
#include "uaclib/uaclib.h"
#include "uaclib/user_token.h"

namespace uaclib {

struct ServerConfig {
  ServerInfo info;
  bool hasUser = false;
  std::string userName;
  std::string password;
  std::string certificate;  // DER, may be empty
  std::string privateKey;   // DER, may be empty
  bool allowNone = true;    // offer and accept SecurityPolicy None
};

class Server final : public ChannelHost, private TransportHost {
 public:
  // `clock` may be nullptr (the system clock); a given clock must outlive the server.
  Server(int port, ServerConfig config, uasWriteFun onWrite, Clock* clock = nullptr);
  ~Server() override;
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  [[nodiscard]] StatusCode AddNamespace(TuasVarDef** defs, int defCount, TuasFolder** folders, int folderCount);
  [[nodiscard]] StatusCode Start();
  [[nodiscard]] StatusCode RunOnce(TuasRunStats* stats, int statsSize);
  [[nodiscard]] StatusCode Update(TuasUpdateItem** items, int count);
  int Port() const { return transport_.Port(); }
  const std::string& LastError() const { return lastError_; }
  void SetError(std::string text) { lastError_ = std::move(text); }
  Limits& MutableLimits() { return limits_; }
  // One budget by its name, before Start (uasSetLimit).
  [[nodiscard]] StatusCode SetLimit(std::string_view name, double value);
  // Offer SecurityPolicy None or not, before Start.
  [[nodiscard]] StatusCode SetAllowNone(bool allow);
  // The trust decisions on client certificates; nullptr restores the default, which
  // accepts every certificate that parses. The verifier must outlive the server or
  // its replacement.
  void SetCertificateVerifier(CertificateVerifier* verifier);

  // Connections without a socket, for tests and the fuzz target: bytes go in with
  // Connection::Feed, answers collect in its output.
  Connection* OpenLocalConnection(const std::string& peer = {});
  void CloseLocalConnection(Connection* c);
  // Timer work of one run step (sampling, publishing, time-outs) without network I/O.
  void RunTimers();
  // What a caller waits for before the next run step (uasGetWaitInfo): the transport's
  // epoll descriptor and the milliseconds until the next timer is due (0: work is left).
  int WaitFd() const { return transport_.WaitFd(); }
  int64_t WaitTimeoutMs();
  // Run steps since the start (tests count them to tell an event from a timer).
  uint64_t RunSteps() const { return runSteps_; }
  // Tests and the fuzz target: session ids, tokens and nonces from a counter instead of
  // the kernel's random source, so recorded requests stay valid. Never for production.
  void UseCounterNonces() { counterNonces_ = true; }

  size_t SessionCount() const { return sessions_.size(); }
  size_t SubscriptionCount() const { return subscriptionCount_; }
  size_t MonitoredItemCount() const { return monitoredItemCount_; }
  size_t HeldEncoderBytes() const { return response_.Capacity() + scratch_.Capacity(); }
  AddressSpace& Space() { return space_; }

  // ChannelHost
  void OnRequest(Connection& c, uint32_t requestId, const uint8_t* body, size_t size) override;
  uint32_t NextChannelId() override { return ++lastChannelId_; }
  int64_t NowMs() override { return clock_->NowMs(); }
  DateTime UtcNow() override { return clock_->UtcNow(); }
  const Limits& GetLimits() const override { return limits_; }
  bool OutOfTime() override { return inRun_ && NowMs() >= runDeadlineMs_; }
  bool ReserveAssembly(size_t bytes) override;
  void ReleaseAssembly(size_t bytes) override { assemblyBytes_ -= std::min(bytes, assemblyBytes_); }
  const LocalIdentity* Identity() const override;
  bool Offers(std::string_view policyUri, SecurityMode mode) const override;
  StatusCode VerifyCertificate(std::string_view der) override;
  std::string ChannelNonce(size_t n) override { return Nonce(n); }

 private:
  struct Call {
    Connection& conn;
    Session* session;
    const RequestHeader& header;
    Decoder& in;
    Encoder& out;
    uint32_t requestId;
  };
  using Handler = StatusCode (Server::*)(Call&);
  struct ServiceEntry {
    uint32_t requestId;
    uint32_t responseId;
    uint8_t needs;  // 0 nothing, 1 a session, 2 an activated session
    Handler handler;
  };
  static const ServiceEntry kServices[];
  // Returned by a handler that answers later (Publish).
  static constexpr StatusCode kDeferred = 0xFFFFFFFFu;

  // TransportHost
  Connection* OnAccept(const std::string& peer) override;
  void OnClosed(Connection* c) override;

  // Services (services_*.cc).
  StatusCode GetEndpoints(Call& c);
  StatusCode FindServers(Call& c);
  StatusCode CreateSession(Call& c);
  StatusCode ActivateSession(Call& c);
  StatusCode CloseSession(Call& c);
  StatusCode Browse(Call& c);
  StatusCode BrowseNext(Call& c);
  StatusCode TranslateBrowsePaths(Call& c);
  StatusCode RegisterNodes(Call& c);
  StatusCode UnregisterNodes(Call& c);
  StatusCode Read(Call& c);
  StatusCode Write(Call& c);
  StatusCode CreateSubscription(Call& c);
  StatusCode ModifySubscription(Call& c);
  StatusCode SetPublishingMode(Call& c);
  StatusCode DeleteSubscriptions(Call& c);
  StatusCode CreateMonitoredItems(Call& c);
  StatusCode ModifyMonitoredItems(Call& c);
  StatusCode SetMonitoringMode(Call& c);
  StatusCode DeleteMonitoredItems(Call& c);
  StatusCode Publish(Call& c);
  StatusCode Republish(Call& c);

  // Helpers of the services.
  std::string EndpointUrlFor(std::string_view requested, const Connection& conn) const;
  void EncodeApplication(Encoder& e, std::string_view url) const;
  // The endpoints offered, `policyUri` and `mode` pairs: None first when allowed.
  std::vector<std::pair<std::string_view, SecurityMode>> Endpoints() const;
  void EncodeEndpoint(Encoder& e, std::string_view url, std::string_view policyUri,
                      SecurityMode mode) const;
  void EncodeEndpoints(Encoder& e, std::string_view url) const;
  StatusCode CheckIdentity(Session& s, const ExtensionObjectView& token);
  void EncodeBrowseResult(Session& s, ContinuationPoint& cp, Encoder& e, uint32_t& work);
  StatusCode ReadAttribute(const Node& n, uint32_t attributeId, Timestamps ts, DataValue& out);
  void ReadValue(const Node& n, Timestamps ts, DataValue& out);
  StatusCode WriteValue(Node& n, const VariantView& v);
  void CloseSession(Session* s, StatusCode reason);
  // Failed ActivateSessions per peer address: false when the peer has used up its
  // attempts for now; Spend takes one attempt.
  bool ActivationAllowed(const std::string& peer);
  void SpendActivation(const std::string& peer);
  void ForgetIdlePeers();
  void ExpireConnections(int64_t now);

  // Subscriptions (subscriptions.cc).
  void ReviseSubscription(Subscription& s, double interval, uint32_t lifetime,
                          uint32_t keepAlive, uint32_t maxNotif);
  void DeleteSubscription(Session& s, uint32_t id);
  // Takes the item out of every list and count; DeleteItem also destroys it.
  void UnhookItem(Subscription& s, MonitoredItem& m);
  void DeleteItem(Subscription& s, MonitoredItem* m);
  StatusCode ReviseItem(MonitoredItem& m, Subscription& s, double sampling,
                        const ExtensionObjectView& filter, uint32_t queueSize, bool discardOldest);
  // onTime: a sample of a due time (a waiting change, a polled item), which keeps the
  // item's sampling grid.
  void Sample(MonitoredItem& m, int64_t now, bool onTime = false);
  void OnValueChanged(Node& n, int64_t now);
  void Enqueue(MonitoredItem& m, DataValue dv);
  void TickSubscription(Subscription& s, int64_t now);
  bool PublishesEarly(const Subscription& s, int64_t now) const;
  bool SendPublish(Session& s, Subscription* sub, bool keepAlive);
  bool SendStatusChange(Session& s);
  bool TakePublish(Session& s, PendingPublish& pp, Connection*& conn);
  void AnswerPending(Session& s, StatusCode code);
  void ServeLate(Session& s);
  void SendFault(Connection& conn, uint32_t requestId, uint32_t requestHandle, StatusCode code);

  ServerConfig config_;
  Limits limits_;
  uasWriteFun onWrite_;
  SystemClock systemClock_;
  Clock* clock_;
  int port_;
  std::string lastError_;
  bool namespaceAdded_ = false;
  bool started_ = false;
  bool inRun_ = false;
  DateTime startTime_ = 0;
  // Key loaded: encrypted passwords; key and its certificate: secure policies too.
  LocalIdentity identity_;
  std::unique_ptr<CertificateVerifier> defaultVerifier_;
  CertificateVerifier* verifier_;

  AddressSpace space_;
  std::deque<VarSlot> slots_;
  std::vector<Node*> varNodes_;  // node handle - 1 -> node

  TcpTransport transport_;
  std::unordered_map<uint64_t, std::unique_ptr<Connection>> connections_;
  uint64_t lastConnectionId_ = 0;
  // What we keep per remote address: its connections and its failed-login allowance.
  struct Peer {
    uint32_t connections = 0;
    double activationTokens = 0;
    int64_t refillMs = 0;
  };
  std::unordered_map<std::string, Peer> peers_;
  size_t assemblyBytes_ = 0;  // unfinished multi-chunk messages of all connections
  int64_t runDeadlineMs_ = 0;  // the current run step's time for requests ends here
  bool inputRead_ = true;      // the step's Poll ended with time left: no input waits
  int64_t lastIdleCheckMs_ = 0;
  uint32_t lastChannelId_ = 0;

  std::unordered_map<NodeId, std::unique_ptr<Session>, NodeIdHash, NodeIdEq> sessions_;
  uint32_t lastSessionNumber_ = 0;
  uint32_t lastSubscriptionId_ = 0;
  uint32_t lastItemId_ = 0;
  uint64_t lastContinuationPoint_ = 0;
  size_t subscriptionCount_ = 0;
  size_t monitoredItemCount_ = 0;
  size_t queueSlots_ = 0;  // sum of the queue sizes of all monitored items
  std::vector<MonitoredItem*> pendingItems_;  // pushed items waiting for their sampling time
  // No pending item samples before this (it may be early, never late).
  int64_t pendingDueMs_ = INT64_MAX;
  uint64_t runSteps_ = 0;
  // Session and connection time-outs are checked at least this often by a caller that
  // waits on WaitTimeoutMs; they are seconds long, so a coarse period is precise enough.
  static constexpr int64_t kHousekeepingMs = 100;
  std::vector<MonitoredItem*> polledItems_;   // items on computed values

  std::string Nonce(size_t n);
  bool counterNonces_ = false;
  uint64_t nonceCounter_ = 0;

  Encoder response_;  // reused for every response
  Encoder scratch_;
  // Encoders keep this much capacity between messages and give more back.
  static constexpr size_t kKeptEncoderBytes = 1 << 20;
};

}  // namespace uaclib
#endif
