// The server's budgets against clients that hold resources without doing useful work:
// connection slots, unactivated sessions, orphaned sessions, acknowledgements, unfinished
// messages, unread answers and encrypted passwords. Socketless connections on a clock the
// test advances.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "tests/unit/uaclib/ua_test_client.h"
#include "uaclib/server.h"
#include "uaclib/status_codes.h"

namespace {

using uaclib::Connection;
using uaclib::Decoder;
using uaclib::Encoder;
using uatest::Channel;
using uatest::Response;
namespace enc = uaclib::enc;
namespace status = uaclib::status;

using uatest::NoWrite;
using uatest::TestClock;

// One socketless client: its connection, channel and what it received.
struct Client {
  Connection* conn = nullptr;
  Channel ch;

  void Send(const uatest::Bytes& b) { conn->Feed(b.data(), b.size()); }
  // Every message written so far, consumed: MSG as service responses, ERR with its code.
  std::vector<Response> Drain() {
    std::vector<Response> out;
    const uint8_t* p = conn->OutData();
    size_t n = conn->OutSize();
    while (n >= 8) {
      uint32_t size;
      std::memcpy(&size, p + 4, 4);
      if (size < 8 || size > n) break;
      Response r;
      r.messageType = std::string(reinterpret_cast<const char*>(p), 3);
      if (r.messageType == "MSG" && size >= 24) {
        uatest::ParseServiceResponse(p + 24, size - 24, r);
      } else if (r.messageType == "ERR" && size >= 12) {
        std::memcpy(&r.errorCode, p + 8, 4);
      } else if (r.messageType == "OPN" && size >= 12) {
        std::memcpy(&ch.id, p + 8, 4);
        ch.token = 1;
      }
      out.push_back(r);
      p += size;
      n -= size;
    }
    conn->Consume(conn->OutSize());
    return out;
  }
  Response Call(uint32_t typeId, const Encoder& body) {
    Send(uatest::Message(ch, typeId, body));
    std::vector<Response> r = Drain();
    return r.empty() ? Response{} : r.back();
  }
  uint32_t CreateSession() {
    Response r = Call(enc::CreateSessionRequest, uatest::CreateSessionBody());
    if (r.typeId != enc::CreateSessionResponse) return r.serviceResult ? r.serviceResult : r.errorCode;
    Decoder d = r.Body();
    d.NodeId();
    ch.authToken = uaclib::NodeId(d.NodeId());
    return status::Good;
  }
  uint32_t Activate() { return Call(enc::ActivateSessionRequest, uatest::ActivateSessionBody(0)).serviceResult; }
  bool Closed() const { return conn->Closing(); }
};

class Budgets : public ::testing::Test {
 protected:
  void Start(uaclib::ServerConfig cfg = {}) {
    server_ = std::make_unique<uaclib::Server>(0, std::move(cfg), &NoWrite, &clock_);
    server_->UseCounterNonces();
    def_ = TuasVarDef{"V", "V", "V", nullptr, 0, UAS_TYPE_DOUBLE, 'R', 0};
    TuasVarDef* defs[] = {&def_};
    ASSERT_EQ(server_->AddNamespace(defs, 1, nullptr, 0), 0u);
  }
  uaclib::Limits& Limits() { return server_->MutableLimits(); }

  // A connection from `peer` with Hello and an open channel.
  Client& Connect(const std::string& peer = "10.0.0.1") {
    Client& c = clients_.emplace_back();
    c.conn = server_->OpenLocalConnection(peer);
    if (!c.conn) return c;
    c.Send(uatest::Hello());
    c.Send(uatest::Open(c.ch));
    c.Drain();
    return c;
  }
  Client& LoggedIn(const std::string& peer = "10.0.0.1") {
    Client& c = Connect(peer);
    EXPECT_EQ(c.CreateSession(), status::Good);
    EXPECT_EQ(c.Activate(), status::Good);
    return c;
  }
  void Advance(int64_t ms) {
    for (int64_t t = 0; t < ms; t += 50) {
      clock_.ms += 50;
      server_->RunTimers();
    }
  }
  int32_t ClientsInStats() {
    TuasRunStats s{};
    EXPECT_EQ(server_->RunOnce(&s, int(sizeof s)), 0u);
    return s.clients;
  }

  TestClock clock_;
  std::unique_ptr<uaclib::Server> server_;
  TuasVarDef def_{};
  std::deque<Client> clients_;
};

TEST_F(Budgets, ConnectionSlotsGoToClients) {
  Start();
  Limits().maxConnectionsPerPeer = 2;
  Limits().maxUnactivatedConnections = 3;
  Limits().activateTimeoutMs = 2000;

  // Per address: the third connection of one peer is refused, another peer still gets in.
  Client& client = LoggedIn("10.0.0.1");
  Connect("10.0.0.1");
  EXPECT_EQ(server_->OpenLocalConnection("10.0.0.1"), nullptr);
  Client& a = Connect("10.0.0.2");
  ASSERT_NE(a.conn, nullptr);

  // A bare connect is no client; one that said Hello is.
  server_->OpenLocalConnection("10.0.0.3");
  EXPECT_EQ(ClientsInStats(), 3);

  // The unactivated budget (3) is full: a new connection makes the oldest one go.
  Client& b = Connect("10.0.0.4");
  std::vector<Response> gone = clients_[1].Drain();
  ASSERT_EQ(gone.size(), 1u);
  EXPECT_EQ(gone[0].errorCode, status::BadTcpNotEnoughResources);
  EXPECT_FALSE(a.Closed());

  // Without an activated session in time a connection closes; a client stays.
  Advance(2100);
  EXPECT_TRUE(a.Closed());
  EXPECT_TRUE(b.Closed());
  EXPECT_EQ(b.Drain().back().errorCode, status::BadTimeout);
  EXPECT_FALSE(client.Closed());
}

TEST_F(Budgets, SessionsMustBeActivatedSoon) {
  Start();
  Limits().maxSessions = 3;
  Limits().maxUnactivatedSessionsPerConnection = 2;
  Limits().activateTimeoutMs = 1000;
  Client& a = Connect();
  Client& b = Connect();
  Client& good = Connect();
  // Per connection: two sessions waiting for activation, no third.
  ASSERT_EQ(a.CreateSession(), status::Good);
  clock_.ms += 10;
  ASSERT_EQ(a.CreateSession(), status::Good);
  EXPECT_EQ(a.CreateSession(), status::BadTooManySessions);
  ASSERT_EQ(b.CreateSession(), status::Good);
  // All sessions taken: the oldest unactivated one makes room.
  ASSERT_EQ(good.CreateSession(), status::Good);
  EXPECT_EQ(server_->SessionCount(), 3u);
  EXPECT_EQ(good.Activate(), status::Good);
  // The rest is dropped when its activation time is over, even with a time-out of 60 s.
  Advance(1100);
  EXPECT_EQ(server_->SessionCount(), 1u);
  EXPECT_EQ(good.Call(enc::ReadRequest, uatest::ReadBody({{uaclib::NodeId::String(1, "V")}})).typeId,
            enc::ReadResponse);
}

TEST_F(Budgets, OrphanedSessionKeepsItsSubscriptionsOnlyForTheGraceTime) {
  Start();
  Limits().orphanGraceMs = 1000;
  Encoder sub;
  sub.F64(100);
  sub.U32(1000);
  sub.U32(10);
  sub.U32(0);
  sub.Bool(true);
  sub.U8(0);
  for (bool comesBack : {true, false}) {
    Client& c = LoggedIn();
    ASSERT_EQ(c.Call(enc::CreateSubscriptionRequest, sub).serviceResult, status::Good);
    server_->CloseLocalConnection(c.conn);
    Advance(500);
    ASSERT_EQ(server_->SubscriptionCount(), 1u);
    if (comesBack) {
      // The client activates its session on a new channel within the grace time.
      Client& again = Connect();
      again.ch.authToken = c.ch.authToken;
      ASSERT_EQ(again.Activate(), status::Good);
      Advance(1000);
      EXPECT_EQ(server_->SubscriptionCount(), 1u);
      Encoder close;
      close.Bool(true);
      ASSERT_EQ(again.Call(enc::CloseSessionRequest, close).typeId, enc::CloseSessionResponse);
      ASSERT_EQ(server_->SubscriptionCount(), 0u);
    } else {
      Advance(600);
      EXPECT_EQ(server_->SessionCount(), 0u);
      EXPECT_EQ(server_->SubscriptionCount(), 0u);
    }
  }
}

TEST_F(Budgets, PublishCarriesABoundedNumberOfAcknowledgements) {
  Start();
  Limits().maxAcknowledgementsPerPublish = 3;
  Client& c = LoggedIn();
  Encoder sub;
  sub.F64(100);
  sub.U32(1000);
  sub.U32(10);
  sub.U32(0);
  sub.Bool(true);
  sub.U8(0);
  ASSERT_EQ(c.Call(enc::CreateSubscriptionRequest, sub).serviceResult, status::Good);
  auto publish = [&](uint32_t acks) {
    Encoder e;
    e.ArrayLength(acks);
    for (uint32_t i = 0; i < acks; ++i) {
      e.U32(1);
      e.U32(i + 1);
    }
    c.Send(uatest::Message(c.ch, enc::PublishRequest, e));
    return c.Drain();
  };
  std::vector<Response> r = publish(4);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].serviceResult, status::BadTooManyOperations);
  EXPECT_TRUE(publish(3).empty());  // queued until the subscription has something to send
}

// Chunks of 60 000 body bytes of one message whose final chunk never comes.
void SendUnfinished(Client& c, size_t chunks) {
  std::vector<uint8_t> part(60000, 0);
  for (size_t i = 0; i < chunks && !c.Closed(); ++i) {
    Encoder e;
    e.U32(c.ch.id);
    e.U32(c.ch.token);
    e.U32(c.ch.seq++);
    e.U32(99);
    e.Bytes(part.data(), part.size());
    c.Send(uatest::Chunk("MSG", 'C', e));
  }
}

TEST_F(Budgets, UnfinishedMessagesHaveABudget) {
  struct Case {
    const char* what;
    bool activated;
    size_t chunks;  // of 60 000 body bytes each, never finished
    uint32_t expected;  // 0: still open
  } cases[] = {
      {"unactivated, within its small bound", false, 1, 0},
      {"unactivated, beyond its small bound", false, 3, status::BadTcpMessageTooLarge},
      {"activated, within the budget of all", true, 3, 0},
      {"activated, beyond the budget of all", true, 3, status::BadTcpNotEnoughResources},
  };
  Start();
  Limits().maxUnactivatedMessageSize = 100000;
  Limits().maxAssemblyBytes = 300000;
  for (const Case& k : cases) {
    Client& c = k.activated ? LoggedIn() : Connect();
    SendUnfinished(c, k.chunks);
    std::vector<Response> r = c.Drain();
    EXPECT_EQ(r.empty() ? 0u : r.back().errorCode, k.expected) << k.what;
  }
  // Closed connections give their share back: a new one has room again.
  for (Client& c : clients_) server_->CloseLocalConnection(c.conn);
  clients_.clear();
  Client& c = LoggedIn();
  SendUnfinished(c, 4);
  EXPECT_FALSE(c.Closed());
}

TEST_F(Budgets, UnreadAnswersStopTheReadingOfRequests) {
  Start();
  Limits().readPauseOutput = 65536;
  Client& c = LoggedIn();
  // Twenty Reads of 1000 values (about 20 KB of answer each) in one go.
  std::vector<uatest::ReadItem> items(1000, {uaclib::NodeId::String(1, "V")});
  uatest::Bytes all;
  for (int i = 0; i < 20; ++i) {
    uatest::Bytes m = uatest::Message(c.ch, enc::ReadRequest, uatest::ReadBody(items));
    all.insert(all.end(), m.begin(), m.end());
  }
  c.Send(all);
  size_t answered = 0;
  for (int round = 0; round < 40 && answered < 20; ++round) {
    // Never far beyond the bound while the client reads nothing.
    EXPECT_LT(c.conn->OutSize(), 65536u + 30000u);
    answered += c.Drain().size();
    c.conn->Resume();
  }
  EXPECT_EQ(answered, 20u);  // each answered once the client read the ones before
}

// An RSA key of the server, DER, and a public encryption with it.
struct ServerKey {
  EVP_PKEY* key = EVP_RSA_gen(2048);
  ~ServerKey() { EVP_PKEY_free(key); }
  std::string Der() const {
    unsigned char* p = nullptr;
    int n = i2d_PrivateKey(key, &p);
    std::string out(reinterpret_cast<char*>(p), size_t(n));
    OPENSSL_free(p);
    return out;
  }
};

TEST_F(Budgets, EncryptedPasswordsAreBoundedAndFailuresThrottled) {
  ServerKey key;
  uaclib::ServerConfig cfg;
  cfg.hasUser = true;
  cfg.userName = "u";
  cfg.password = "right";
  cfg.privateKey = key.Der();
  Start(cfg);
  Limits().activationFailBurst = 3;
  Limits().activationFailRefillMs = 1000;
  const std::string oaep(uaclib::kRsaOaepUri);
  auto activate = [&](Client& c, const std::string& secret, const std::string& alg) {
    return c.Call(enc::ActivateSessionRequest, uatest::ActivateSessionBody(1, "u", secret, alg)).serviceResult;
  };
  Client& c = Connect("10.0.0.9");
  ASSERT_EQ(c.CreateSession(), status::Good);
  // Five key blocks are more than a password needs: refused without decrypting.
  EXPECT_EQ(activate(c, std::string(5 * 256, 'x'), oaep), status::BadIdentityTokenInvalid);
  EXPECT_EQ(activate(c, "wrong", ""), status::BadUserAccessDenied);
  EXPECT_EQ(activate(c, "wrong", ""), status::BadUserAccessDenied);
  // The peer's attempts are used up: even the right password waits, the connection ends.
  EXPECT_EQ(activate(c, "right", ""), status::BadUserAccessDenied);
  EXPECT_TRUE(c.Closed());
  // Another address is not held up, and the peer may try again after the refill time.
  Client& other = Connect("10.0.0.8");
  ASSERT_EQ(other.CreateSession(), status::Good);
  EXPECT_EQ(activate(other, "right", ""), status::Good);
  clock_.ms += 1000;
  Client& again = Connect("10.0.0.9");
  ASSERT_EQ(again.CreateSession(), status::Good);
  EXPECT_EQ(activate(again, "right", ""), status::Good);
}

}  // namespace

namespace {

// A clock that moves on by a millisecond at every reading once started, so work is time.
class BusyClock final : public uaclib::Clock {
 public:
  int64_t ms = 1000000;
  bool ticking = false;
  int64_t NowMs() override { return ticking ? ++ms : ms; }
  uaclib::DateTime UtcNow() override { return uaclib::UnixMsToDateTime(1700000000000LL + ms); }
};

// Runs the server's steps until `count` whole messages came back on `fd`; the steps it
// took, -1 if they never came. `last` gets the last one (for OPN: the channel id in its
// request handle field).
int StepsUntilMessages(uaclib::Server& server, int fd, uatest::Bytes& in, int count,
                       Response* last = nullptr) {
  int got = 0;
  for (int steps = 1; steps < 10000; ++steps) {
    EXPECT_EQ(server.RunOnce(nullptr, 0), 0u);
    uint8_t buf[65536];
    ssize_t r;
    while ((r = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) in.insert(in.end(), buf, buf + r);
    size_t pos = 0;
    while (in.size() - pos >= 8) {
      uint32_t size;
      std::memcpy(&size, in.data() + pos + 4, 4);
      if (size < 8 || in.size() - pos < size) break;
      if (in[pos + 3] == 'F') {
        ++got;
        std::string type(reinterpret_cast<const char*>(in.data() + pos), 3);
        if (last && type == "MSG") uatest::ParseServiceResponse(in.data() + pos + 24, size - 24, *last);
        if (last && type == "OPN") std::memcpy(&last->requestHandle, in.data() + pos + 8, 4);
      }
      pos += size;
    }
    in.erase(in.begin(), in.begin() + long(pos));
    if (got >= count) return steps;
  }
  return -1;
}

TEST(RunBudget, RequestsBeyondTheStepsTimeWaitForTheNextStep) {
  BusyClock clock;
  uaclib::Server server(0, uaclib::ServerConfig{}, &NoWrite, &clock);
  server.MutableLimits().runBudgetMs = 5;
  ASSERT_EQ(server.Start(), 0u);
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(server.Port()));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  auto send = [fd](const uatest::Bytes& b) { ASSERT_EQ(::send(fd, b.data(), b.size(), 0), ssize_t(b.size())); };
  uatest::Bytes in;
  Channel ch;
  Response r;
  send(uatest::Hello());
  ASSERT_GT(StepsUntilMessages(server, fd, in, 1), 0);
  send(uatest::Open(ch));
  ASSERT_GT(StepsUntilMessages(server, fd, in, 1, &r), 0);
  ch.id = r.requestHandle;
  ch.token = 1;
  send(uatest::Message(ch, enc::CreateSessionRequest, uatest::CreateSessionBody()));
  ASSERT_GT(StepsUntilMessages(server, fd, in, 1, &r), 0);
  Decoder d = r.Body();
  d.NodeId();
  ch.authToken = uaclib::NodeId(d.NodeId());
  send(uatest::Message(ch, enc::ActivateSessionRequest, uatest::ActivateSessionBody(0)));
  ASSERT_GT(StepsUntilMessages(server, fd, in, 1, &r), 0);
  ASSERT_EQ(r.serviceResult, 0u);

  // Twenty requests arrive at once; with time running at every reading, one step has
  // room for a few of them and the others follow in later steps, none lost.
  uatest::Bytes all;
  for (int i = 0; i < 20; ++i) {
    uatest::Bytes m = uatest::Message(ch, enc::ReadRequest, uatest::ReadBody({{uaclib::NodeId::String(1, "none")}}));
    all.insert(all.end(), m.begin(), m.end());
  }
  send(all);
  clock.ticking = true;
  int steps = StepsUntilMessages(server, fd, in, 20);
  ASSERT_GT(steps, 0) << "answers missing";
  EXPECT_GT(steps, 3);
  ::close(fd);
}

}  // namespace
