// Requests at and past the server's bounds, on a socketless connection: operation
// limits, answers larger than the client accepts, the work of one Browse or path,
// requests cut short, many monitored items, and writes the devices cannot take.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/unit/uaclib/ua_test_client.h"
#include "uaclib/node_ids.h"
#include "uaclib/server.h"
#include "uaclib/status_codes.h"

namespace {

using uaclib::Decoder;
using uaclib::Encoder;
using uaclib::NodeId;
using uatest::Response;
namespace enc = uaclib::enc;
namespace ns0 = uaclib::ns0;
namespace attr = uaclib::attr;
namespace status = uaclib::status;

using uatest::TestClock;

// The write callback has no user pointer; the server under test owns this list.
std::vector<double>* g_written = nullptr;
void OnWrite(void*, void*, double* v) {
  if (g_written) g_written->push_back(*v);
}

struct Var {
  std::string name;  // full name "P.<name>"
  int32_t type = UAS_TYPE_DOUBLE;
  std::string browse;  // empty: the name
};

std::vector<Var> Numbered(size_t n, size_t nameLength = 0) {
  std::vector<Var> vars;
  for (size_t i = 0; i < n; ++i) {
    std::string name = "V" + std::to_string(i);
    if (name.size() < nameLength) name.append(nameLength - name.size(), '_');
    vars.push_back({name, UAS_TYPE_DOUBLE, ""});
  }
  return vars;
}

// A server with folder P (number 1) holding `vars`, and one client logged in on a
// socketless connection that accepts messages up to `maxMessage` bytes (0: any).
class Local {
 public:
  explicit Local(const std::vector<Var>& vars, uint32_t maxMessage = 0) {
    g_written = &written;
    server.UseCounterNonces();
    full_.reserve(vars.size());
    browse_.reserve(vars.size());
    for (const Var& v : vars) {
      full_.push_back("P." + v.name);
      browse_.push_back(v.browse.empty() ? v.name : v.browse);
    }
    for (size_t i = 0; i < vars.size(); ++i)
      defs_.push_back(TuasVarDef{full_[i].c_str(), browse_[i].c_str(), browse_[i].c_str(), nullptr,
                                 1, vars[i].type, 'W', 0});
    std::vector<TuasVarDef*> ptrs;
    for (auto& d : defs_) ptrs.push_back(&d);
    TuasFolder folder{"P", 1, 0, 0, 0};
    TuasFolder* folders[] = {&folder};
    EXPECT_EQ(server.AddNamespace(ptrs.data(), int(ptrs.size()), folders, 1), 0u);
    conn_ = server.OpenLocalConnection();
    Send(uatest::Hello(65535, 65535, maxMessage, 0));
    Send(uatest::Open(ch));
    ch.id = 1;
    ch.token = 1;
    Response cs = Call(enc::CreateSessionRequest, uatest::CreateSessionBody());
    Decoder d = cs.Body();
    d.NodeId();
    ch.authToken = NodeId(d.NodeId());
    EXPECT_EQ(Call(enc::ActivateSessionRequest, uatest::ActivateSessionBody(0)).serviceResult, 0u);
  }
  ~Local() { g_written = nullptr; }
  Local(const Local&) = delete;
  Local& operator=(const Local&) = delete;

  void Send(const uatest::Bytes& b) { conn_->Feed(b.data(), b.size()); }
  void SendRequest(uint32_t type, const Encoder& body, size_t cut = 0) {
    Send(uatest::ChunkedMessage(ch, type, body, cut));
  }
  // Service responses written so far, their chunks joined; an Error message ends them.
  std::vector<Response> Drain() {
    std::vector<Response> out;
    const uint8_t* p = conn_->OutData();
    size_t n = conn_->OutSize();
    uatest::Bytes joined;
    while (n >= 8) {
      uint32_t size;
      std::memcpy(&size, p + 4, 4);
      std::string_view type(reinterpret_cast<const char*>(p), 3);
      if (type == "ERR") failed = true;
      if (type == "MSG") {
        joined.insert(joined.end(), p + 24, p + size);
        if (p[3] == 'F') {
          Response r;
          uatest::ParseServiceResponse(joined.data(), joined.size(), r);
          out.push_back(r);
          joined.clear();
        }
      }
      p += size;
      n -= size;
    }
    conn_->Consume(conn_->OutSize());
    return out;
  }
  Response Call(uint32_t type, const Encoder& body) {
    SendRequest(type, body);
    std::vector<Response> r = Drain();
    return r.empty() ? Response{} : r.back();
  }

  TestClock clock;
  std::vector<double> written;
  uaclib::Server server{0, uaclib::ServerConfig{}, &OnWrite, &clock};
  uatest::Channel ch;
  bool failed = false;  // the server sent an Error message and closed

 private:
  std::vector<std::string> full_, browse_;
  std::vector<TuasVarDef> defs_;
  uaclib::Connection* conn_ = nullptr;
};

const NodeId kFolder = NodeId::Numeric(1, 1);
NodeId VarId(size_t i) { return NodeId::String(1, "P.V" + std::to_string(i)); }

Encoder BrowseBody(const std::vector<NodeId>& nodes, uint32_t maxRefs) {
  Encoder e;
  e.NumericNodeId(0);
  e.Time(0);
  e.U32(0);
  e.U32(maxRefs);
  e.ArrayLength(nodes.size());
  for (const NodeId& n : nodes) {
    e.NodeId(n);
    e.U32(0);  // forward
    e.NumericNodeId(ns0::HierarchicalReferences);
    e.Bool(true);
    e.U32(0);
    e.U32(63);
  }
  return e;
}

struct BrowseResult {
  uint32_t status = 0;
  std::string point;
  std::vector<std::string> targets;  // string ids of the targets
};

std::vector<BrowseResult> ParseBrowse(const Response& r) {
  std::vector<BrowseResult> out;
  Decoder d = r.Body();
  int32_t n = d.ArrayLength(1);
  for (int32_t i = 0; i < n && d.ok(); ++i) {
    BrowseResult b;
    b.status = d.U32();
    b.point = std::string(d.ByteString());
    int32_t k = d.ArrayLength(1);
    for (int32_t j = 0; j < k && d.ok(); ++j) {
      d.NodeId();
      d.Bool();
      b.targets.emplace_back(d.ExpandedNodeId().text);
      d.QualifiedName();
      d.LocalizedText(nullptr, nullptr);
      d.U32();
      d.ExpandedNodeId();
    }
    out.push_back(std::move(b));
  }
  EXPECT_TRUE(d.ok());
  return out;
}

struct Element {
  bool inverse;
  std::string name;
};
using Path = std::vector<Element>;

Encoder PathsBody(const NodeId& start, const std::vector<Path>& paths) {
  Encoder e;
  e.ArrayLength(paths.size());
  for (const Path& p : paths) {
    e.NodeId(start);
    e.ArrayLength(p.size());
    for (const Element& el : p) {
      e.NumericNodeId(0);  // any reference type
      e.Bool(el.inverse);
      e.Bool(true);
      e.QualifiedName(1, el.name);
    }
  }
  return e;
}

// Status and target count of each path.
std::vector<std::pair<uint32_t, int32_t>> ParsePaths(const Response& r) {
  std::vector<std::pair<uint32_t, int32_t>> out;
  Decoder d = r.Body();
  int32_t n = d.ArrayLength(1);
  for (int32_t i = 0; i < n && d.ok(); ++i) {
    uint32_t sc = d.U32();
    int32_t k = d.ArrayLength(1);
    for (int32_t j = 0; j < k; ++j) {
      d.ExpandedNodeId();
      d.U32();
    }
    out.emplace_back(sc, k);
  }
  EXPECT_TRUE(d.ok());
  return out;
}

// ------------------------------------------------------------------ operation limits

TEST(UaBounds, RequestsPastTheAnnouncedLimitsAreRefused) {
  Local s(Numbered(2));
  const uaclib::Limits& lim = s.server.GetLimits();
  struct Case {
    const char* name;
    uint32_t type;
    Encoder body;
  };
  std::vector<uatest::ReadItem> reads(lim.maxNodesPerRead + 1, uatest::ReadItem{VarId(0)});
  std::vector<Case> cases;
  cases.push_back({"Browse", enc::BrowseRequest,
                   BrowseBody(std::vector<NodeId>(lim.maxNodesPerBrowse + 1, kFolder), 0)});
  cases.push_back({"Read", enc::ReadRequest, uatest::ReadBody(reads)});
  cases.push_back({"TranslateBrowsePaths", enc::TranslateBrowsePathsRequest,
                   PathsBody(kFolder, std::vector<Path>(lim.maxNodesPerTranslateBrowsePaths + 1,
                                                        Path{{false, "V0"}}))});
  for (const Case& c : cases) {
    Response r = s.Call(c.type, c.body);
    EXPECT_EQ(r.serviceResult, status::BadTooManyOperations) << c.name;
  }
  // At the limits the same requests are served.
  reads.pop_back();
  Response r = s.Call(enc::ReadRequest, uatest::ReadBody(reads));
  EXPECT_EQ(r.serviceResult, 0u);
  EXPECT_EQ(r.Body().ArrayLength(1), int32_t(lim.maxNodesPerRead));
}

TEST(UaBounds, PathsLongerThanTheLimitOrTooMuchWorkFailAlone) {
  // Every variable but one has the browse name "V": a step down from P matches them all.
  std::vector<Var> vars = Numbered(3000);
  for (Var& v : vars) v.browse = "V";
  vars[0].browse = "Only";
  Local s(vars);
  const uaclib::Limits& lim = s.server.GetLimits();
  Path tooLong;
  for (uint32_t i = 0; i <= lim.maxBrowsePathLength; ++i) tooLong.push_back({i % 2 == 1, i % 2 ? "P" : "Only"});
  Path atLimit(tooLong.begin(), tooLong.end() - 1);
  if (atLimit.size() % 2 == 0) atLimit.pop_back();  // ends on the variable
  // Down to 2999 variables and back up, again and again, within the length limit:
  // more than one request's work.
  Path zigzag;
  while (zigzag.size() + 2 <= lim.maxBrowsePathLength) {
    zigzag.push_back({false, "V"});
    zigzag.push_back({true, "P"});
  }
  std::vector<Path> paths = {tooLong, atLimit, Path{{false, "Only"}}, zigzag};
  std::vector<std::pair<uint32_t, int32_t>> results =
      ParsePaths(s.Call(enc::TranslateBrowsePathsRequest, PathsBody(kFolder, paths)));
  ASSERT_EQ(results.size(), 4u);
  EXPECT_EQ(results[0].first, status::BadTooManyOperations);
  EXPECT_EQ(results[1], std::make_pair(0u, 1));
  EXPECT_EQ(results[2], std::make_pair(0u, 1));
  EXPECT_EQ(results[3].first, status::BadTooManyOperations);
  // The work is counted per request: the next one is served in full.
  EXPECT_EQ(ParsePaths(s.Call(enc::TranslateBrowsePathsRequest, PathsBody(kFolder, {{{false, "V"}}})))[0],
            std::make_pair(0u, 2999));
}

// ------------------------------------------------------------- answers and their size

TEST(UaBounds, BrowseWorkEndsInContinuationPointsThatCoverEveryReference) {
  Local s(Numbered(1000));
  s.server.MutableLimits().maxBrowseWork = 2000;  // about 200 references per request
  std::vector<BrowseResult> r = ParseBrowse(s.Call(enc::BrowseRequest, BrowseBody({kFolder}, 0)));
  ASSERT_EQ(r.size(), 1u);
  ASSERT_EQ(r[0].status, 0u);
  ASSERT_FALSE(r[0].point.empty());
  ASSERT_LT(r[0].targets.size(), 1000u);
  std::set<std::string> seen(r[0].targets.begin(), r[0].targets.end());
  std::string point = r[0].point;
  for (int round = 0; round < 100 && !point.empty(); ++round) {
    Encoder next;
    next.Bool(false);
    next.ArrayLength(1);
    next.ByteString(point);
    std::vector<BrowseResult> n = ParseBrowse(s.Call(enc::BrowseNextRequest, next));
    ASSERT_EQ(n.size(), 1u);
    ASSERT_EQ(n[0].status, 0u);
    for (const std::string& t : n[0].targets) EXPECT_TRUE(seen.insert(t).second) << t;
    point = n[0].point;
  }
  EXPECT_TRUE(point.empty());
  EXPECT_EQ(seen.size(), 1000u);
}

TEST(UaBounds, AnswerLargerThanTheClientAcceptsIsRefusedAndLeavesNoContinuationPoints) {
  // 64 KiB messages; each result of 1000 references is about 20 KB.
  Local s(Numbered(1000), 65536);
  std::vector<NodeId> folders(12, kFolder);
  Response r = s.Call(enc::BrowseRequest, BrowseBody(folders, 999));
  EXPECT_EQ(r.serviceResult, status::BadResponseTooLarge);
  EXPECT_FALSE(s.failed);
  // The refused answer's continuation points never reached the client: the session
  // still has all of its slots.
  const uint16_t slots = s.server.GetLimits().maxBrowseContinuationPoints;
  std::vector<BrowseResult> all =
      ParseBrowse(s.Call(enc::BrowseRequest, BrowseBody(std::vector<NodeId>(slots, kFolder), 1)));
  ASSERT_EQ(all.size(), slots);
  for (const BrowseResult& b : all) {
    EXPECT_EQ(b.status, 0u);
    EXPECT_FALSE(b.point.empty());
  }
}

TEST(UaBounds, EncoderMemoryIsGivenBackAfterALargeAnswer) {
  // Long names: one Browse of the folder answers about 2 MB.
  Local s(Numbered(3000, 300));
  std::vector<BrowseResult> r = ParseBrowse(s.Call(enc::BrowseRequest, BrowseBody({kFolder}, 0)));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].targets.size(), 3000u);
  EXPECT_LE(s.server.HeldEncoderBytes(), size_t(1) << 20);
}

// ------------------------------------------------------------- requests cut short

Encoder MonitorBody(uint32_t sub, size_t count) {
  Encoder e;
  e.U32(sub);
  e.U32(0);
  e.ArrayLength(count);
  for (size_t i = 0; i < count; ++i) {
    e.NodeId(VarId(i));
    e.U32(attr::Value);
    e.NullString();
    e.QualifiedName(0, {});
    e.U32(2);  // reporting
    e.U32(uint32_t(i));
    e.F64(0);
    e.NullExtensionObject();
    e.U32(10);
    e.Bool(true);
  }
  return e;
}

uint32_t CreateSubscription(Local& s) {
  Encoder e;
  e.F64(100);
  e.U32(1000);
  e.U32(10);
  e.U32(0);
  e.Bool(true);
  e.U8(0);
  return s.Call(enc::CreateSubscriptionRequest, e).Body().U32();
}

TEST(UaBounds, RequestCutShortChangesNothing) {
  struct Case {
    const char* name;
    uint32_t type;
    std::function<Encoder(uint32_t sub)> body;
  };
  const Case cases[] = {
      {"CreateMonitoredItems", enc::CreateMonitoredItemsRequest,
       [](uint32_t sub) { return MonitorBody(sub, 3); }},
      {"Write", enc::WriteRequest,
       [](uint32_t) {
         Encoder e;
         e.ArrayLength(2);
         for (size_t i = 0; i < 2; ++i) {
           e.NodeId(VarId(i));
           e.U32(attr::Value);
           e.NullString();
           uaclib::DataValue dv;
           dv.hasValue = true;
           dv.value = uaclib::Variant::Double(7);
           e.DataValue(dv);
         }
         return e;
       }},
  };
  for (const Case& c : cases) {
    Local s(Numbered(3));
    uint32_t sub = CreateSubscription(s);
    // The last bytes of the last item are missing.
    s.SendRequest(c.type, c.body(sub), 3);
    s.Drain();
    EXPECT_TRUE(s.failed) << c.name;
    EXPECT_EQ(s.server.MonitoredItemCount(), 0u) << c.name;
    EXPECT_TRUE(s.written.empty()) << c.name;
  }
}

// --------------------------------------------------------------- many monitored items

TEST(UaBounds, ManyMonitoredItemsLeaveEveryListAtOnce) {
  constexpr size_t kVars = 20000, kPerVar = 6;  // 120 000 items
  Local s(Numbered(kVars));
  s.server.MutableLimits().maxMonitoredItemsPerSubscription = kVars * kPerVar;
  uint32_t sub = CreateSubscription(s);
  std::vector<uint32_t> ids;
  for (size_t round = 0; round < kPerVar; ++round) {
    Response r = s.Call(enc::CreateMonitoredItemsRequest, MonitorBody(sub, kVars));
    Decoder d = r.Body();
    ASSERT_EQ(d.ArrayLength(1), int32_t(kVars));
    for (size_t i = 0; i < kVars; ++i) {
      ASSERT_EQ(d.U32(), 0u);
      ids.push_back(d.U32());
      d.F64();
      d.U32();
      d.ExtensionObject();
    }
  }
  ASSERT_EQ(s.server.MonitoredItemCount(), kVars * kPerVar);

  auto idList = [](const std::vector<uint32_t>& xs) {
    Encoder e;
    e.ArrayLength(xs.size());
    for (uint32_t x : xs) e.U32(x);
    return e;
  };
  // Every item has a queued value (its first sample) and is on the ready list. Delete
  // the first 20 000 in four requests, then disable 100 000 and enable them again.
  for (size_t from = 0; from < 20000; from += 5000) {
    Encoder e;
    e.U32(sub);
    Encoder ids5000 = idList(std::vector<uint32_t>(ids.begin() + long(from), ids.begin() + long(from + 5000)));
    e.Bytes(ids5000.Data(), ids5000.Size());
    Response r = s.Call(enc::DeleteMonitoredItemsRequest, e);
    ASSERT_EQ(r.serviceResult, 0u);
  }
  EXPECT_EQ(s.server.MonitoredItemCount(), kVars * kPerVar - 20000);
  std::vector<uint32_t> rest(ids.begin() + 20000, ids.end());
  for (uint32_t mode : {0u, 2u}) {
    for (size_t from = 0; from < rest.size(); from += 20000) {
      Encoder e;
      e.U32(sub);
      e.U32(mode);
      Encoder part = idList(std::vector<uint32_t>(rest.begin() + long(from), rest.begin() + long(from + 20000)));
      e.Bytes(part.Data(), part.Size());
      ASSERT_EQ(s.Call(enc::SetMonitoringModeRequest, e).serviceResult, 0u);
    }
  }
  // Re-enabled items sampled again: each of the 100 000 reports exactly once, and a
  // value pushed to variable 0 reaches only its live items.
  double v = 5;
  TuasUpdateItem item{1, &v, 0, 0};
  TuasUpdateItem* items[] = {&item};
  ASSERT_EQ(s.server.Update(items, 1), 0u);
  std::multiset<uint32_t> handles;
  for (int round = 0; round < 50; ++round) {
    s.SendRequest(enc::PublishRequest, [] { Encoder e; e.EmptyArray(); return e; }());
    s.clock.ms += 100;
    s.server.RunTimers();
    for (const Response& r : s.Drain()) {
      Decoder d = r.Body();
      d.U32();
      int32_t n = d.ArrayLength(4);
      for (int32_t i = 0; i < n; ++i) d.U32();
      d.Bool();
      d.U32();
      d.Time();
      int32_t k = d.ArrayLength(3);
      for (int32_t i = 0; i < k; ++i) {
        uaclib::ExtensionObjectView x = d.ExtensionObject();
        Decoder b(reinterpret_cast<const uint8_t*>(x.body.data()), x.body.size());
        int32_t m = b.ArrayLength(5);
        for (int32_t j = 0; j < m; ++j) {
          handles.insert(b.U32());
          b.DataValue();
        }
      }
    }
  }
  // The first 20 000 deleted were one item per variable, so variable 0 has 5 live
  // items, each with two values: the sample on re-enabling, then 5.
  EXPECT_EQ(handles.size(), (kVars * kPerVar - 20000) + 5);
  EXPECT_EQ(handles.count(0), 5u * 2);
}

TEST(UaBounds, ItemListsKnowEveryPositionAfterRemovals) {
  // Removal patterns over 10 items: each must leave the rest findable at their
  // recorded places, and the ready list in its order.
  const std::vector<std::vector<size_t>> patterns = {
      {0}, {9}, {4}, {0, 1, 2}, {9, 8, 7}, {1, 3, 5, 7, 9}, {0, 9, 5, 4}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}};
  for (const std::vector<size_t>& gone : patterns) {
    std::vector<uaclib::MonitoredItem> items(10);
    std::vector<uaclib::MonitoredItem*> list;
    uaclib::ReadyList ready;
    for (size_t i = 0; i < items.size(); ++i) {
      items[i].id = uint32_t(i);
      uaclib::ListAdd(list, &items[i], &uaclib::MonitoredItem::pendingPos);
      ready.PushBack(&items[i]);
    }
    for (size_t g : gone) {
      uaclib::ListRemove(list, &items[g], &uaclib::MonitoredItem::pendingPos);
      ready.Remove(&items[g]);
    }
    std::set<uint32_t> left;
    for (size_t i = 0; i < list.size(); ++i) {
      EXPECT_EQ(list[list[i]->pendingPos], list[i]);
      left.insert(list[i]->id);
    }
    std::vector<uint32_t> order;
    for (uaclib::MonitoredItem* m = ready.Front(); m; m = m->readyNext) order.push_back(m->id);
    std::vector<uint32_t> want;
    for (uint32_t i = 0; i < 10; ++i)
      if (std::find(gone.begin(), gone.end(), i) == gone.end()) want.push_back(i);
    EXPECT_EQ(order, want);
    EXPECT_EQ(std::vector<uint32_t>(left.begin(), left.end()), want);
    EXPECT_EQ(ready.Empty(), want.empty());
  }
}

// ------------------------------------------------------------------------------ writes

TEST(UaBounds, WritesTheDeviceCannotTakeAreRefused) {
  Local s({{"F", UAS_TYPE_FLOAT, ""}, {"D", UAS_TYPE_DOUBLE, ""}, {"T", UAS_TYPE_STRING, ""},
           {"B", UAS_TYPE_BOOL, ""}});
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* node;
    uint8_t type;
    double value;
    uint32_t expected;
  };
  const Case cases[] = {
      {"P.D", uaclib::kDouble, nan, status::BadOutOfRange},
      {"P.D", uaclib::kDouble, inf, status::BadOutOfRange},
      {"P.D", uaclib::kDouble, -inf, status::BadOutOfRange},
      {"P.D", uaclib::kFloat, nan, status::BadOutOfRange},
      {"P.F", uaclib::kFloat, inf, status::BadOutOfRange},
      {"P.F", uaclib::kDouble, 1e300, status::BadOutOfRange},  // beyond float
      {"P.B", uaclib::kDouble, nan, status::BadOutOfRange},
      {"P.T", uaclib::kString, 0, status::BadNotWritable},  // the text "12"
      {"P.T", uaclib::kDouble, 12, status::BadNotWritable},
      {"P.D", uaclib::kDouble, 1.5, 0},
      {"P.F", uaclib::kFloat, -2.5, 0},
  };
  Encoder body;
  body.ArrayLength(std::size(cases));
  for (const Case& k : cases) {
    body.NodeId(NodeId::String(1, k.node));
    body.U32(attr::Value);
    body.NullString();
    uaclib::DataValue dv;
    dv.hasValue = true;
    dv.value.type = k.type;
    if (k.type == uaclib::kString) dv.value.s = "12";
    else dv.value.d = k.value;
    body.DataValue(dv);
  }
  Response r = s.Call(enc::WriteRequest, body);
  ASSERT_EQ(r.serviceResult, 0u);
  Decoder d = r.Body();
  ASSERT_EQ(d.ArrayLength(4), int32_t(std::size(cases)));
  for (const Case& k : cases) EXPECT_EQ(d.U32(), k.expected) << k.node << " " << k.value;
  EXPECT_EQ(s.written, std::vector<double>({1.5, -2.5}));

  // A text variable says so before anyone writes: its access level is read-only.
  Response a = s.Call(enc::ReadRequest, uatest::ReadBody({{NodeId::String(1, "P.T"), attr::AccessLevel},
                                                          {NodeId::String(1, "P.D"), attr::AccessLevel}}));
  Decoder ad = a.Body();
  ASSERT_EQ(ad.ArrayLength(1), 2);
  EXPECT_EQ(ad.DataValue().value.u, uaclib::kAccessRead);
  EXPECT_EQ(ad.DataValue().value.u, uaclib::kAccessRead | uaclib::kAccessWrite);
}

}  // namespace
