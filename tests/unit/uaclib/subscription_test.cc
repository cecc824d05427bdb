// The publish cycle on a clock the test advances: keep-alives, lifetime expiry with its
// StatusChangeNotification, sampling that keeps the latest value, acknowledgements and
// Republish. The client talks to a socketless connection of the server.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/uaclib/ua_test_client.h"
#include "uaclib/server.h"
#include "uaclib/status_codes.h"

namespace {

using uaclib::Decoder;
using uaclib::Encoder;
using uatest::Channel;
using uatest::Response;
namespace enc = uaclib::enc;
namespace status = uaclib::status;

using uatest::NoWrite;
using uatest::TestClock;

struct Publish {
  uint32_t subscription = 0;
  uint32_t seq = 0;
  std::vector<uint32_t> available;
  std::vector<double> values;  // data changes
  uint32_t statusChange = 0;   // StatusChangeNotification status
};

Publish ParsePublish(const Response& r) {
  Publish p;
  Decoder d = r.Body();
  p.subscription = d.U32();
  int32_t n = d.ArrayLength(4);
  for (int32_t i = 0; i < n; ++i) p.available.push_back(d.U32());
  d.Bool();
  p.seq = d.U32();
  d.Time();
  n = d.ArrayLength(3);
  for (int32_t i = 0; i < n; ++i) {
    uaclib::ExtensionObjectView x = d.ExtensionObject();
    Decoder b(reinterpret_cast<const uint8_t*>(x.body.data()), x.body.size());
    if (x.typeId.IsNs0(enc::StatusChangeNotification)) {
      p.statusChange = b.U32();
      continue;
    }
    int32_t k = b.ArrayLength(5);
    for (int32_t j = 0; j < k; ++j) {
      b.U32();
      p.values.push_back(b.DataValue().value.d);
    }
  }
  EXPECT_TRUE(d.ok());
  return p;
}

class PublishCycle : public ::testing::Test {
 protected:
  PublishCycle() {
    uaclib::ServerConfig cfg;
    server_ = std::make_unique<uaclib::Server>(0, cfg, &NoWrite, &clock_);
    server_->UseCounterNonces();
    def_ = TuasVarDef{"V", "V", "V", nullptr, 0, UAS_TYPE_DOUBLE, 'R', 0};
    TuasVarDef* defs[] = {&def_};
    EXPECT_EQ(server_->AddNamespace(defs, 1, nullptr, 0), 0u);
    conn_ = server_->OpenLocalConnection();
    Send(uatest::Hello());
    Send(uatest::Open(ch_));
    ch_.id = 1;
    ch_.token = 1;
    Send(uatest::Message(ch_, enc::CreateSessionRequest, uatest::CreateSessionBody()));
    Response cs = Drain().back();
    Decoder d = cs.Body();
    d.NodeId();
    ch_.authToken = uaclib::NodeId(d.NodeId());
    Send(uatest::Message(ch_, enc::ActivateSessionRequest, uatest::ActivateSessionBody(0)));
    EXPECT_EQ(Drain().back().serviceResult, 0u);
  }

  void Send(const uatest::Bytes& b) { conn_->Feed(b.data(), b.size()); }
  // Service responses written so far (Hello and OpenSecureChannel answers are skipped).
  std::vector<Response> Drain() {
    std::vector<Response> out;
    const uint8_t* p = conn_->OutData();
    size_t n = conn_->OutSize();
    while (n >= 8) {
      uint32_t size;
      std::memcpy(&size, p + 4, 4);
      if (std::string_view(reinterpret_cast<const char*>(p), 3) == "MSG") {
        Response r;
        uatest::ParseServiceResponse(p + 24, size - 24, r);
        out.push_back(r);
      }
      p += size;
      n -= size;
    }
    conn_->Consume(conn_->OutSize());
    return out;
  }
  void Advance(int64_t ms) {
    for (int64_t t = 0; t < ms; t += 10) {
      clock_.ms += 10;
      server_->RunTimers();
    }
  }
  void Set(double v) {
    value_ = v;
    TuasUpdateItem item{def_.node, &value_, 0, 0};
    TuasUpdateItem* items[] = {&item};
    EXPECT_EQ(server_->Update(items, 1), 0u);
  }
  uint32_t CreateSubscription(double interval, uint32_t lifetime, uint32_t keepAlive) {
    Encoder e;
    e.F64(interval);
    e.U32(lifetime);
    e.U32(keepAlive);
    e.U32(0);
    e.Bool(true);
    e.U8(0);
    Send(uatest::Message(ch_, enc::CreateSubscriptionRequest, e));
    return Drain().back().Body().U32();
  }
  void Monitor(uint32_t sub, double sampling) {
    Encoder e;
    e.U32(sub);
    e.U32(0);
    e.ArrayLength(1);
    e.NodeId(uaclib::NodeId::String(1, "V"));
    e.U32(uaclib::attr::Value);
    e.NullString();
    e.QualifiedName(0, {});
    e.U32(2);
    e.U32(1);
    e.F64(sampling);
    e.NullExtensionObject();
    e.U32(10);
    e.Bool(true);
    Send(uatest::Message(ch_, enc::CreateMonitoredItemsRequest, e));
    Drain();
  }
  void SendPublish(uint32_t ackSub = 0, uint32_t ackSeq = 0) {
    Encoder e;
    if (ackSub) {
      e.ArrayLength(1);
      e.U32(ackSub);
      e.U32(ackSeq);
    } else {
      e.EmptyArray();
    }
    Send(uatest::Message(ch_, enc::PublishRequest, e));
  }

  TestClock clock_;
  std::unique_ptr<uaclib::Server> server_;
  TuasVarDef def_;
  double value_ = 0;
  uaclib::Connection* conn_ = nullptr;
  Channel ch_;
};

TEST_F(PublishCycle, KeepAlivesThenLifetimeExpiry) {
  uint32_t sub = CreateSubscription(100, 30, 3);
  SendPublish();
  Advance(100);  // the first cycle always answers, with a keep-alive here
  std::vector<Response> r = Drain();
  ASSERT_EQ(r.size(), 1u);
  Publish first = ParsePublish(r[0]);
  EXPECT_EQ(first.subscription, sub);
  EXPECT_TRUE(first.values.empty());
  EXPECT_EQ(first.seq, 1u);  // a keep-alive names the next sequence number

  SendPublish();
  Advance(200);
  EXPECT_TRUE(Drain().empty());  // two quiet cycles of the three
  Advance(100);
  r = Drain();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_TRUE(ParsePublish(r[0]).values.empty());

  // No Publish requests for the whole lifetime: the subscription ends.
  Advance(30 * 100);
  EXPECT_EQ(server_->SubscriptionCount(), 0u);
  SendPublish();
  r = Drain();
  ASSERT_EQ(r.size(), 1u);
  Publish gone = ParsePublish(r[0]);
  EXPECT_EQ(gone.subscription, sub);
  EXPECT_EQ(gone.statusChange, status::BadTimeout);
  SendPublish();
  r = Drain();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].serviceResult, status::BadNoSubscription);
}

// The publishing interval is the least time between two messages: a change that finds
// the last message an interval old goes out in the same step; one right after a message
// waits for the interval.
TEST_F(PublishCycle, AChangeGoesOutAtOnceWhenTheLastMessageIsAnIntervalOld) {
  uint32_t sub = CreateSubscription(100, 100, 50);
  Monitor(sub, 0);
  Set(1);
  for (int i = 0; i < 3; ++i) SendPublish();
  Advance(100);  // the first cycle carries the value
  std::vector<Response> r = Drain();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(ParsePublish(r[0]).values.back(), 1);
  Advance(130);  // a quiet cycle (no keep-alive due) and 30 ms more
  EXPECT_TRUE(Drain().empty());
  Set(2);  // 130 ms after the last message
  server_->RunTimers();
  r = Drain();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(ParsePublish(r[0]).values.back(), 2);
  Set(3);  // at once after a message
  server_->RunTimers();
  Advance(90);
  EXPECT_TRUE(Drain().empty());
  Advance(10);
  r = Drain();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(ParsePublish(r[0]).values.back(), 3);
}

TEST_F(PublishCycle, SamplingKeepsTheLatestValueAndRepublishServesUnacknowledged) {
  Set(0);
  uint32_t sub = CreateSubscription(100, 100, 10);
  Monitor(sub, 500);  // samples 0 at once
  Advance(100);
  Set(1);
  Set(2);  // both inside the sampling interval: 2 is taken at its end
  SendPublish();
  Advance(100);
  std::vector<Response> r = Drain();
  ASSERT_EQ(r.size(), 1u);
  Publish p1 = ParsePublish(r[0]);
  EXPECT_EQ(p1.values, std::vector<double>({0}));
  SendPublish();
  Advance(400);
  r = Drain();
  ASSERT_EQ(r.size(), 1u);
  Publish p2 = ParsePublish(r[0]);
  EXPECT_EQ(p2.values, std::vector<double>({2}));
  EXPECT_EQ(p2.available, std::vector<uint32_t>({p1.seq, p2.seq}));

  // The unacknowledged message is served again; once acknowledged it is gone.
  Encoder rep;
  rep.U32(sub);
  rep.U32(p1.seq);
  Send(uatest::Message(ch_, enc::RepublishRequest, rep));
  r = Drain();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].typeId, enc::RepublishResponse);
  EXPECT_EQ(r[0].Body().U32(), p1.seq);
  SendPublish(sub, p1.seq);
  Send(uatest::Message(ch_, enc::RepublishRequest, rep));
  r = Drain();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].serviceResult, status::BadMessageNotAvailable);
}

}  // namespace
