// Server benchmark: the real ZelOpcServer3 process ("-K", headless) with 100 000
// variables (200 devices of 500 on two data servers) against cloudsim. It reports
//   - start-up: from process start to the first complete read of all devices (every
//     project running, every variable good, seen through the window channel's "status"
//     request), set against a bare first poll round measured in the same run (the same
//     logins, enumerations and reads POSTed by this program without any processing);
//   - resident memory per variable: VmRSS of the loaded server minus VmRSS of the same
//     server without projects, divided by the variable count (and, for the marginal cost
//     of a variable, against the same 200 devices with one variable each);
//   - main-thread CPU per million applied values: utime+stime of the server's main thread
//     over a measured interval of normal polling, with the applied values counted from
//     cloudsim's read-line counter and from the server's own "ReadAll" status counters.
//
//   server_bench [--seconds S]    S: length of the measured polling interval (default 20)
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

#include "bench/common/bench_plant.h"
#include "bench/common/bench_stats.h"
#include "common/config/app_paths.h"
#include "common/config/cfg_file.h"
#include "common/http/win_http_client.h"
#include "common/link/data_server.h"
#include "common/link/login.h"
#include "common/log/link_texts.h"
#include "common/platform/window_channel.h"
#include "tests/common/child_process.h"
#include "tests/common/cloudsim_fixture.h"
#include "tests/common/log_receiver.h"
#include "tests/common/test_env.h"
#include "tests/common/text_fields.h"

namespace {
constexpr int kDevices = 200;
constexpr int kVars = 500;
constexpr int kServers = 2;
constexpr int kRefreshMs = 500;  // read interval 400 ms
const std::string kServer = std::string(ZEL_BIN_DIR) + "/ZelOpcServer3";
constexpr const char* kWindowClass = "TfrmOpcServer3Main";
constexpr const char* kWindowCaption = "$ZEL_OPC_SERVER3$";
// The shipped settings, with OPC UA off (the server runs for "-K" alone).
constexpr const char* kConfigIni =
    "[SYS]\nLogOPC=0\nLogWebR=0\nLogWebW=0\nLogWebErr=1\nForceXML=0\nWriteMaxLen=32\nErrorRetrySec=60\n"
    "[OPCUA]\nEnable=0\n";

// A number after `key` in a text ("\"RA\":" in cloudsim's counters, "ReadAll=" in a
// status line); -1 when absent.
int64_t NumberAfter(const std::string& text, const std::string& key) {
  size_t p = text.find(key);
  return p == std::string::npos ? -1 : std::atoll(text.c_str() + p + key.size());
}

struct TStatus {
  bool answered = false;
  int lines = 0, loggedIn = 0, enumerated = 0, running = 0, allGood = 0;
  int64_t readAll = 0;
};

TStatus QueryStatus(int vars) {
  TStatus s;
  std::vector<std::string> lines;
  if (!WindowRequest(kWindowClass, kWindowCaption, "status", lines, 5000)) return s;
  s.answered = true;
  s.lines = int(lines.size());
  const std::string enumText = StateText(ncsEnum), startText = StateText(ncsStartRW), runText = StateText(ncsRunning);
  const std::string good = "Good=" + std::to_string(vars) + ",";
  for (const std::string& l : lines) {
    auto f = Fields(l);
    if (f.size() < 6) continue;
    bool run = f[2] == runText, start = f[2] == startText;
    s.loggedIn += run || start || f[2] == enumText;
    s.enumerated += run || start;
    s.running += run;
    s.allGood += run && f[5].find(good) != std::string::npos;
    s.readAll += std::max<int64_t>(0, NumberAfter(f[5], "ReadAll="));
  }
  return s;
}

// One data root with its own runtime folder (window socket, instance lock).
struct TRoot {
  std::string data, runtime;
  TRoot(const TTempDir& dir, const std::string& name) : data(dir / name), runtime(dir / (name + "-run")) {
    std::filesystem::create_directories(data + "/ZelOPC3");
    std::filesystem::create_directories(runtime);
    std::ofstream(data + "/ZelOPC3/config.ini") << kConfigIni;
  }
  std::string PrjFile() const { return data + "/ZelOPC3/ZelOpc.Dat"; }
};

class TServerRun {
 public:
  TServerRun(const TRoot& root, const TLogReceiver& log)
      : dataEnv_("ZELOPC_DATA_ROOT", root.data), runEnv_("XDG_RUNTIME_DIR", root.runtime), out_(root.data + "/server.out") {
    t0_ = SteadySec();
    ok_ = proc_.Start(kServer, {"-K"}, {log.Env()}, out_);
  }
  ~TServerRun() { Stop(); }
  bool Ok() const { return ok_; }
  int Pid() const { return proc_.pid(); }
  double Since() const { return SteadySec() - t0_; }
  bool Running() { return proc_.Running(); }
  // SIGTERM: the server closes as for message 1034. The exit code, -1 when it hung.
  int Stop() {
    if (!proc_.Running()) return exit_;
    proc_.Signal(SIGTERM);
    if (!proc_.Wait(10000, &exit_)) {
      proc_.Kill();
      exit_ = -1;
    }
    return exit_;
  }
  std::string Output() const { return proc_.Output(); }

 private:
  TScopedEnv dataEnv_, runEnv_;
  std::string out_;
  mutable TChildProcess proc_;
  double t0_ = 0;
  bool ok_ = false;
  int exit_ = 0;
};

// Milestones of a start, in seconds after the process was started.
struct TStart {
  double listening = -1, loggedIn = -1, enumerated = -1, complete = -1;
  int64_t rssListening = -1;  // the configuration and runtime variables, before any traffic
};

// Polls the server until every project runs with all its variables good.
bool WatchStart(TServerRun& srv, int devices, int vars, TStart& st, double limitSec = 60) {
  while (srv.Since() < limitSec && srv.Running()) {
    if (st.listening < 0) {
      if (FindWindowChannel(kWindowClass, kWindowCaption)) {
        st.listening = srv.Since();
        st.rssListening = ProcStatusBytes(srv.Pid(), "VmRSS");
      } else std::this_thread::sleep_for(std::chrono::milliseconds(2));
      continue;
    }
    TStatus s = QueryStatus(vars);
    double t = srv.Since();
    if (s.lines == devices) {
      if (st.loggedIn < 0 && s.loggedIn == devices) st.loggedIn = t;
      if (st.enumerated < 0 && s.enumerated == devices) st.enumerated = t;
      if (s.allGood == devices) {
        st.complete = t;
        if (st.loggedIn < 0) st.loggedIn = t;
        if (st.enumerated < 0) st.enumerated = t;
        return true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Waits until the server answers on its window channel (the server without projects).
bool WaitListening(TServerRun& srv, double limitSec = 20) {
  std::vector<std::string> lines;
  while (srv.Since() < limitSec && srv.Running()) {
    if (WindowRequest(kWindowClass, kWindowCaption, "status", lines, 2000)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// The first poll round without a gateway: the logins in pieces of 50 on one thread, as
// the server sends them, then per data server on a thread of its own the enumeration
// ("I" and "E" per device, 100 lines per POST) and one read ("RA" per device). Only the
// session ids and data-server addresses are taken from the login answers.
struct TBareRound {
  double login = 0, enumerate = 0, read = 0, total = 0;
  double enumBytes = 0, readBytes = 0;  // decoded answers
  bool ok = true;
};

TBareRound BareFirstRound(const std::string& loginUrl, const std::vector<std::unique_ptr<TOpcPrj>>& prjs) {
  TBareRound r;
  const double t0 = SteadySec();
  NxWinHTTP session("ZelHTTP", false);
  TwhParsedURL url(loginUrl + kLoginPath);
  std::map<std::string, std::vector<std::pair<std::string, std::string>>> byServer;  // ADDR -> (SID, fingerprint)
  for (size_t first = 0; first < prjs.size(); first += kLoginsPerPost) {
    std::string body, answer;
    for (size_t i = first; i < std::min(prjs.size(), first + kLoginsPerPost); ++i) body += DoReg(*prjs[i]) + std::string(kItemSeparator);
    TwhConnect conn(session, url);
    if (PostText(session, conn, url, body, "text/plain", answer) != 200) r.ok = false;
    std::vector<std::string> items = SplitItems(answer);
    for (size_t k = 1; k < items.size() && first + k - 1 < prjs.size(); ++k) {
      std::string sid, addr;
      for (const std::string& l : SplitLines(items[k])) {
        if (l.rfind("SID=", 0) == 0) sid = l.substr(4);
        if (l.rfind("ADDR=", 0) == 0) addr = l.substr(5);
      }
      if (sid.empty() || addr.empty()) r.ok = false;
      else byServer[addr].emplace_back(sid, prjs[first + k - 1]->StrMD5);
    }
  }
  r.login = SteadySec() - t0;
  std::vector<std::thread> threads;
  std::vector<double> enumSec(byServer.size()), readSec(byServer.size()), enumBytes(byServer.size()),
      readBytes(byServer.size());
  std::vector<char> fine(byServer.size(), 1);
  size_t index = 0;
  for (auto& [addr, list] : byServer) {
    threads.emplace_back([&, i = index++, addr = addr, list = list] {
      NxWinHTTP ds("ZelHTTP", false);
      TwhParsedURL u("http://" + addr + kBatchPath);
      auto post = [&](const std::vector<std::string>& lines, double& bytes) {
        for (size_t first = 0; first < lines.size(); first += 100) {
          std::string body, answer;
          for (size_t k = first; k < std::min(lines.size(), first + 100); ++k) {
            if (k > first) body += kItemSeparator;
            body += lines[k];
          }
          TwhConnect conn(ds, u);
          if (PostStream(ds, conn, u, body, answer, "text/plain", "Accept-Encoding:gzip") != 200 ||
              answer.compare(0, 4, "OK\r\n") != 0)
            fine[i] = 0;
          bytes += double(answer.size());
        }
      };
      std::vector<std::string> enums, reads;
      for (const auto& [sid, md5] : list) {
        enums.push_back("OP=I&SID=" + sid + "\r\n");
        enums.push_back("OP=E&SID=" + sid + "\r\nNTRG");
        reads.push_back("OP=RA&SID=" + sid + "\r\n" + md5);
      }
      double a = SteadySec();
      post(enums, enumBytes[i]);
      double b = SteadySec();
      post(reads, readBytes[i]);
      enumSec[i] = b - a;
      readSec[i] = SteadySec() - b;
    });
  }
  for (auto& t : threads) t.join();
  for (size_t i = 0; i < byServer.size(); ++i) {
    r.enumerate = std::max(r.enumerate, enumSec[i]);
    r.read = std::max(r.read, readSec[i]);
    r.ok = r.ok && fine[i];
    r.enumBytes += enumBytes[i];
    r.readBytes += readBytes[i];
  }
  r.ok = r.ok && byServer.size() == size_t(kServers);
  r.total = SteadySec() - t0;
  return r;
}

class TPlainCfg : public TOpcCfgFile {
 public:
  std::unique_ptr<TOpcPrj> NewPrj() override { return std::make_unique<TOpcPrj>(); }
};

double MiB(int64_t bytes) { return double(bytes) / (1024.0 * 1024.0); }

}  // namespace

int main(int argc, char** argv) {
  double seconds = 20;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::string(argv[i]) == "--seconds") seconds = std::atof(argv[++i]);

  TTempDir dir;
  TLogReceiver log;  // the log datagrams land here, not on a viewer's port
  TScopedEnv logPort("ZELOPC_LOG_PORT", std::to_string(log.port()));
  TScopedEnv root("ZELOPC_DATA_ROOT", dir / "bench");  // this program's own (installation id)
  TRoot base(dir, "base"), full(dir, "full"), small(dir, "small");
  const int totalVars = kDevices * kVars;

  TCloudSim sim;
  if (!sim.Start(dir, BenchPlant(kDevices, kVars, kServers, kRefreshMs), {"--write-config", full.PrjFile()})) {
    std::fprintf(stderr, "server_bench: cloudsim did not start\n%s\n", sim.Output().c_str());
    return 1;
  }
  std::printf("ZelOpcServer3 -K: %d devices x %d variables = %d variables, %d data servers (cloudsim, http, gzip)\n\n",
              kDevices, kVars, totalVars, kServers);

  // 1. The baseline: the same server without projects.
  int64_t baseRss = 0, baseHwm = 0;
  {
    TServerRun srv(base, log);
    if (!srv.Ok() || !WaitListening(srv)) {
      std::fprintf(stderr, "server_bench: the server without projects did not answer\n%s\n", srv.Output().c_str());
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    baseRss = ProcStatusBytes(srv.Pid(), "VmRSS");
    baseHwm = ProcStatusBytes(srv.Pid(), "VmHWM");
    srv.Stop();
  }

  // 2. The loaded server: start-up, then a measured interval of normal polling.
  TStart st;
  int64_t rss = 0, hwm = 0;
  double mainCpu = 0, mainSched = 0, procCpu = 0, interval = 0;
  int64_t simReads = 0, srvReads = 0;
  int exitCode = 0;
  {
    TServerRun srv(full, log);
    if (!srv.Ok() || !WatchStart(srv, kDevices, kVars, st)) {
      std::fprintf(stderr, "server_bench: the loaded server did not reach a complete read\n%s\n%s\n",
                   srv.Output().c_str(), sim.Control("counters").c_str());
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const int pid = srv.Pid();
    TStatus s0 = QueryStatus(kVars);
    int64_t ra0 = NumberAfter(sim.Control("counters"), "\"RA\":");
    double c0 = ProcCpuSec(pid, pid), d0 = ProcSchedSec(pid, pid), p0 = ProcCpuSec(pid), t0 = SteadySec();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    double c1 = ProcCpuSec(pid, pid), d1 = ProcSchedSec(pid, pid), p1 = ProcCpuSec(pid), t1 = SteadySec();
    int64_t ra1 = NumberAfter(sim.Control("counters"), "\"RA\":");
    TStatus s1 = QueryStatus(kVars);
    rss = ProcStatusBytes(pid, "VmRSS");
    hwm = ProcStatusBytes(pid, "VmHWM");
    mainCpu = c1 - c0;
    mainSched = d0 >= 0 && d1 >= 0 ? d1 - d0 : -1;
    procCpu = p1 - p0;
    interval = t1 - t0;
    simReads = ra1 - ra0;
    srvReads = s1.readAll - s0.readAll;
    if (s1.allGood != kDevices) std::printf("WARNING: %d of %d devices not complete at the end\n", kDevices - s1.allGood, kDevices);
    exitCode = srv.Stop();
  }

  // 3. The bare first poll round, three times; the fastest counts.
  InitAppPaths();  // the installation id of the login bodies
  TPlainCfg plant;
  if (!plant.LoadPrjFile(full.PrjFile())) {
    std::fprintf(stderr, "server_bench: cannot read %s\n", full.PrjFile().c_str());
    return 1;
  }
  TBareRound bare;
  for (int i = 0; i < 3; ++i) {
    TBareRound r = BareFirstRound(sim.LoginUrl(), plant.Prjs);
    if (!r.ok) std::printf("WARNING: a bare round had failures\n");
    if (i == 0 || r.total < bare.total) bare = r;
  }
  sim.Stop();

  // 4. The marginal cost of a variable: the same 200 devices with one variable each.
  int64_t smallRss = -1;
  {
    TTempDir dir2;
    TCloudSim sim2;
    if (sim2.Start(dir2, BenchPlant(kDevices, 1, kServers, kRefreshMs), {"--write-config", small.PrjFile()})) {
      TServerRun srv(small, log);
      TStart st2;
      if (srv.Ok() && WatchStart(srv, kDevices, 1, st2)) {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        smallRss = ProcStatusBytes(srv.Pid(), "VmRSS");
      }
    }
  }

  const double applied = double(simReads) * kVars, appliedSrv = double(srvReads) * kVars;
  std::printf("start-up (process start to the milestone, seen through the window channel, polled every 10 ms):\n");
  std::printf("  %-34s: %6.3f s  (archive of %d variables loaded, runtime built, main loop up)\n", "window channel listening",
              st.listening, totalVars);
  std::printf("  %-34s: %6.3f s\n", "all devices logged in", st.loggedIn);
  std::printf("  %-34s: %6.3f s\n", "all variable lists accepted", st.enumerated);
  std::printf("  %-34s: %6.3f s\n", "first complete read of all devices", st.complete);
  std::printf("  %-34s: %6.3f s  (logins %.3f, then per data server in parallel enumeration <= %.3f\n"
              "  %-34s            and read <= %.3f; answers %.1f MB of variable lists, %.1f MB of values)\n",
              "bare first poll round", bare.total, bare.login, bare.enumerate, "", bare.read, bare.enumBytes / 1e6,
              bare.readBytes / 1e6);
  std::printf("  %-34s: %6.3f s  (complete read - bare round; aim < 1 s)\n\n", "start-up beyond the poll round",
              st.complete - bare.total);

  std::printf("memory (VmRSS):\n");
  std::printf("  %-34s: %8.1f MiB (peak %.1f)\n", "server without projects", MiB(baseRss), MiB(baseHwm));
  std::printf("  %-34s: %8.1f MiB (peak %.1f)\n", "server with 100 000 variables", MiB(rss), MiB(hwm));
  std::printf("  %-34s: %8.0f bytes  (aim < 400)\n", "per variable", double(rss - baseRss) / totalVars);
  std::printf("  %-34s: %8.0f bytes  (VmRSS when the main loop came up, before any traffic)\n",
              "of which configuration + runtime", double(st.rssListening - baseRss) / totalVars);
  if (smallRss > 0) {
    std::printf("  %-34s: %8.1f MiB\n", "200 devices of 1 variable", MiB(smallRss));
    std::printf("  %-34s: %8.0f bytes  (against 200 devices of 1 variable)\n\n", "marginal per variable",
                double(rss - smallRss) / double(totalVars - kDevices));
  } else {
    std::printf("  (the one-variable comparison did not run)\n\n");
  }

  std::printf("steady polling over %.1f s (device read interval 400 ms, 10 ms base tick):\n", interval);
  std::printf("  %-34s: %.0f (cloudsim read lines x %d), %.0f by the server's ReadAll counters\n", "values applied",
              applied, kVars, appliedSrv);
  std::printf("  %-34s: %.0f values/s\n", "rate", applied / interval);
  std::printf("  %-34s: %.3f s utime+stime", "main-thread CPU", mainCpu);
  if (mainSched >= 0) std::printf(" (schedstat %.3f s)", mainSched);
  std::printf(" = %.1f ms per million applied values\n", applied > 0 ? 1e3 * mainCpu / applied * 1e6 : 0.0);
  if (mainSched >= 0)
    std::printf("  %-34s  schedstat: %.1f ms per million\n", "", applied > 0 ? 1e3 * mainSched / applied * 1e6 : 0.0);
  std::printf("  %-34s: %.3f s = %.1f ms per million applied values\n", "whole-process CPU", procCpu,
              applied > 0 ? 1e3 * procCpu / applied * 1e6 : 0.0);
  std::printf("  %-34s: %s (2 cores shared with whatever else runs here)\n", "load average", LoadAverage().c_str());
  std::printf("\nserver exit code after SIGTERM: %d\n", exitCode);
  return exitCode == 0 ? 0 : 1;
}
