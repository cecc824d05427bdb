// ua_load: a lean OPC UA load generator on uaclib's own codec, so that a benchmark
// saturates the server and not the client. It starts the server itself (uademo or
// node-opcua's server behind the same command line), once per phase, and reports per
// phase the throughput, the server's CPU per operation, the share of time its main
// thread was on a CPU, and this program's own CPU (near 100 % means the client is the
// bottleneck and the figures are the client's).
//
//   ua_load [--vars N] [--sessions S] [--nodes K] [--interval MS] [--seconds T]
//           [--phases read,seq,subscribe] [--publish P] -- SERVER COMMAND...
//   ua_load --connect PORT --pid PID --node ID [--phases seq,read] [--seconds T] ...
//     (a server that runs already, e.g. the gateway: every read asks for node ID, a
//     string id in namespace 1; PID is the process whose CPU is measured)
//
// Phases (SecurityPolicy None, anonymous; node ids Gen.F<i/100>.V<i> in namespace 1):
//   read       S sessions, each reading K of the N variables per request, back to back
//   seq        one session reading one variable per request, back to back: the round
//              trip's median and 90th/99th percentile
//   subscribe  one session, one subscription with every variable monitored at MS and
//              publishing every MS, P Publish requests kept outstanding; the server is
//              started with --tick MS, so every value changes every MS
// The server command gets "--port 0 --vars N --no-stdin --max-seconds ..." appended (and
// "--tick MS" for subscribe) and must print "ready port=<port>". Pin with taskset, e.g.
//   ua_load --vars 100000 -- taskset -c 0 build/bin/uademo      (run with taskset -c 1)
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/common/bench_stats.h"
#include "tests/unit/uaclib/ua_test_client.h"
#include "uaclib/node_ids.h"

namespace {

using uaclib::Decoder;
using uaclib::Encoder;
namespace enc = uaclib::enc;

struct TOptions {
  int vars = 100000, sessions = 16, nodes = 1000, interval = 100, publish = 5;
  double seconds = 10;
  std::vector<std::string> phases{"read", "seq", "subscribe"};
  std::vector<std::string> server;
  int connectPort = 0, pid = 0;
  std::string node;
};

std::string GenNode(int i) { return "Gen.F" + std::to_string(i / 100) + ".V" + std::to_string(i); }


double OwnCpuSec() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + 1e-6 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// The server under test as a child process; its stdout is read up to the ready line.
class TServer {
 public:
  bool Start(std::vector<std::string> cmd) {
    int out[2];
    if (pipe(out) != 0) return false;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      std::vector<char*> argv;
      for (auto& a : cmd) argv.push_back(a.data());
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    out_ = out[0];
    std::string line;
    char c;
    // Servers of 100 000 nodes take a while to build their tree.
    pollfd p{out_, POLLIN, 0};
    while (poll(&p, 1, 300000) > 0 && read(out_, &c, 1) == 1) {
      if (c != '\n') {
        line += c;
        continue;
      }
      if (line.rfind("ready port=", 0) == 0) {
        port_ = std::atoi(line.c_str() + 11);
        return port_ > 0;
      }
      line.clear();
    }
    return false;
  }
  ~TServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }
  // A server started by someone else: nothing to stop at the end.
  bool Attach(int port, int pid) {
    port_ = port;
    attachedPid_ = pid;
    return port > 0 && pid > 0;
  }
  int Pid() const { return attachedPid_ ? attachedPid_ : pid_; }
  int Port() const { return port_; }

 private:
  int pid_ = -1, out_ = -1, port_ = 0, attachedPid_ = 0;
};

// One client connection: requests go out whole (blocking send), answers are taken
// apart chunk by chunk from a non-blocking socket.
class TConn {
 public:
  bool Connect(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fcntl(fd_, F_SETFL, O_NONBLOCK);
    return true;
  }
  ~TConn() {
    if (fd_ >= 0) close(fd_);
  }
  int Fd() const { return fd_; }
  uatest::Channel ch;

  bool Send(const uatest::Bytes& b) {
    size_t done = 0;
    while (done < b.size()) {
      ssize_t w = ::send(fd_, b.data() + done, b.size() - done, MSG_NOSIGNAL);
      if (w > 0) {
        done += size_t(w);
      } else if (w < 0 && errno == EAGAIN) {
        pollfd p{fd_, POLLOUT, 0};
        poll(&p, 1, 1000);
      } else {
        return false;
      }
    }
    return true;
  }
  // Reads what the socket has; false when the peer closed.
  bool Receive() {
    uint8_t buf[65536];
    for (;;) {
      ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
      if (r > 0) {
        in_.insert(in_.end(), buf, buf + r);
        continue;
      }
      return !(r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK));
    }
  }
  // The next complete message, if one is there: its type ("MSG", "ACK", "OPN", "ERR")
  // and its body (for MSG and OPN the service response after the security headers).
  bool Next(std::string& type, uatest::Bytes& body) {
    for (;;) {
      if (in_.size() - pos_ < 8) return Compact(false);
      uint32_t size;
      std::memcpy(&size, in_.data() + pos_ + 4, 4);
      if (size < 8 || size > (64u << 20)) return Compact(false);
      if (in_.size() - pos_ < size) return Compact(false);
      const uint8_t* p = in_.data() + pos_;
      std::string t(reinterpret_cast<const char*>(p), 3);
      char chunk = char(p[3]);
      pos_ += size;
      size_t skip = 8;
      if (t == "MSG") skip = 24;
      if (t == "OPN") {
        Decoder d(p + 8, size - 8);
        d.U32();
        d.String();
        d.ByteString();
        d.ByteString();
        skip = 8 + size_t(d.Pos() - (p + 8)) + 8;
      }
      if (skip > size) skip = size;
      joined_.insert(joined_.end(), p + skip, p + size);
      if (t == "MSG" && chunk == 'C') continue;
      type = t;
      body.swap(joined_);
      joined_.clear();
      return Compact(true);
    }
  }
  // Blocking: waits (up to 30 s) for the next message.
  bool Wait(std::string& type, uatest::Bytes& body) {
    for (int i = 0; i < 30000; ++i) {
      if (Next(type, body)) return true;
      pollfd p{fd_, POLLIN, 0};
      poll(&p, 1, 1);
      if (!Receive()) return false;
    }
    return false;
  }
  bool Call(uint32_t typeId, const Encoder& body, uatest::Response& r) {
    std::string t;
    uatest::Bytes b;
    if (!Send(uatest::Message(ch, typeId, body)) || !Wait(t, b) || t != "MSG") return false;
    uatest::ParseServiceResponse(b.data(), b.size(), r);
    return r.ok && r.serviceResult == 0;
  }
  bool Login() {
    std::string t;
    uatest::Bytes b;
    if (!Send(uatest::Hello(65535, 65535, 0, 0)) || !Wait(t, b) || t != "ACK") return false;
    if (!Send(uatest::Open(ch)) || !Wait(t, b) || t != "OPN") return false;
    uatest::Response r;
    uatest::ParseServiceResponse(b.data(), b.size(), r);
    Decoder d = r.Body();
    d.U32();
    ch.id = d.U32();
    ch.token = d.U32();
    if (!d.ok()) return false;
    if (!Call(enc::CreateSessionRequest, uatest::CreateSessionBody(600000), r)) return false;
    d = r.Body();
    d.NodeId();
    ch.authToken = uaclib::NodeId(d.NodeId());
    return d.ok() && Call(enc::ActivateSessionRequest, uatest::ActivateSessionBody(0), r);
  }

 private:
  bool Compact(bool result) {
    if (pos_ > 0 && pos_ * 2 >= in_.size()) {
      in_.erase(in_.begin(), in_.begin() + long(pos_));
      pos_ = 0;
    }
    return result;
  }
  int fd_ = -1;
  std::vector<uint8_t> in_, joined_;
  size_t pos_ = 0;
};

// What the server and this program spent during a measured window.
struct TMeter {
  int pid;
  double t0, cpu0, main0, own0;
  double seconds = 0, cpu = 0, mainCpu = 0, own = 0;
  explicit TMeter(int p) : pid(p) {
    t0 = SteadySec();
    cpu0 = ProcCpuSec(pid);
    main0 = ProcSchedSec(pid, pid);
    own0 = OwnCpuSec();
  }
  void Stop() {
    seconds = SteadySec() - t0;
    cpu = ProcCpuSec(pid) - cpu0;
    mainCpu = ProcSchedSec(pid, pid) - main0;
    own = OwnCpuSec() - own0;
  }
  void Print(const char* what, double ops) const {
    std::printf("    %-24s: %.2f µs per %s (server CPU %.0f %% of one core)\n", "server CPU", 1e6 * cpu / ops, what,
                100 * cpu / seconds);
    std::printf("    %-24s: %.0f %% busy\n", "server main thread", 100 * mainCpu / seconds);
    std::printf("    %-24s: %.0f %% of one core%s\n", "load generator CPU", 100 * own / seconds,
                own / seconds > 0.9 ? "  (saturated: the client limits these figures)" : "");
  }
};

Encoder ReadBody(int first, int count, int vars, std::vector<std::string>& names) {
  Encoder e;
  e.F64(0);
  e.U32(2);  // timestamps: neither; the value and status only
  e.ArrayLength(size_t(count));
  for (int i = 0; i < count; ++i) {
    e.NodeId(uaclib::NodeIdView{1, uaclib::IdKind::String, 0, names[size_t((first + i) % vars)]});
    e.U32(uaclib::attr::Value);
    e.NullString();
    e.QualifiedName(0, {});
  }
  return e;
}

// Counts the values of a ReadResponse and those with a bad status.
bool CountRead(const uatest::Bytes& b, int64_t& values, int64_t& bad) {
  uatest::Response r;
  uatest::ParseServiceResponse(b.data(), b.size(), r);
  if (!r.ok || r.serviceResult != 0) return false;
  Decoder d = r.Body();
  int32_t n = d.ArrayLength(1);
  for (int32_t i = 0; i < n && d.ok(); ++i) {
    uaclib::DataValueView v = d.DataValue();
    if (v.status & 0x80000000u) ++bad;
  }
  values += n > 0 ? n : 0;
  return d.ok();
}

std::vector<std::string> ServerCommand(const TOptions& o, bool tick) {
  std::vector<std::string> cmd = o.server;
  for (const char* a : {"--port", "0", "--no-stdin", "--max-seconds"}) cmd.push_back(a);
  cmd.push_back(std::to_string(int(o.seconds) + 600));
  cmd.push_back("--vars");
  cmd.push_back(std::to_string(o.vars));
  if (tick) {
    cmd.push_back("--tick");
    cmd.push_back(std::to_string(o.interval));
  }
  return cmd;
}

bool StartServer(const TOptions& o, bool tick, TServer& server) {
  return o.connectPort ? server.Attach(o.connectPort, o.pid) : server.Start(ServerCommand(o, tick));
}

bool ReadPhase(const TOptions& o, std::vector<std::string>& names, bool sequential) {
  TServer server;
  if (!StartServer(o, false, server)) return false;
  const int sessions = sequential ? 1 : o.sessions, nodes = sequential ? 1 : o.nodes;
  std::vector<std::unique_ptr<TConn>> conns;
  for (int i = 0; i < sessions; ++i) {
    conns.push_back(std::make_unique<TConn>());
    if (!conns.back()->Connect(server.Port()) || !conns.back()->Login()) {
      std::fprintf(stderr, "ua_load: session %d could not log in\n", i);
      return false;
    }
  }
  // The requests are made beforehand: the client's time goes to the network.
  std::vector<Encoder> bodies;
  for (int first = 0; first < o.vars && bodies.size() < 256; first += nodes)
    bodies.push_back(ReadBody(first, nodes, o.vars, names));
  std::vector<size_t> next(static_cast<size_t>(sessions));
  std::vector<double> sentAt(static_cast<size_t>(sessions));
  std::vector<double> rtt;
  int64_t values = 0, bad = 0, requests = 0;
  bool counting = false;
  auto send = [&](size_t i) {
    sentAt[i] = SteadySec();
    conns[i]->Send(uatest::Message(conns[i]->ch, enc::ReadRequest, bodies[(next[i]++ + i * 7) % bodies.size()]));
  };
  for (size_t i = 0; i < conns.size(); ++i) send(i);
  std::vector<pollfd> fds;
  for (auto& c : conns) fds.push_back({c->Fd(), POLLIN, 0});
  const double warmEnd = SteadySec() + 2, end = warmEnd + o.seconds;
  std::unique_ptr<TMeter> meter;
  std::string type;
  uatest::Bytes body;
  while (SteadySec() < end) {
    if (!counting && SteadySec() >= warmEnd) {
      counting = true;
      meter = std::make_unique<TMeter>(server.Pid());
    }
    if (poll(fds.data(), fds.size(), 100) <= 0) continue;
    for (size_t i = 0; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      if (!conns[i]->Receive()) {
        std::fprintf(stderr, "ua_load: the server closed session %zu\n", i);
        return false;
      }
      while (conns[i]->Next(type, body)) {
        int64_t v = 0, b = 0;
        if (type != "MSG" || !CountRead(body, v, b)) {
          std::fprintf(stderr, "ua_load: a read failed (%s)\n", type.c_str());
          return false;
        }
        if (counting) {
          values += v;
          bad += b;
          ++requests;
          if (sequential) rtt.push_back(SteadySec() - sentAt[i]);
        }
        send(i);
      }
    }
  }
  if (!meter) return false;
  meter->Stop();
  if (sequential) {
    std::sort(rtt.begin(), rtt.end());
    auto pct = [&](double q) { return rtt.empty() ? 0.0 : 1e3 * rtt[std::min(rtt.size() - 1, size_t(q * double(rtt.size())))]; };
    std::printf("  seq: 1 session, 1 node per Read, back to back\n");
    std::printf("    %-24s: %.0f/s, round trip median %.3f ms, p90 %.3f ms, p99 %.3f ms, %lld bad\n",
                "sequential reads", double(requests) / meter->seconds, pct(0.5), pct(0.9), pct(0.99), (long long)bad);
  } else {
    std::printf("  read: %d sessions x %d nodes per Read\n", sessions, nodes);
    std::printf("    %-24s: %.3f M/s (%.0f requests/s), %lld bad\n", "node reads", 1e-6 * double(values) / meter->seconds,
                double(requests) / meter->seconds, (long long)bad);
  }
  meter->Print("node read", double(std::max<int64_t>(1, values)));
  return true;
}

// Notifications in a PublishResponse; its subscription and sequence number for the
// acknowledgement.
int64_t CountPublish(const uatest::Bytes& b, uint32_t& sub, uint32_t& seq) {
  uatest::Response r;
  uatest::ParseServiceResponse(b.data(), b.size(), r);
  if (!r.ok || r.typeId != enc::PublishResponse) return -1;
  Decoder d = r.Body();
  sub = d.U32();
  for (int32_t k = d.ArrayLength(4); k > 0; --k) d.U32();
  d.Bool();
  seq = d.U32();
  d.Time();
  int64_t count = 0;
  int32_t n = d.ArrayLength(3);
  for (int32_t i = 0; i < n && d.ok(); ++i) {
    uaclib::ExtensionObjectView x = d.ExtensionObject();
    if (!x.typeId.IsNs0(enc::DataChangeNotification)) continue;
    Decoder body(reinterpret_cast<const uint8_t*>(x.body.data()), x.body.size());
    int32_t items = body.ArrayLength(5);
    if (items > 0) count += items;
  }
  return d.ok() ? count : -1;
}

bool SubscribePhase(const TOptions& o, std::vector<std::string>& names) {
  TServer server;
  if (!StartServer(o, true, server)) return false;
  TConn c;
  if (!c.Connect(server.Port()) || !c.Login()) return false;
  uatest::Response r;
  Encoder e;
  e.F64(o.interval);
  e.U32(100);   // lifetime count
  e.U32(10);    // keep-alive count
  e.U32(0);     // no cap on notifications per publish
  e.Bool(true);
  e.U8(0);
  if (!c.Call(enc::CreateSubscriptionRequest, e, r)) return false;
  const uint32_t subId = r.Body().U32();
  // In calls of 1000 items: within every server's per-call limit.
  for (int first = 0; first < o.vars; first += 1000) {
    Encoder m;
    m.U32(subId);
    m.U32(2);
    int n = std::min(1000, o.vars - first);
    m.ArrayLength(size_t(n));
    for (int i = first; i < first + n; ++i) {
      m.NodeId(uaclib::NodeIdView{1, uaclib::IdKind::String, 0, names[size_t(i)]});
      m.U32(uaclib::attr::Value);
      m.NullString();
      m.QualifiedName(0, {});
      m.U32(2);  // reporting
      m.U32(uint32_t(i));
      m.F64(o.interval);
      m.NullExtensionObject();
      m.U32(1);
      m.Bool(true);
    }
    if (!c.Call(enc::CreateMonitoredItemsRequest, m, r)) return false;
  }
  std::vector<std::pair<uint32_t, uint32_t>> acks;
  auto publish = [&] {
    Encoder p;
    p.ArrayLength(acks.size());
    for (auto [s, q] : acks) {
      p.U32(s);
      p.U32(q);
    }
    acks.clear();
    c.Send(uatest::Message(c.ch, enc::PublishRequest, p));
  };
  for (int i = 0; i < o.publish; ++i) publish();
  const double warmEnd = SteadySec() + 3, end = warmEnd + o.seconds;
  std::unique_ptr<TMeter> meter;
  int64_t notifications = 0, messages = 0;
  std::string type;
  uatest::Bytes body;
  pollfd fd{c.Fd(), POLLIN, 0};
  while (SteadySec() < end) {
    if (!meter && SteadySec() >= warmEnd) meter = std::make_unique<TMeter>(server.Pid());
    if (poll(&fd, 1, 100) <= 0) continue;
    if (!c.Receive()) return false;
    while (c.Next(type, body)) {
      uint32_t sub = 0, seq = 0;
      int64_t n = type == "MSG" ? CountPublish(body, sub, seq) : -1;
      if (n < 0) {
        std::fprintf(stderr, "ua_load: a publish failed (%s)\n", type.c_str());
        return false;
      }
      if (meter) {
        notifications += n;
        ++messages;
      }
      if (n > 0) acks.emplace_back(sub, seq);
      publish();
    }
  }
  if (!meter) return false;
  meter->Stop();
  std::printf("  subscribe: %d items at %d ms, every value changing every %d ms, %d Publish requests outstanding\n",
              o.vars, o.interval, o.interval, o.publish);
  std::printf("    %-24s: %.3f M/s in %.0f publish responses/s (all changes: %.3f M/s)\n", "notifications",
              1e-6 * double(notifications) / meter->seconds, double(messages) / meter->seconds,
              1e-6 * o.vars * 1000.0 / o.interval);
  meter->Print("notification", double(std::max<int64_t>(1, notifications)));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  TOptions o;
  int i = 1;
  for (; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--") {
      ++i;
      break;
    }
    if (i + 1 >= argc) break;
    std::string v = argv[++i];
    if (a == "--vars") o.vars = std::atoi(v.c_str());
    else if (a == "--sessions") o.sessions = std::atoi(v.c_str());
    else if (a == "--nodes") o.nodes = std::atoi(v.c_str());
    else if (a == "--interval") o.interval = std::atoi(v.c_str());
    else if (a == "--seconds") o.seconds = std::atof(v.c_str());
    else if (a == "--publish") o.publish = std::atoi(v.c_str());
    else if (a == "--connect") o.connectPort = std::atoi(v.c_str());
    else if (a == "--pid") o.pid = std::atoi(v.c_str());
    else if (a == "--node") o.node = v;
    else if (a == "--phases") {
      o.phases.clear();
      std::stringstream ss(v);
      std::string p;
      while (std::getline(ss, p, ',')) o.phases.push_back(p);
    } else {
      std::fprintf(stderr, "ua_load: unknown option %s\n", a.c_str());
      return 2;
    }
  }
  for (; i < argc; ++i) o.server.push_back(argv[i]);
  if (o.connectPort) {
    o.vars = 1;
    o.nodes = std::min(o.nodes, 1000);
    o.server = {"port " + std::to_string(o.connectPort)};
  }
  if (o.server.empty() || (o.connectPort && (o.pid <= 0 || o.node.empty())) || o.vars < 1 || o.sessions < 1 || o.nodes < 1 || o.interval < 1 || o.publish < 1) {
    std::fprintf(stderr, "usage: ua_load [options] -- SERVER COMMAND... (see the header of bench/ua/ua_load.cc)\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> names;
  names.reserve(size_t(o.vars));
  for (int k = 0; k < o.vars; ++k) names.push_back(o.connectPort ? o.node : GenNode(k));
  std::string command;
  for (const std::string& a : o.server) command += (command.empty() ? "" : " ") + a;
  std::printf("ua_load: %s, %d variables, %.0f s per phase (load %s)\n", command.c_str(), o.vars, o.seconds,
              LoadAverage().c_str());
  int rc = 0;
  for (const std::string& p : o.phases) {
    bool ok = p == "read" ? ReadPhase(o, names, false)
              : p == "seq" ? ReadPhase(o, names, true)
              : p == "subscribe" ? SubscribePhase(o, names)
                                 : false;
    if (!ok) {
      std::fprintf(stderr, "ua_load: phase %s failed\n", p.c_str());
      rc = 1;
    }
    std::fflush(stdout);
  }
  return rc;
}
