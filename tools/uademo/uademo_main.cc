// uademo: serves a tree of variables through the uaclib C API, for interop tests, the
// OPC UA benchmark and trying clients by hand. Everything runs on the main thread, as in
// the gateway's bridge: uasRunIntv whenever a request arrives or a timer of the server or
// of --tick is due (uasGetWaitInfo), with stdin polled beside them.
//
// Tree: a fixed part under "Plant" with every type code, read-only and writable nodes,
// and with --vars N a generated part "Gen.F<i/100>.V<i>" of N writable Doubles, 100 to a
// folder. Node ids are the full names (string ids in namespace 1).
//
// stdout (line-buffered), one line per event:
//   ready port=<bound port> vars=<count>
//   write <fullName> <value>             a client wrote a node (the write callback)
//   stats clients=C sessions=S subscriptions=U monitoredItems=M maxStepUs=T maxStepCpuUs=P
//                                        the longest uasRunIntv since the start in µs, as
//                                        elapsed time (T) and as this thread's CPU time (P)
//   ok <command> / error <text>
// stdin, one command per line:
//   set <fullName> <value> [bad]   uasUpdateVar of that node (bad: status 0x80050000)
//   tick                           every generated variable +1, in one uasUpdateVar call
//   stats                          prints the statistics of the last run step
//   quit                           ends the program (so do end of input, SIGTERM, SIGINT)
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/helpers/program_info.h"
#include "tools/uademo/demo_input.h"
#include "uaclib/trust_list.h"
#include "uaclib/uaclib.h"

namespace {

constexpr uint32_t kStatusBad = 0x80050000u;  // what the gateway sends for a failed read

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

struct TOptions {
  int port = 0;
  std::string user, pass, certFile, keyFile;
  int vars = 0;
  int tickMs = 0;        // >0: update every generated variable at this period
  int sleepMs = -1;      // >=0: a fixed pause between run steps instead of waiting on
                         // the server's descriptor and timer (for comparisons)
  int maxSeconds = 0;    // >0: end by itself after this time (a guard for tests)
  int logLevel = -1;     // >=0: uaInitLib and print library log lines of this level up
  bool dispAddFolder = true;
  bool readStdin = true;  // false: commands off, end of input does not end the program
  bool allowNone = true;  // --no-none: only signing and encrypting endpoints
  std::string pkiDir;     // --pki: client certificates judged by the trust list there
  bool autoTrust = false;
  std::vector<std::pair<std::string, double>> limits;  // --limit name=value, for uasSetLimit
};

// One served variable. Kept in a vector that never grows after the namespace is built,
// so the definition and update records can point into it.
struct TVar {
  std::string fullName, browseName, displayName;
  int32_t folder = 0;
  int32_t typeCode = UAS_TYPE_DOUBLE;
  char access = 'R';
  double value = 0;
  TuasVarDef def{};
  TuasUpdateItem item{};
};

struct TFolderRec {
  std::string name;
  TuasFolder rec{};
};

struct TTree {
  std::vector<TFolderRec> folders;
  std::vector<TVar> vars;
  std::unordered_map<std::string, size_t> byName;
  size_t genFirst = 0;  // index of the first generated variable

  int32_t AddFolder(const std::string& name, int32_t parent) {
    TFolderRec f;
    f.name = name;
    f.rec.number = static_cast<int32_t>(folders.size()) + 1;
    f.rec.parent = parent;
    folders.push_back(std::move(f));
    return folders.back().rec.number;
  }
  void AddVar(const std::string& path, const std::string& name, int32_t folder, int32_t type,
              char access, double value, bool dispAddFolder) {
    TVar v;
    v.fullName = path + "." + name;
    v.browseName = name;
    v.displayName = name;
    if (dispAddFolder) {
      v.displayName = v.fullName;
      for (char& c : v.displayName)
        if (c == '.') c = '_';
    }
    v.folder = folder;
    v.typeCode = type;
    v.access = access;
    v.value = value;
    vars.push_back(std::move(v));
  }
};

const char kHelp[] =
    "Usage: uademo [--port N] [--user U --pass P] [--vars N] [--tick MS]\n"
    "              [--cert DER --key DER] [--plain-names] [--sleep MS]\n"
    "              [--max-seconds S] [--log LEVEL] [--no-stdin] [--no-none]\n"
    "              [--limit NAME=VALUE]... [--pki DIR [--auto-trust]]\n"
    "Serves a tree of variables through the uaclib C API, driven over stdin/stdout.\n"
    "Port 0 (the default) is chosen by the system; the ready line names it.\n"
    "  --limit    a server budget (uasSetLimit), e.g. activateTimeoutMs=2000\n"
    "  --no-none  no SecurityPolicy None endpoint (uasSetAllowNone 0)\n"
    "  --pki      client certificates must be in DIR/trust (CAs and CRLs in DIR/trust or\n"
    "             DIR/issuers); refused unknown ones are kept in DIR/rejected\n"
    "  --auto-trust  with --pki: trust a new client certificate on first use\n"
    "  --sleep    pause MS between run steps instead of waiting for requests and timers\n"
    "  --help     this text\n"
    "  --version  the program's version\n";

void Usage() { std::fputs(kHelp, stderr); }

bool ParseArgs(int argc, char** argv, TOptions& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--no-none") {
      o.allowNone = false;
      continue;
    }
    if (a == "--auto-trust") {
      o.autoTrust = true;
      continue;
    }
    if (a == "--plain-names" || a == "--no-stdin") {
      (a == "--plain-names" ? o.dispAddFolder : o.readStdin) = false;
      continue;
    }
    if (i + 1 >= argc) return false;
    std::string v = argv[++i];
    if (a == "--port") o.port = std::atoi(v.c_str());
    else if (a == "--user") o.user = v;
    else if (a == "--pass") o.pass = v;
    else if (a == "--vars") o.vars = std::atoi(v.c_str());
    else if (a == "--tick") o.tickMs = std::atoi(v.c_str());
    else if (a == "--cert") o.certFile = v;
    else if (a == "--pki") o.pkiDir = v;
    else if (a == "--key") o.keyFile = v;
    else if (a == "--sleep") o.sleepMs = std::atoi(v.c_str());
    else if (a == "--max-seconds") o.maxSeconds = std::atoi(v.c_str());
    else if (a == "--log") o.logLevel = std::atoi(v.c_str());
    else if (a == "--limit") {
      size_t eq = v.find('=');
      char* end = nullptr;
      double value = eq == std::string::npos ? 0 : std::strtod(v.c_str() + eq + 1, &end);
      if (eq == std::string::npos || eq == 0 || !end || *end != '\0' || end == v.c_str() + eq + 1)
        return false;
      o.limits.emplace_back(v.substr(0, eq), value);
    } else return false;
  }
  return o.port >= 0 && o.port <= 65535 && o.vars >= 0 && o.vars <= 1000000 && o.sleepMs >= -1;
}

// The fixed part: three folder levels, all five type codes, both access modes.
void BuildFixed(TTree& t, bool disp) {
  int32_t plant = t.AddFolder("Plant", 0);
  int32_t line = t.AddFolder("Line1", plant);
  int32_t motor = t.AddFolder("Motor", line);
  t.AddVar("Plant", "Running", plant, UAS_TYPE_BOOL, 'W', 1, disp);
  t.AddVar("Plant", "Count", plant, UAS_TYPE_INT32, 'W', 42, disp);
  t.AddVar("Plant", "Label", plant, UAS_TYPE_STRING, 'R', 7, disp);
  t.AddVar("Plant.Line1", "Speed", line, UAS_TYPE_FLOAT, 'W', 1.5, disp);
  t.AddVar("Plant.Line1", "Temperature", line, UAS_TYPE_DOUBLE, 'R', 21.25, disp);
  t.AddVar("Plant.Line1", "Alarm", line, UAS_TYPE_BOOL, 'R', 0, disp);
  t.AddVar("Plant.Line1.Motor", "Setpoint", motor, UAS_TYPE_DOUBLE, 'W', 100, disp);
  t.AddVar("Plant.Line1.Motor", "Current", motor, UAS_TYPE_DOUBLE, 'R', 3.75, disp);
  t.AddVar("Plant.Line1.Motor", "Mode", motor, UAS_TYPE_INT32, 'R', 2, disp);
}

void BuildGenerated(TTree& t, int count, bool disp) {
  t.genFirst = t.vars.size();
  if (count == 0) return;
  int32_t gen = t.AddFolder("Gen", 0);
  int32_t folder = 0;
  for (int i = 0; i < count; ++i) {
    std::string sub = "F" + std::to_string(i / 100);
    if (i % 100 == 0) folder = t.AddFolder(sub, gen);
    t.AddVar("Gen." + sub, "V" + std::to_string(i), folder, UAS_TYPE_DOUBLE, 'W', i, disp);
  }
}

// Fills the C records once the vectors hold their final size.
void LinkRecords(TTree& t) {
  for (auto& f : t.folders) f.rec.name = f.name.c_str();
  for (size_t i = 0; i < t.vars.size(); ++i) {
    TVar& v = t.vars[i];
    v.def.fullName = v.fullName.c_str();
    v.def.browseName = v.browseName.c_str();
    v.def.displayName = v.displayName.c_str();
    v.def.context = &v;
    v.def.folder = v.folder;
    v.def.typeCode = v.typeCode;
    v.def.access = v.access;
    v.item.value = &v.value;
    t.byName.emplace(v.fullName, i);
  }
}

// Whole numbers in plain digits (to_chars would write 4e+09), others as the shortest text
// that reads back as the same double.
std::string FormatDouble(double d) {
  char buf[64];
  if (d == std::trunc(d) && std::fabs(d) < 1e15) {
    std::snprintf(buf, sizeof buf, "%.0f", d);
    return buf;
  }
  auto r = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, r.ptr);
}

void OnWrite(void*, void* context, double* value) {
  if (!context || !value) return;
  const TVar* v = static_cast<const TVar*>(context);
  std::printf("write %s %s\n", v->fullName.c_str(), FormatDouble(*value).c_str());
}

int g_logLevel = 0;
void OnLog(int category, int level, const char* text) {
  if (level >= g_logLevel) std::fprintf(stderr, "log %d %d %s\n", category, level, text ? text : "");
}

bool ReadFile(const std::string& path, std::vector<uint8_t>& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !out.empty();
}

class TDemo {
 public:
  TDemo(uasHandle h, TTree& tree) : h_(h), tree_(tree) {}

  uint32_t Update(std::vector<TuasUpdateItem*>& items) {
    if (items.empty()) return 0;
    return uasUpdateVar(h_, items.data(), static_cast<int>(items.size()));
  }

  uint32_t UpdateAll() {
    std::vector<TuasUpdateItem*> items;
    items.reserve(tree_.vars.size());
    for (auto& v : tree_.vars) items.push_back(&v.item);
    return Update(items);
  }

  uint32_t Tick() {
    std::vector<TuasUpdateItem*> items;
    items.reserve(tree_.vars.size() - tree_.genFirst);
    for (size_t i = tree_.genFirst; i < tree_.vars.size(); ++i) {
      tree_.vars[i].value += 1;
      tree_.vars[i].item.status = 0;
      items.push_back(&tree_.vars[i].item);
    }
    return Update(items);
  }

  // One command line; false when the program should end.
  bool Command(const std::string& line) {
    std::istringstream in(line);
    std::string cmd;
    if (!(in >> cmd)) return true;
    if (cmd == "quit") return false;
    if (cmd == "stats") {
      std::printf("stats clients=%d sessions=%d subscriptions=%d monitoredItems=%d maxStepUs=%lld "
                  "maxStepCpuUs=%lld\n",
                  stats_.clients, stats_.sessions, stats_.subscriptions, stats_.monitoredItems,
                  static_cast<long long>(maxStepUs_), static_cast<long long>(maxStepCpuUs_));
    } else if (cmd == "tick") {
      Report("tick", Tick());
    } else if (cmd == "set") {
      std::string name, valueText, flag;
      in >> name >> valueText >> flag;
      auto it = tree_.byName.find(name);
      char* end = nullptr;
      double value = std::strtod(valueText.c_str(), &end);
      if (it == tree_.byName.end() || valueText.empty() || *end != '\0' || (!flag.empty() && flag != "bad")) {
        std::printf("error bad command: %s\n", line.c_str());
        return true;
      }
      TVar& v = tree_.vars[it->second];
      v.value = value;
      v.item.status = flag == "bad" ? kStatusBad : 0;
      std::vector<TuasUpdateItem*> items{&v.item};
      Report("set " + name, Update(items));
    } else {
      std::printf("error unknown command: %s\n", cmd.c_str());
    }
    return true;
  }

  // One run step, timed: the longest one is how long the gateway's device polling could
  // have been held up. CPU time tells the step's own work from time the machine gave
  // to other processes.
  uint32_t Step() {
    auto t0 = std::chrono::steady_clock::now();
    int64_t cpu0 = ThreadCpuUs();
    uint32_t rc = uasRunIntv(h_, &stats_, static_cast<int>(sizeof stats_));
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0);
    maxStepUs_ = std::max<int64_t>(maxStepUs_, us.count());
    maxStepCpuUs_ = std::max<int64_t>(maxStepCpuUs_, ThreadCpuUs() - cpu0);
    return rc;
  }

 private:
  void Report(const std::string& what, uint32_t rc) {
    if (rc & 0xFFFF0000u)
      std::printf("error %s: 0x%08X %s\n", what.c_str(), rc, uasGetErrorInfo(h_));
    else
      std::printf("ok %s\n", what.c_str());
  }

  uasHandle h_;
  TTree& tree_;
  TuasRunStats stats_{};
  int64_t maxStepUs_ = 0;
  int64_t maxStepCpuUs_ = 0;

  static int64_t ThreadCpuUs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
  }
};

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int Run(const TOptions& o) {
  if (o.logLevel >= 0) {
    g_logLevel = o.logLevel;
    uaInitLib(OnLog, 1);
  }
  std::vector<uint8_t> cert, key;
  if (!o.certFile.empty() && (!ReadFile(o.certFile, cert) || !ReadFile(o.keyFile, key))) {
    std::fprintf(stderr, "uademo: cannot read %s or %s\n", o.certFile.c_str(), o.keyFile.c_str());
    return 1;
  }
  TuasServerConfig cfg{};
  if (!cert.empty()) {
    cfg.certificate = cert.data();
    cfg.certificateLength = static_cast<int32_t>(cert.size());
    cfg.privateKey = key.data();
    cfg.privateKeyLength = static_cast<int32_t>(key.size());
    cfg.certificateFlag = 1;
  }
  cfg.dispAddFolder = o.dispAddFolder ? 1 : 0;
  if (!o.user.empty()) {
    cfg.userName = o.user.c_str();
    cfg.password = o.pass.c_str();
  }
  cfg.buildDate = 45261.0 + 10.0 / 24.0;  // 2023-12-01 10:00:00
  cfg.softwareVersion = "3.0.0.1";
  cfg.manufacturerName = "Tarnwell";
  cfg.productName = "uademo";
  cfg.applicationUri = "urn:uademo";
  cfg.buildNumber = "3.0.0.1";

  TTree tree;
  BuildFixed(tree, o.dispAddFolder);
  BuildGenerated(tree, o.vars, o.dispAddFolder);
  LinkRecords(tree);

  // Declared before the server, which points at it while it lives.
  std::unique_ptr<uaclib::TrustList> trust;
  if (!o.pkiDir.empty())
    trust = std::make_unique<uaclib::TrustList>(uaclib::TrustListOptions{o.pkiDir, o.autoTrust});
  std::unique_ptr<uasServer, void (*)(uasHandle)> server(uasNewServer(o.port, &cfg, OnWrite), uasDelServer);
  if (!server) {
    std::fprintf(stderr, "uademo: uasNewServer failed\n");
    return 1;
  }
  uasHandle h = server.get();
  std::vector<TuasVarDef*> defs;
  for (auto& v : tree.vars) defs.push_back(&v.def);
  std::vector<TuasFolder*> folders;
  for (auto& f : tree.folders) folders.push_back(&f.rec);
  auto fail = [&](const char* what, uint32_t rc) {
    std::fprintf(stderr, "uademo: %s failed: 0x%08X %s\n", what, rc, uasGetErrorInfo(h));
    return 1;
  };
  uint32_t rc = uasAddNameSpace(h, defs.data(), static_cast<int>(defs.size()), folders.data(),
                                static_cast<int>(folders.size()));
  if (rc) return fail("uasAddNameSpace", rc);
  for (auto& v : tree.vars) v.item.node = v.def.node;
  if (!o.allowNone && (rc = uasSetAllowNone(h, 0))) return fail("uasSetAllowNone", rc);
  if (trust && (rc = uasSetCertificateCheck(h, uaclib::TrustListCertCheck, trust.get())))
    return fail("uasSetCertificateCheck", rc);
  for (const auto& [name, value] : o.limits)
    if ((rc = uasSetLimit(h, name.c_str(), value))) return fail(("uasSetLimit " + name).c_str(), rc);
  if ((rc = uasRunStart(h))) return fail("uasRunStart", rc);

  TDemo demo(h, tree);
  if ((rc = demo.Step()) & 0xFFFF0000u) return fail("uasRunIntv", rc);
  if ((rc = demo.UpdateAll())) return fail("uasUpdateVar", rc);
  std::printf("ready port=%d vars=%zu\n", uasGetPort(h), tree.vars.size());

  TDemoInput input(o.readStdin);
  std::string pending;
  const int64_t start = NowMs();
  int64_t nextTick = start + o.tickMs;
  std::string lastError;
  while (!g_stop) {
    rc = demo.Step();
    if (rc & 0xFFFF0000u) {
      // Remembered and shown once per distinct text, as the bridge keeps its last error.
      std::string text = uasGetErrorInfo(h);
      if (text != lastError) std::fprintf(stderr, "uademo: uasRunIntv: 0x%08X %s\n", rc, text.c_str());
      lastError = text;
    }
    int64_t now = NowMs();
    if (o.maxSeconds > 0 && now - start > int64_t(o.maxSeconds) * 1000) break;
    if (o.tickMs > 0 && now >= nextTick) {
      demo.Tick();
      nextTick += o.tickMs;
      if (nextTick < now) nextTick = now + o.tickMs;  // fell behind: do not burst
    }
    // Wait for stdin, a request, the server's next timer or our own tick.
    int timeout = o.sleepMs;
    int serverFd = -1;
    if (o.sleepMs < 0) {
      TuasWaitInfo wait{};
      if (uasGetWaitInfo(h, &wait, static_cast<int>(sizeof wait)) == 0) {
        serverFd = wait.fd;
        timeout = wait.timeoutMs;
      } else {
        timeout = 1;
      }
      if (o.tickMs > 0) timeout = static_cast<int>(std::clamp<int64_t>(nextTick - NowMs(), 0, timeout < 0 ? INT32_MAX : timeout));
      if (o.maxSeconds > 0) {
        int64_t left = start + int64_t(o.maxSeconds) * 1000 + 1 - NowMs();
        timeout = static_cast<int>(std::clamp<int64_t>(left, 0, timeout < 0 ? INT32_MAX : timeout));
      }
    }
    if (!input.Wait(serverFd, timeout, pending)) break;  // the driver went away
    size_t pos;
    bool go = true;
    while (go && (pos = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, pos);
      pending.erase(0, pos + 1);
      go = demo.Command(line);
    }
    if (!go) break;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (AnswerInfoOption(argc, argv, "uademo", kHelp)) return 0;
  TOptions o;
  if (!ParseArgs(argc, argv, o)) {
    Usage();
    return 2;
  }
  PrepareProcess(OnSignal);
  return Run(o);
}
