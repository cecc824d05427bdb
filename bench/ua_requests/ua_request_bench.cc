// The longest single requests a client can send to a server of 20 000 variables,
// timed in-process: each request is fed to a socketless connection and the time until
// its answer is built is printed (wall clock, milliseconds, the worst of three runs).
// Run by hand: build/bench/ua_request_bench [longest zigzag path] [only cases containing]
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/unit/uaclib/ua_test_client.h"
#include "uaclib/node_ids.h"
#include "uaclib/server.h"

namespace {

using uaclib::Encoder;
using uaclib::NodeId;
namespace enc = uaclib::enc;
namespace ns0 = uaclib::ns0;

constexpr int kVars = 20000;

void NoWrite(void*, void*, double*) {}

struct Bench {
  uaclib::Server server{0, uaclib::ServerConfig{}, &NoWrite};
  std::vector<std::string> names;
  std::vector<TuasVarDef> defs;
  uaclib::Connection* conn = nullptr;
  uatest::Channel ch;
  std::string answer;
  size_t answerBytes = 0;

  Bench() {
    server.UseCounterNonces();
    TuasFolder folder{"P", 1, 0, 0, 0};
    TuasFolder* folders[] = {&folder};
    names.reserve(kVars);
    defs.reserve(kVars);
    for (int i = 0; i < kVars; ++i) {
      names.push_back("P.V" + std::to_string(i));
      // Every variable shares one browse name: the worst case for path matching.
      defs.push_back(TuasVarDef{names.back().c_str(), "V", names.back().c_str(), nullptr, 1,
                                UAS_TYPE_DOUBLE, 'W', 0});
    }
    std::vector<TuasVarDef*> ptrs;
    for (auto& d : defs) ptrs.push_back(&d);
    (void)server.AddNamespace(ptrs.data(), kVars, folders, 1);
    conn = server.OpenLocalConnection();
    Feed(uatest::Hello(65535, 65535, 16 * 1024 * 1024, 0));
    Feed(uatest::Open(ch));
    ch.id = 1;
    ch.token = 1;
    uatest::Bytes cs = uatest::Message(ch, enc::CreateSessionRequest, uatest::CreateSessionBody());
    conn->Feed(cs.data(), cs.size());
    const uint8_t* p = conn->OutData();
    uatest::Response r;
    uint32_t size;
    std::memcpy(&size, p + 4, 4);
    uatest::ParseServiceResponse(p + 24, size - 24, r);
    uaclib::Decoder d = r.Body();
    d.NodeId();
    ch.authToken = NodeId(d.NodeId());
    conn->Consume(conn->OutSize());
    Feed(uatest::Message(ch, enc::ActivateSessionRequest, uatest::ActivateSessionBody(0)));
  }
  void Feed(const uatest::Bytes& b) {
    conn->Feed(b.data(), b.size());
    conn->Consume(conn->OutSize());
  }
  double Time(uint32_t type, const Encoder& body) {
    uatest::Bytes msg = uatest::ChunkedMessage(ch, type, body);
    auto t0 = std::chrono::steady_clock::now();
    conn->Feed(msg.data(), msg.size());
    auto t1 = std::chrono::steady_clock::now();
    answer = conn->OutSize() >= 8 ? std::string(reinterpret_cast<const char*>(conn->OutData()), 3) : "none";
    answerBytes = conn->OutSize();
    conn->Consume(conn->OutSize());
    return std::chrono::duration<double, std::milli>(t1 - t0).count();
  }
};

Encoder BrowseMany(const NodeId& node, uint32_t count, uint32_t classMask) {
  Encoder e;
  e.NumericNodeId(0);
  e.Time(0);
  e.U32(0);
  e.U32(0);
  e.ArrayLength(count);
  for (uint32_t i = 0; i < count; ++i) {
    e.NodeId(node);
    e.U32(2);  // both directions
    e.NumericNodeId(ns0::References);
    e.Bool(true);
    e.U32(classMask);
    e.U32(63);
  }
  return e;
}

// `paths` paths from Objects, each `length` elements alternating P (down) and V.
Encoder Paths(uint32_t paths, uint32_t length) {
  Encoder e;
  e.ArrayLength(paths);
  for (uint32_t i = 0; i < paths; ++i) {
    e.NumericNodeId(ns0::ObjectsFolder);
    e.ArrayLength(length);
    for (uint32_t k = 0; k < length; ++k) {
      e.NumericNodeId(0);  // any reference type
      e.Bool(false);
      e.Bool(true);
      e.QualifiedName(1, k % 2 ? "V" : "P");
    }
  }
  return e;
}

// Up and down between the folder and its variables: every step matches 20 000 nodes
// or goes back from each of them.
Encoder Zigzag(uint32_t length) {
  Encoder e;
  e.ArrayLength(1);
  e.NodeId(NodeId::Numeric(1, 1));
  e.ArrayLength(length);
  for (uint32_t k = 0; k < length; ++k) {
    e.NumericNodeId(0);
    e.Bool(k % 2 == 1);  // inverse on the way back up
    e.Bool(true);
    e.QualifiedName(1, k % 2 ? "P" : "V");
  }
  return e;
}

Encoder Monitor(uint32_t sub) {
  Encoder e;
  e.U32(sub);
  e.U32(0);
  e.ArrayLength(kVars);
  for (int i = 0; i < kVars; ++i) {
    e.NodeId(NodeId::String(1, "P.V" + std::to_string(i)));
    e.U32(uaclib::attr::Value);
    e.NullString();
    e.QualifiedName(0, {});
    e.U32(2);
    e.U32(uint32_t(i));
    e.F64(0);
    e.NullExtensionObject();
    e.U32(1);
    e.Bool(true);
  }
  return e;
}

// Item ids [first, first + count) of subscription `sub`, after `mode` when given.
Encoder Items(uint32_t sub, int64_t mode, uint32_t first, uint32_t count) {
  Encoder e;
  e.U32(sub);
  if (mode >= 0) e.U32(uint32_t(mode));
  e.ArrayLength(count);
  for (uint32_t i = 0; i < count; ++i) e.U32(first + i);
  return e;
}

Encoder ReadAll() {
  std::vector<uatest::ReadItem> items;
  for (int i = 0; i < kVars; ++i) items.push_back({NodeId::String(1, "P.V" + std::to_string(i))});
  return uatest::ReadBody(items);
}

}  // namespace

int main(int argc, char** argv) {
  // The longest zigzag path to try (a quadratic server needs minutes for long ones).
  uint32_t zigzag = argc > 1 ? uint32_t(std::stoul(argv[1])) : 2000;
  // Only the cases whose name contains this text.
  std::string only = argc > 2 ? argv[2] : "";
  Bench b;
  const NodeId folder = NodeId::Numeric(1, 1);
  struct Case {
    std::string name;
    uint32_t type;
    Encoder body;
  };
  std::vector<Case> cases;
  cases.push_back({"Read 20000 values", enc::ReadRequest, ReadAll()});
  cases.push_back({"Browse 1 folder of 20000", enc::BrowseRequest, BrowseMany(folder, 1, 0)});
  cases.push_back({"Browse 5000 x folder", enc::BrowseRequest, BrowseMany(folder, 5000, 0)});
  cases.push_back({"Browse 5000 x folder, no class", enc::BrowseRequest, BrowseMany(folder, 5000, 0x80)});
  cases.push_back({"Translate 5000 paths of 2", enc::TranslateBrowsePathsRequest, Paths(5000, 2)});
  for (uint32_t n = 2; n <= zigzag; n *= 10) {
    cases.push_back({"Translate zigzag path of " + std::to_string(n),
                     enc::TranslateBrowsePathsRequest, Zigzag(n)});
  }
  // Monitored items: 120 000 on one subscription (six per variable), then 20 000 of
  // them deleted and 100 000 disabled and enabled, 20 000 per request (the limit).
  b.server.MutableLimits().maxMonitoredItemsPerSubscription = 6 * kVars;
  Encoder create;
  create.F64(1000);
  create.U32(100);
  create.U32(10);
  create.U32(0);
  create.Bool(true);
  create.U8(0);
  b.Time(enc::CreateSubscriptionRequest, create);
  const uint32_t sub = 1;  // the server's first subscription id
  std::vector<Case> items;
  for (int round = 0; round < 6; ++round)
    items.push_back({"CreateMonitoredItems 20000 (of 120000)", enc::CreateMonitoredItemsRequest, Monitor(sub)});
  items.push_back({"DeleteMonitoredItems 20000 (of 120000)", enc::DeleteMonitoredItemsRequest,
                   Items(sub, -1, 1, kVars)});
  for (int64_t mode : {0, 2})
    for (uint32_t from = kVars + 1; from < 6 * kVars; from += kVars)
      items.push_back({"SetMonitoringMode 20000 (of 100000)", enc::SetMonitoringModeRequest,
                       Items(sub, mode, from, kVars)});
  std::map<std::string, double> worstItem;
  for (Case& c : items) {
    if (c.name.find(only) == std::string::npos && !only.empty()) continue;
    double& w = worstItem[c.name];
    w = std::max(w, b.Time(c.type, c.body));
  }
  for (auto& [name, ms] : worstItem) std::printf("%-40s %10.1f ms\n", name.c_str(), ms);

  for (Case& c : cases) {
    if (c.name.find(only) == std::string::npos) continue;
    double worst = 0;
    for (int run = 0; run < 3; ++run) worst = std::max(worst, b.Time(c.type, c.body));
    std::printf("%-40s %10.1f ms  (request %zu bytes, answer %s %zu bytes)\n", c.name.c_str(),
                worst, c.body.Size(), b.answer.c_str(), b.answerBytes);
    std::fflush(stdout);
  }
  return 0;
}
