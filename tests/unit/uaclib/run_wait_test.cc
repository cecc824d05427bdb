// A caller that sleeps between run steps on what uasGetWaitInfo names, as the gateway's
// shells and uademo do: a request wakes it through the descriptor, without waiting for
// any timer, and the server's own timers (publishing) wake it with no request at all.
// The wake-ups are counted by cause; no time is asserted.
#include <gtest/gtest.h>
#include <poll.h>

#include <memory>

#include "tests/unit/uaclib/ua_test_client.h"
#include "uaclib/node_ids.h"

namespace {

using uaclib::Encoder;
using uatest::Channel;
using uatest::Response;
using uatest::SocketClient;
namespace enc = uaclib::enc;

// The wait-then-step loop of an event-driven caller, counting why each step ran.
struct EventLoop {
  uasHandle h;
  int byFd = 0, byTimer = 0;
  void Step() {
    TuasWaitInfo w{};
    ASSERT_EQ(uasGetWaitInfo(h, &w, int(sizeof w)), 0u);
    ASSERT_GE(w.fd, 0);
    pollfd p{w.fd, POLLIN, 0};
    // The bound only keeps a broken case from hanging; it is never what the test sees.
    int r = ::poll(&p, 1, w.timeoutMs >= 0 ? std::min(w.timeoutMs, 10000) : 10000);
    ++(r > 0 ? byFd : byTimer);
    TuasRunStats stats;
    uasRunIntv(h, &stats, int(sizeof stats));
  }
};

class RunWait : public ::testing::Test {
 protected:
  void SetUp() override {
    h_ = uasNewServer(0, nullptr, &uatest::NoWrite);
    ASSERT_NE(h_, nullptr);
    def_ = TuasVarDef{"V", "V", "V", nullptr, 0, UAS_TYPE_DOUBLE, 'R', 0};
    TuasVarDef* defs[] = {&def_};
    ASSERT_EQ(uasAddNameSpace(h_, defs, 1, nullptr, 0), 0u);
    TuasWaitInfo before{};
    ASSERT_EQ(uasGetWaitInfo(h_, &before, int(sizeof before)), 0u);
    EXPECT_EQ(before.fd, -1);  // nothing to wait on before the start
    ASSERT_EQ(uasRunStart(h_), 0u);
    loop_ = EventLoop{h_};
    client_ = std::make_unique<SocketClient>(h_, uasGetPort(h_));
    ASSERT_TRUE(client_->Connected());
    client_->step = [this] { loop_.Step(); };
  }
  void TearDown() override {
    client_.reset();
    uasDelServer(h_);
  }
  void Set(double v) {
    value_ = v;
    TuasUpdateItem item{def_.node, &value_, 0, 0};
    TuasUpdateItem* items[] = {&item};
    EXPECT_EQ(uasUpdateVar(h_, items, 1), 0u);
  }

  uasHandle h_ = nullptr;
  TuasVarDef def_{};
  double value_ = 0;
  EventLoop loop_{};
  std::unique_ptr<SocketClient> client_;
  Channel ch_;
};

TEST_F(RunWait, EveryRequestWakesTheCallerThroughTheDescriptor) {
  Set(7.5);
  struct Case {
    const char* name;
    std::function<bool()> exchange;  // sends one request, true when its answer is right
  } cases[] = {
      // The connection itself (made in SetUp) waits to be accepted: the first event.
      {"hello",
       [&] {
         client_->Send(uatest::Hello());
         return client_->NextMessage().messageType == "ACK";
       }},
      {"open channel",
       [&] {
         client_->Send(uatest::Open(ch_));
         Response r = client_->NextMessage();
         uaclib::Decoder d = r.Body();
         d.U32();
         ch_.id = d.U32();
         ch_.token = d.U32();
         return r.messageType == "OPN" && d.ok();
       }},
      {"create session", [&] { return client_->CreateSession(ch_); }},
      {"activate session", [&] { return client_->Activate(ch_, 0) == 0; }},
      {"read",
       [&] {
         Response r = client_->Call(ch_, enc::ReadRequest, uatest::ReadBody({{uaclib::NodeId::String(1, "V")}}));
         uaclib::Decoder d = r.Body();
         d.ArrayLength(1);
         return r.typeId == enc::ReadResponse && d.DataValue().value.d == 7.5 && d.ok();
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Quiet before the request (after the first): the descriptor is not readable and
    // the wait is not zero, so the caller sleeps rather than spins.
    TuasWaitInfo w{};
    ASSERT_EQ(uasGetWaitInfo(h_, &w, int(sizeof w)), 0u);
    pollfd p{w.fd, POLLIN, 0};
    if (&c != &cases[0]) {
      EXPECT_EQ(::poll(&p, 1, 0), 0);
      EXPECT_GT(w.timeoutMs, 0);
    }
    const int fdBefore = loop_.byFd;
    ASSERT_TRUE(c.exchange());
    EXPECT_GT(loop_.byFd, fdBefore);
  }
}

TEST_F(RunWait, PublishingIntervalWakesTheCallerWithoutARequest) {
  ASSERT_TRUE(client_->Handshake(ch_));
  ASSERT_TRUE(client_->Login(ch_));
  Encoder sub;
  sub.F64(300);  // publishing interval
  sub.U32(1000);
  sub.U32(1000);  // keep-alive count high: only data answers the Publish below
  sub.U32(0);
  sub.Bool(true);
  sub.U8(0);
  Response created = client_->Call(ch_, enc::CreateSubscriptionRequest, sub);
  ASSERT_EQ(created.typeId, enc::CreateSubscriptionResponse);
  uint32_t subId = created.Body().U32();
  Encoder mi;
  mi.U32(subId);
  mi.U32(2);
  mi.ArrayLength(1);
  mi.NodeId(uaclib::NodeId::String(1, "V"));
  mi.U32(uaclib::attr::Value);
  mi.NullString();
  mi.QualifiedName(0, {});
  mi.U32(2);
  mi.U32(1);
  mi.F64(0);
  mi.NullExtensionObject();
  mi.U32(10);
  mi.Bool(true);
  ASSERT_EQ(client_->Call(ch_, enc::CreateMonitoredItemsRequest, mi).typeId, enc::CreateMonitoredItemsResponse);
  // One publish answered first, whatever it carries (keep-alive or the initial value).
  Encoder pub;
  pub.EmptyArray();
  client_->Send(uatest::Message(ch_, enc::PublishRequest, pub));
  ASSERT_EQ(client_->NextMessage().typeId, enc::PublishResponse);
  // A value change between steps, as the bridge pushes it, once the next Publish is on
  // its way: the answer that carries it waits for the publishing timer.
  client_->Send(uatest::Message(ch_, enc::PublishRequest, pub));
  Set(42);
  const int timerBefore = loop_.byTimer;
  bool seen = false;
  for (int i = 0; i < 4 && !seen; ++i) {
    Response r = client_->NextMessage();
    ASSERT_EQ(r.typeId, enc::PublishResponse) << i;
    uaclib::Decoder d = r.Body();
    d.U32();
    for (int32_t k = d.ArrayLength(4); k > 0; --k) d.U32();  // available sequence numbers
    d.Bool();
    d.U32();
    d.Time();
    if (d.ArrayLength(3) == 1) {
      uaclib::ExtensionObjectView x = d.ExtensionObject();
      uaclib::Decoder b(reinterpret_cast<const uint8_t*>(x.body.data()), x.body.size());
      if (b.ArrayLength(5) == 1) {
        b.U32();
        seen = b.DataValue().value.d == 42;
      }
    }
    if (!seen) client_->Send(uatest::Message(ch_, enc::PublishRequest, pub));
  }
  EXPECT_TRUE(seen);
  EXPECT_GT(loop_.byTimer, timerBefore);
  // The loop slept between its steps: far fewer steps than a 1 ms poll would take.
  EXPECT_LT(loop_.byFd + loop_.byTimer, 200);
}

}  // namespace
