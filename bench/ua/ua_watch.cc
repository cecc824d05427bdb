// ua_watch: the latency watcher of the gateway OPC UA benchmark, a lean OPC UA client on
// uaclib's codec, so that the figures hold the gateway's share and little of a client's
// own decoding. Same role and output as "node ua_watch.js latency":
//   ua_watch latency opc.tcp://127.0.0.1:<port> <nodeId>...
// One subscription (publishing interval 10 ms, sampling 0: every change) on the nodes
// ("ns=<n>;s=<text>" or "ns=<n>;i=<number>"); "ready" once each node has sent its first
// value, then per notified value
//   change\t<index>\t<value>\t<status>\t<arrival us>
// The arrival is CLOCK_MONOTONIC microseconds (cloudsim's clock) taken when the bytes
// came off the socket, before any decoding. Runs until it is ended; "error <text>" and
// exit code 1 when the server cannot be reached or fails a request.
#include <poll.h>
#include <signal.h>
#include <time.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/ua/ua_bench_client.h"

namespace {

int64_t MonotonicUs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

int Fail(const char* what) {
  std::printf("error %s\n", what);
  return 1;
}

// "ns=1;s=Lat1.X" or "ns=1;i=42" (ns= may be left out: namespace 0).
bool ParseNodeId(const std::string& text, uaclib::NodeIdView& id) {
  std::string_view t = text;
  id = {};
  if (t.rfind("ns=", 0) == 0) {
    size_t semi = t.find(';');
    if (semi == std::string_view::npos) return false;
    id.ns = uint16_t(std::atoi(std::string(t.substr(3, semi - 3)).c_str()));
    t.remove_prefix(semi + 1);
  }
  if (t.rfind("s=", 0) == 0) {
    id.kind = uaclib::IdKind::String;
    id.text = t.substr(2);
    return !id.text.empty();
  }
  if (t.rfind("i=", 0) == 0) {
    id.num = uint32_t(std::strtoul(std::string(t.substr(2)).c_str(), nullptr, 10));
    return true;
  }
  return false;
}

// The value as node-opcua prints a scalar: integers without a fraction.
std::string ValueText(const uaclib::DataValueView& v) {
  using namespace uaclib;
  if (!v.hasValue || v.value.type == kNull || v.value.array) return "null";
  char buf[64];
  switch (v.value.type) {
    case kFloat:
    case kDouble:
      std::snprintf(buf, sizeof buf, "%.17g", v.value.d);
      return buf;
    case kString:
      return std::string(v.value.s);
    default:
      if (v.value.type == kUInt32 || v.value.type == kUInt64) return std::to_string(v.value.u);
      return std::to_string(v.value.i);
  }
}

std::string StatusText(uint32_t status) {
  if (status == 0) return "Good";
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", status);
  return buf;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || std::string(argv[1]) != "latency") {
    std::fprintf(stderr, "usage: ua_watch latency opc.tcp://127.0.0.1:<port> <nodeId>...\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // whole lines for the benchmark that reads them
  const std::string endpoint = argv[2];
  const size_t colon = endpoint.rfind(':');
  const int port = colon == std::string::npos ? 0 : std::atoi(endpoint.c_str() + colon + 1);
  std::vector<std::string> texts(argv + 3, argv + argc);
  std::vector<uaclib::NodeIdView> nodes(texts.size());
  for (size_t i = 0; i < texts.size(); ++i)
    if (!ParseNodeId(texts[i], nodes[i])) return Fail(("bad node id " + texts[i]).c_str());

  uabench::TConn c;
  uint32_t subId = 0;
  if (port <= 0 || !c.Connect(port) || !c.Login()) return Fail("connect");
  if (!uabench::CreateSubscription(c, 10, 6000, 100, subId)) return Fail("CreateSubscription");
  if (!uabench::MonitorItems(c, subId, nodes, 0, 10)) return Fail("CreateMonitoredItems");

  // Several Publish requests outstanding, so that a response never waits for the next
  // request to come in.
  uabench::TAcks acks;
  for (int i = 0; i < 3; ++i)
    if (!uabench::SendPublish(c, acks)) return Fail("Publish");
  std::vector<bool> seen(nodes.size());
  size_t seenCount = 0;
  int64_t arrival = 0;
  auto onValue = [&](uint32_t handle, const uaclib::DataValueView& v) {
    if (handle >= nodes.size()) return;
    std::printf("change\t%u\t%s\t%s\t%" PRId64 "\n", handle, ValueText(v).c_str(), StatusText(v.status).c_str(),
                arrival);
    if (!seen[handle]) {
      seen[handle] = true;
      if (++seenCount == nodes.size()) std::printf("ready\n");
    }
  };
  std::string type;
  uatest::Bytes body;
  pollfd fd{c.Fd(), POLLIN, 0};
  for (;;) {
    if (poll(&fd, 1, -1) <= 0) continue;
    arrival = MonotonicUs();  // first thing: the arrival as this process sees it
    if (!c.Receive()) return Fail("the server closed the connection");
    while (c.Next(type, body)) {
      uint32_t sub = 0, seq = 0;
      int64_t n = type == "MSG" ? uabench::ReadPublish(body, sub, seq, onValue) : -1;
      if (n < 0) return Fail(("a publish failed (" + type + ")").c_str());
      if (n > 0) acks.emplace_back(sub, seq);
      if (!uabench::SendPublish(c, acks)) return Fail("Publish");
    }
  }
}
