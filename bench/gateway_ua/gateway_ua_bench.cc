// Gateway OPC UA benchmark: the real ZelOpcServer3 with OPC UA enabled, cloudsim as the
// cloud and node-opcua clients (ua_watch.js) as the OPC UA peers. It reports
//   - latency: cloudsim changes a variable of a latency device (one variable each) at
//     random times (/control/set, the time taken in cloudsim); a node-opcua client
//     subscribed with a 10 ms publishing interval and sampling 0 notes the arrival of each
//     value. cloudsim notes the time of every read answer of those devices, so each sample
//     splits into the wait for the gateway's next read (set -> read answer: the device's
//     read interval, not the gateway's doing) and the gateway's own share (read answer ->
//     notification at the client), set against the read interval measured in the run.
//     Once on an idle gateway, once under the full load below.
//   - throughput: 200 devices of 500 variables whose every value changes at every read,
//     all 100 000 monitored by node-opcua client processes (one by default, each one
//     session with one or more subscriptions); notifications/s received against the
//     values/s the gateway applies (its status counters and cloudsim's read count), with
//     the CPU of every process, and the gateway's main-thread CPU per value against the
//     same polling measured before any client connected.
// All clocks are CLOCK_MONOTONIC: cloudsim's marks, node's process.hrtime and ours.
//
//   gateway_ua_bench [--latency-seconds S] [--load-seconds S] [--base-seconds S]
//                    [--procs P] [--subs N] [--interval MS] [--devices D] [--vars V]
//                    [--server PATH]
// --load-seconds 0 measures the idle latency only; --server runs another build of the
// gateway (e.g. a baseline to compare with in the same run).
// Defaults: 25 s of latency samples on the idle gateway, 20 s under load, 6 s of polling
// without OPC UA clients as the CPU baseline, 1 count process (it keeps up at about half a
// core), 1 subscription, publishing interval 100 ms, 200 devices of 500 variables.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "bench/common/bench_plant.h"
#include "bench/common/bench_stats.h"
#include "common/log/link_texts.h"
#include "common/platform/window_channel.h"
#include "tests/common/child_process.h"
#include "tests/common/cloudsim_fixture.h"
#include "tests/common/free_port.h"
#include "tests/common/log_receiver.h"
#include "tests/common/test_env.h"

namespace {
const std::string kServer = std::string(ZEL_BIN_DIR) + "/ZelOpcServer3";  // unless --server
constexpr const char* kWindowClass = "TfrmOpcServer3Main";
constexpr const char* kWindowCaption = "$ZEL_OPC_SERVER3$";
constexpr int kServers = 2;
constexpr int kRefreshMs = 500;  // read interval 400 ms, the shortest the gateway uses
constexpr int kLatDevices = 8;   // a set every 100-200 ms in turn: about 1.2 s apart per device

struct TOptions {
  double latencySeconds = 25, loadSeconds = 20, baseSeconds = 6;  // load 0: the idle latency only
  std::string server = kServer;
  int procs = 1, subs = 1, interval = 100, devices = 200, vars = 500;
};

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SleepMs(double ms) { std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms)); }

std::vector<std::string> Split(const std::string& line, char sep) {
  std::vector<std::string> out(1);
  for (char c : line) {
    if (c == sep) out.emplace_back();
    else out.back().push_back(c);
  }
  return out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

// A number after `key` in a text; -1 when absent.
int64_t NumberAfter(const std::string& text, const std::string& key) {
  size_t p = text.find(key);
  return p == std::string::npos ? -1 : std::atoll(text.c_str() + p + key.size());
}

// The latency devices: "Lat<i>" (number 3000000+i), one analog variable "X" that only
// /control/set changes, spread over the data servers like the others.
std::string LatencyDevices(int servers) {
  std::string out;
  for (int i = 1; i <= kLatDevices; ++i) {
    if (i > 1) out += ',';
    out += "{\"number\":\"" + std::to_string(3000000 + i) + "\",\"password\":\"lat" + std::to_string(i) +
           "\",\"name\":\"Lat" + std::to_string(i) + "\",\"refreshMs\":" + std::to_string(kRefreshMs) +
           ",\"dataServer\":" + std::to_string((i - 1) % servers) +
           ",\"vars\":[{\"name\":\"X\",\"type\":\"F\",\"access\":\"R\",\"wire\":\"f64\",\"source\":\"constant\","
           "\"value\":0}]}";
  }
  return out;
}
std::string LatNumber(int i) { return std::to_string(3000000 + i + 1); }
std::string LatNode(int i) { return "ns=1;s=Lat" + std::to_string(i + 1) + ".X"; }

// The gateway's window-channel "status": per device its state, counts and ReadAll.
struct TStatus {
  bool answered = false;
  int lines = 0, complete = 0;  // devices running with every variable good
  int64_t values = 0;           // sum over the devices of ReadAll x variable count
};

TStatus QueryStatus() {
  TStatus s;
  std::vector<std::string> lines;
  if (!WindowRequest(kWindowClass, kWindowCaption, "status", lines, 5000)) return s;
  s.answered = true;
  s.lines = int(lines.size());
  const std::string run = StateText(ncsRunning);
  for (const std::string& l : lines) {
    auto f = Split(l, '\t');
    if (f.size() < 6) continue;
    int64_t vars = NumberAfter(f[5], "Vars="), good = NumberAfter(f[5], "Good="), reads = NumberAfter(f[5], "ReadAll=");
    s.complete += f[2] == run && vars >= 0 && good == vars;
    if (reads > 0 && vars > 0) s.values += reads * vars;
  }
  return s;
}

// One data root: config.ini with OPC UA on `port`, the project file written by cloudsim.
struct TRoot {
  std::string data;
  explicit TRoot(std::string dir) : data(std::move(dir)) { std::filesystem::create_directories(data + "/ZelOPC3"); }
  std::string PrjFile() const { return data + "/ZelOPC3/ZelOpc.Dat"; }
  void WriteConfig(int port) const {
    std::ofstream(data + "/ZelOPC3/config.ini")
        << "[SYS]\nLogOPC=0\nLogWebR=0\nLogWebW=0\nLogWebErr=1\nErrorRetrySec=20\n[OPCUA]\nEnable=1\nPort=" << port
        << "\nDispAddFolder=1\nLogLevel=0\n";
  }
};

// The gateway process; it stops with SIGTERM when it goes out of scope.
class TGateway {
 public:
  TGateway(const TRoot& root, const TLogReceiver& log, int port, const std::string& server) : port_(port) {
    root.WriteConfig(port);
    ok_ = proc_.Start(server, {}, {log.Env(), "ZELOPC_DATA_ROOT=" + root.data}, root.data + "/server.out");
    t0_ = SteadySec();
  }
  ~TGateway() { Stop(); }
  bool Ok() const { return ok_; }
  int Pid() const { return proc_.pid(); }
  std::string Endpoint() const { return "opc.tcp://127.0.0.1:" + std::to_string(port_); }
  // Waits until every device runs with all variables good.
  bool WaitComplete(int devices, double limitSec) {
    while (SteadySec() - t0_ < limitSec && proc_.Running()) {
      TStatus s = QueryStatus();
      if (s.lines == devices && s.complete == devices) return true;
      SleepMs(50);
    }
    return false;
  }
  double Since() const { return SteadySec() - t0_; }
  int Stop() {
    if (!proc_.Running()) return exit_;
    proc_.Signal(SIGTERM);
    if (!proc_.Wait(15000, &exit_)) {
      proc_.Kill();
      exit_ = -1;
    }
    return exit_;
  }
  std::string Output() const { return proc_.Output(); }

 private:
  mutable TChildProcess proc_;
  int port_ = 0;
  bool ok_ = false;
  int exit_ = 0;
  double t0_ = 0;
};

// A ua_watch.js process; its output lines land in a file.
class TNodeClient {
 public:
  TNodeClient(const std::string& out, const std::vector<std::string>& args, const std::string& home) : out_(out) {
    std::vector<std::string> all{"node", ZEL_UA_WATCH_JS};
    all.insert(all.end(), args.begin(), args.end());
    ok_ = proc_.Start("/usr/bin/env", all, {"HOME=" + home, "XDG_CONFIG_HOME=" + home + "/config"}, out_);
  }
  ~TNodeClient() { proc_.Kill(); }
  bool Running() { return proc_.Running(); }
  int Pid() const { return proc_.pid(); }
  std::vector<std::string> OutputLines() const { return Lines(proc_.Output()); }
  bool Ready() const {
    for (const auto& l : OutputLines())
      if (l.rfind("ready", 0) == 0) return true;
    return false;
  }
  std::string Error() const {
    for (const auto& l : OutputLines())
      if (l.rfind("error", 0) == 0 || l.rfind("SKIP", 0) == 0) return l;
    return {};
  }
  // The running totals of the last "count" line received at or before `atUs`.
  void CountAt(int64_t atUs, int64_t& total, int64_t& bad, int64_t& messages) const {
    total = bad = messages = 0;
    for (const auto& l : OutputLines()) {
      auto f = Split(l, '\t');
      if (f.size() != 5 || f[0] != "count" || std::atoll(f[1].c_str()) > atUs) continue;
      total = std::atoll(f[2].c_str());
      bad = std::atoll(f[3].c_str());
      messages = std::atoll(f[4].c_str());
    }
  }

 private:
  std::string out_;
  mutable TChildProcess proc_;
  bool ok_ = false;
};

bool WaitReady(std::vector<TNodeClient*> clients, double limitSec) {
  const double until = SteadySec() + limitSec;
  while (SteadySec() < until) {
    bool all = true;
    for (TNodeClient* c : clients) {
      if (!c->Error().empty() || !c->Running()) {
        std::fprintf(stderr, "gateway_ua_bench: a node client failed: %s\n", c->Error().c_str());
        return false;
      }
      all = all && c->Ready();
    }
    if (all) return true;
    SleepMs(100);
  }
  std::fprintf(stderr, "gateway_ua_bench: the node clients were not ready within %.0f s\n", limitSec);
  return false;
}

// ---- latency

struct TLatSample {
  int dev = 0;
  int64_t value = 0, setUs = 0, readUs = -1, arriveUs = -1;
};

struct TLatResult {
  std::vector<TLatSample> samples;
  std::vector<double> readIntervals;  // seconds, between read answers of the latency devices in the window
  int overwritten = 0, unseen = 0;
};

std::vector<int64_t> ReadTimes(TCloudSim& sim, int dev) {
  std::string j = sim.Control("reads?device=" + LatNumber(dev));
  std::vector<int64_t> out;
  size_t p = j.find("\"timesUs\":[");
  if (p == std::string::npos) return out;
  for (const auto& t : Split(j.substr(p + 11, j.find(']', p) - p - 11), ','))
    if (!t.empty()) out.push_back(std::atoll(t.c_str()));
  return out;
}

// Sets the latency devices' values in turn every 100-200 ms (random) for `seconds`, then
// matches each set with the read answer that carried it and with its arrival.
TLatResult MeasureLatency(TCloudSim& sim, const TNodeClient& client, double seconds, int64_t& nextValue) {
  TLatResult r;
  std::mt19937 rng(std::random_device{}());
  std::uniform_real_distribution<double> gap(100, 200);
  const int64_t startUs = NowUs(), endUs = startUs + int64_t(seconds * 1e6);
  for (int i = 0; NowUs() < endUs; ++i) {
    SleepMs(gap(rng));
    TLatSample s;
    s.dev = i % kLatDevices;
    s.value = ++nextValue;
    std::string a = sim.Control("set?device=" + LatNumber(s.dev) + "&name=X&value=" + std::to_string(s.value));
    s.setUs = NumberAfter(a, "\"atUs\":");
    if (s.setUs > 0) r.samples.push_back(s);
  }
  SleepMs(2000);  // the last values reach the client
  std::vector<std::vector<int64_t>> reads(kLatDevices);
  for (int d = 0; d < kLatDevices; ++d) {
    reads[size_t(d)] = ReadTimes(sim, d);
    const auto& t = reads[size_t(d)];
    for (size_t k = 1; k < t.size(); ++k)
      if (t[k - 1] >= startUs && t[k] <= endUs) r.readIntervals.push_back(double(t[k] - t[k - 1]) * 1e-6);
  }
  std::map<std::pair<int, int64_t>, int64_t> arrivals;  // (device, value) -> first arrival
  for (const auto& l : client.OutputLines()) {
    auto f = Split(l, '\t');
    if (f.size() != 5 || f[0] != "change" || f[3] != "Good") continue;
    arrivals.emplace(std::make_pair(std::atoi(f[1].c_str()), int64_t(std::atof(f[2].c_str()))), std::atoll(f[4].c_str()));
  }
  for (auto& s : r.samples) {
    const auto& t = reads[size_t(s.dev)];
    auto it = std::upper_bound(t.begin(), t.end(), s.setUs);
    // cloudsim keeps the latest 512 read times: older sets have no known read.
    if (it != t.end() && it != t.begin()) s.readUs = *it;
    auto a = arrivals.find({s.dev, s.value});
    if (a != arrivals.end()) s.arriveUs = a->second;
  }
  // A value changed again before the next read never reaches the gateway.
  for (size_t i = 0; i < r.samples.size(); ++i) {
    for (size_t k = i + 1; k < r.samples.size(); ++k)
      if (r.samples[k].dev == r.samples[i].dev) {
        if (r.samples[i].readUs >= 0 && r.samples[k].setUs < r.samples[i].readUs) r.samples[i].readUs = -2;
        break;
      }
  }
  for (const auto& s : r.samples) {
    if (s.readUs == -2) ++r.overwritten;
    else if (s.readUs < 0 || s.arriveUs < 0) ++r.unseen;
  }
  return r;
}

void PrintLatency(const char* title, const TLatResult& r) {
  std::vector<double> e2e, wait, share;
  for (const auto& s : r.samples) {
    if (s.readUs < 0 || s.arriveUs < 0) continue;
    e2e.push_back(double(s.arriveUs - s.setUs) * 1e-6);
    wait.push_back(double(s.readUs - s.setUs) * 1e-6);
    share.push_back(double(s.arriveUs - s.readUs) * 1e-6);
  }
  TSummary ri = Summarize(r.readIntervals), e = Summarize(e2e), w = Summarize(wait), g = Summarize(share);
  std::printf("%s\n", title);
  std::printf("  %-44s: %s\n", "device read interval (cloudsim read answers)", MsText(ri).c_str());
  std::printf("  %-44s: %s\n", "end-to-end (cloudsim change -> notification)", MsText(e).c_str());
  std::printf("  %-44s: %s\n", "wait for the next read (change -> answer)", MsText(w).c_str());
  std::printf("  %-44s: %s\n", "gateway's share (read answer -> notification)", MsText(g).c_str());
  std::printf("  %-44s  min %.2f ms, max %.2f ms\n", "", g.min * 1e3, g.max * 1e3);
  if (ri.n && e.n)
    std::printf("  %-44s: end-to-end mean - half the read interval = %.2f ms; share = %.1f %% of the interval\n",
                "cross-check", (e.mean - ri.mean / 2) * 1e3, 100 * g.mean / ri.mean);
  std::printf("  %-44s: %zu sets, %zu matched, %d changed again before a read, %d not seen\n", "samples",
              r.samples.size(), e.n, r.overwritten, r.unseen);
  std::printf("  %-44s  (a read answer waits for the gateway's next 10 ms base tick, and a value applied there\n"
              "  %-44s  for the OPC UA run step at the start of the tick after: about two ticks)\n", "", "");
}

std::string NodeOpcuaVersion() {
  std::ifstream in(ZEL_NODE_MODULES "/node-opcua/package.json");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t p = text.find("\"version\"");
  if (p == std::string::npos || (p = text.find('"', text.find(':', p))) == std::string::npos) return "?";
  return text.substr(p + 1, text.find('"', p + 1) - p - 1);
}

bool HasNode() {
  if (!std::filesystem::exists(ZEL_NODE_MODULES "/node-opcua")) {
    std::fprintf(stderr, "gateway_ua_bench: node-opcua is missing (%s); run scripts/install-deps.sh\n",
                 ZEL_NODE_MODULES);
    return false;
  }
  return std::system("node --version >/dev/null 2>&1") == 0;
}
}  // namespace

int main(int argc, char** argv) {
  TOptions o;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i];
    double v = std::atof(argv[i + 1]);
    if (k == "--server") o.server = argv[i + 1];
    else if (k == "--latency-seconds") o.latencySeconds = v;
    else if (k == "--load-seconds") o.loadSeconds = v;
    else if (k == "--base-seconds") o.baseSeconds = v;
    else if (k == "--procs") o.procs = std::max(1, int(v));
    else if (k == "--subs") o.subs = std::max(1, int(v));
    else if (k == "--interval") o.interval = std::max(0, int(v));
    else if (k == "--devices") o.devices = std::max(1, int(v));
    else if (k == "--vars") o.vars = std::max(1, int(v));
    else {
      std::fprintf(stderr, "usage: gateway_ua_bench [--latency-seconds S] [--load-seconds S] [--base-seconds S] [--server PATH]\n"
                           "                        [--procs P] [--subs N] [--interval MS] [--devices D] [--vars V]\n");
      return 2;
    }
  }
  if (!HasNode()) return 1;

  TTempDir dir;
  TLogReceiver log;  // the log datagrams land here, not on a viewer's port
  TScopedEnv logPort("ZELOPC_LOG_PORT", std::to_string(log.port()));
  TScopedEnv runtime("XDG_RUNTIME_DIR", dir.path());  // the window channel of the server
  TScopedEnv root("ZELOPC_DATA_ROOT", dir / "data");  // ours and the server's: one data directory
  TRoot data(dir / "data");
  int64_t nextValue = 1000;
  int rc = 0;

  // 1. Latency on an idle gateway: the latency devices alone.
  {
    TTempDir simDir;
    TCloudSim sim;
    if (!sim.Start(simDir, PlantJson(0, 0, 1, kRefreshMs, nullptr, 0, LatencyDevices(1)),
                   {"--write-config", data.PrjFile()})) {
      std::fprintf(stderr, "gateway_ua_bench: cloudsim did not start\n%s\n", sim.Output().c_str());
      return 1;
    }
    TGateway gw(data, log, FreePort(), o.server);
    // The first start makes the OPC UA certificate.
    if (!gw.Ok() || !gw.WaitComplete(kLatDevices, 60)) {
      std::fprintf(stderr, "gateway_ua_bench: the gateway did not read the latency devices\n%s\n",
                   gw.Output().c_str());
      return 1;
    }
    std::vector<std::string> args{"latency", gw.Endpoint()};
    for (int i = 0; i < kLatDevices; ++i) args.push_back(LatNode(i));
    TNodeClient client(dir / "latency1.out", args, dir / "node-home");
    if (!WaitReady({&client}, 60)) return 1;
    SleepMs(1000);
    TLatResult r = MeasureLatency(sim, client, o.latencySeconds, nextValue);
    std::printf("ZelOpcServer3 with OPC UA, cloudsim, node-opcua %s clients; all on 127.0.0.1, load average %s\n\n",
                NodeOpcuaVersion().c_str(), LoadAverage().c_str());
    PrintLatency("latency on an idle gateway (8 devices of 1 variable, one data server, refresh 500 ms):", r);
    std::printf("\n");
    std::fflush(stdout);
    if (gw.Stop() != 0) std::printf("WARNING: the gateway's exit code was not 0\n");
  }

  if (o.loadSeconds <= 0) return rc;
  // 2. Throughput at 100 000 variables, and the latency under that load. The login cache
  // of the first run names a data server that is gone; the gateway would use it for up to
  // seven minutes, so this run logs in afresh.
  std::filesystem::remove(data.data + "/ZelOPC3/OpcRegCache.Dat");
  const int total = o.devices * o.vars;
  TTempDir simDir;
  TCloudSim sim;
  if (!sim.Start(simDir, MovingPlant(o.devices, o.vars, kServers, kRefreshMs, LatencyDevices(kServers)),
                 {"--write-config", data.PrjFile()})) {
    std::fprintf(stderr, "gateway_ua_bench: cloudsim did not start\n%s\n", sim.Output().c_str());
    return 1;
  }
  TGateway gw(data, log, FreePort(), o.server);
  if (!gw.Ok() || !gw.WaitComplete(o.devices + kLatDevices, 90)) {
    std::vector<std::string> lines;
    std::string status;
    if (WindowRequest(kWindowClass, kWindowCaption, "status", lines, 5000))
      for (const auto& l : lines) status += l + "\n";
    std::fprintf(stderr, "gateway_ua_bench: the loaded gateway did not reach a complete read\n%s\n%s\n",
                 gw.Output().c_str(), status.c_str());
    return 1;
  }
  const double completeSec = gw.Since();
  // The baseline: the same polling with OPC UA on but no client, so no monitored item.
  SleepMs(1000);
  const double b0 = SteadySec(), bm0 = ProcCpuSec(gw.Pid(), gw.Pid());
  const int64_t bv0 = QueryStatus().values;
  SleepMs(o.baseSeconds * 1000);
  const double baseSpan = SteadySec() - b0, baseMain = ProcCpuSec(gw.Pid(), gw.Pid()) - bm0;
  const double baseValues = double(QueryStatus().values - bv0);
  // Node ids in device order, split evenly over the count processes.
  std::vector<std::unique_ptr<TNodeClient>> counters;
  for (int p = 0; p < o.procs; ++p) {
    std::ofstream ids(dir / ("ids" + std::to_string(p) + ".txt"));
    for (int k = p; k < total; k += o.procs) {
      int n = k / o.vars + 1, j = k % o.vars;
      char dev[16];
      std::snprintf(dev, sizeof dev, "Dev%04d", n);
      ids << "ns=1;s=" << dev << ".G" << j / 50 << ".S" << j % 5 << ".V" << j << "\n";
    }
  }
  const double t0 = SteadySec();
  for (int p = 0; p < o.procs; ++p)
    counters.push_back(std::make_unique<TNodeClient>(
        dir / ("count" + std::to_string(p) + ".out"),
        std::vector<std::string>{"count", gw.Endpoint(), dir / ("ids" + std::to_string(p) + ".txt"), "--subs",
                                 std::to_string(o.subs), "--interval", std::to_string(o.interval)},
        dir / "node-home"));
  std::vector<std::string> args{"latency", gw.Endpoint()};
  for (int i = 0; i < kLatDevices; ++i) args.push_back(LatNode(i));
  TNodeClient latClient(dir / "latency2.out", args, dir / "node-home");
  std::vector<TNodeClient*> all{&latClient};
  for (auto& c : counters) all.push_back(c.get());
  if (!WaitReady(all, 300)) return 1;
  const double monitorSec = SteadySec() - t0;
  SleepMs(3000);  // the first values of every item and the start-up work settle

  struct TSnap {
    double t;
    int64_t us;
    TStatus st;
    int64_t ra, latReads;
    double gwCpu, gwMain, simCpu;
    std::vector<double> nodeCpu;
  };
  auto snap = [&]() {
    TSnap s;
    s.t = SteadySec();
    s.us = NowUs();
    s.st = QueryStatus();
    s.ra = NumberAfter(sim.Control("counters"), "\"RA\":");
    s.latReads = 0;
    for (int d = 0; d < kLatDevices; ++d)
      s.latReads += NumberAfter(sim.Control("reads?device=" + LatNumber(d)), "\"reads\":");
    s.gwCpu = ProcCpuSec(gw.Pid());
    s.gwMain = ProcCpuSec(gw.Pid(), gw.Pid());
    s.simCpu = ProcCpuSec(sim.Pid());
    for (auto& c : counters) s.nodeCpu.push_back(ProcCpuSec(c->Pid()));
    s.nodeCpu.push_back(ProcCpuSec(latClient.Pid()));
    return s;
  };
  TSnap a = snap();
  TLatResult lat = MeasureLatency(sim, latClient, o.loadSeconds, nextValue);
  TSnap b = snap();
  const double span = b.t - a.t;

  // Values the gateway applied: its own counters, and cloudsim's read lines.
  const double gwValues = double(b.st.values - a.st.values);
  const int64_t latReads = b.latReads - a.latReads;
  const double simValues = double(b.ra - a.ra - latReads) * o.vars + double(latReads);
  // Notifications that arrived between the two snapshots (the same clock).
  double notes = 0, bad = 0, msgs = 0;
  for (auto& c : counters) {
    int64_t t0n, t0b, t0m, t1n, t1b, t1m;
    c->CountAt(a.us, t0n, t0b, t0m);
    c->CountAt(b.us, t1n, t1b, t1m);
    notes += double(t1n - t0n);
    bad += double(t1b - t0b);
    msgs += double(t1m - t0m);
  }
  const double rate = notes / span;
  std::printf("throughput: %d devices x %d variables = %d variables on %d data servers, every value changing at\n"
              "every read; node-opcua: %d count process(es), each one session with %d subscription(s) (publishing\n"
              "%d ms, sampling 0, queue 1) on %s, plus the latency client\n",
              o.devices, o.vars, total, kServers, o.procs, o.subs, o.interval,
              o.procs == 1 ? "all variables" : ("every " + std::to_string(o.procs) + "th variable").c_str());
  std::printf("  %-44s: %.1f s after the gateway started; all %d items monitored %.1f s later\n",
              "first complete read", completeSec, total, monitorSec);
  std::printf("  %-44s: %.1f s\n", "measured interval", span);
  std::printf("  %-44s: %.0f values/s (status counters), %.0f values/s (cloudsim read lines)\n",
              "values applied by the gateway", gwValues / span, simValues / span);
  std::printf("  %-44s: %.0f notifications/s (%.0f in %.0f publish responses, %.0f bad)\n",
              "notifications at the clients", rate, notes, msgs, bad);
  const double ratio = gwValues > 0 ? notes / gwValues : 0.0;
  std::printf("  %-44s: %.3f (values come in one data server's batches of %d, %.1f %% of them)\n",
              "notifications / values applied", ratio, total / kServers,
              gwValues > 0 ? 100.0 * (total / kServers) / gwValues : 0.0);
  std::printf("  %-44s: %.2f devices' reads/s = one read of each device every %.0f ms\n", "read rate",
              double(b.ra - a.ra - latReads) / span,
              b.ra - a.ra - latReads > 0 ? 1e3 * span * o.devices / double(b.ra - a.ra - latReads) : 0.0);
  std::printf("  %-44s: gateway %.0f %% (main thread %.0f %%)", "CPU over the interval (100 % = one core)",
              100 * (b.gwCpu - a.gwCpu) / span, 100 * (b.gwMain - a.gwMain) / span);
  for (size_t p = 0; p < counters.size(); ++p)
    std::printf(", count client %zu %.0f %%", p + 1, 100 * (b.nodeCpu[p] - a.nodeCpu[p]) / span);
  std::printf(", latency client %.0f %%, cloudsim %.0f %%\n", 100 * (b.nodeCpu.back() - a.nodeCpu.back()) / span,
              100 * (b.simCpu - a.simCpu) / span);
  const double mainCpu = b.gwMain - a.gwMain;
  std::printf("  %-44s: %.2f us with %d monitored items, %.2f us without a client (%.0f values/s, %.1f s before)\n",
              "gateway main-thread CPU per value", gwValues > 0 ? 1e6 * mainCpu / gwValues : 0.0, total,
              baseValues > 0 ? 1e6 * baseMain / baseValues : 0.0, baseValues / baseSpan, baseSpan);
  std::printf("  %-44s: %s (2 cores shared with whatever else runs here)\n", "load average", LoadAverage().c_str());
  if (ratio < 0.95)
    std::printf("WARNING: fewer notifications than values: a client near 100 %% CPU is the limit (try --procs 2)\n");
  std::printf("\n");
  PrintLatency(("latency under that load (the same 8 latency devices beside the " + std::to_string(o.devices) +
                "):").c_str(), lat);
  for (auto& c : counters)
    if (!c->Running()) {
      std::printf("WARNING: a count client ended early: %s\n", c->Error().c_str());
      rc = 1;
    }
  counters.clear();
  int exitCode = gw.Stop();
  std::printf("\ngateway exit code after SIGTERM: %d\n", exitCode);
  return exitCode == 0 ? rc : 1;
}
