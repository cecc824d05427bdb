// Data-link benchmark: the server's main object and data link in this process against
// cloudsim, 200 projects of 500 variables on two data servers. It reports
//   - values applied per second and the main thread's CPU time per applied value, with
//     the link paced as the server runs it (device read interval, 10 ms base tick);
//   - the link's read-batch round trip and cycle against a bare HTTP baseline measured in
//     the same run: the same batch bodies POSTed with PostStream to the same cloudsim
//     data servers on as many threads, answers not looked at.
// The pacing is taken out for the comparison: after the enumeration every project's
// read interval is set to 0 (every project is due at every step) and each data server
// is stepped as soon as its reader is done, so batches follow each other as fast as the
// link can turn them around. That run also counts the same values and CPU.
//
// With --latency cloudsim waits that long before every answer, as a far cloud would:
// the link's cycle should then stay within a few per cent of the bare round trip.
//
//   link_bench [--seconds S] [--latency MS]
//     S: length of each measured phase (default 10); MS: cloudsim's delay (default 0)
#include <sys/prctl.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

#include "bench/common/bench_plant.h"
#include "bench/common/bench_stats.h"
#include "common/config/app_paths.h"
#include "common/http/win_http_client.h"
#include "common/link/data_server.h"
#include "common/link/link_state.h"
#include "common/link/login.h"
#include "common/log/link_texts.h"
#include "common/platform/clock.h"
#include "common/settings/sys_config.h"
#include "server/runtime/zel_main.h"
#include "tests/common/cloudsim_fixture.h"
#include "tests/common/log_receiver.h"
#include "tests/common/test_env.h"

namespace {
constexpr int kProjects = 200;
constexpr int kVars = 500;
constexpr int kServers = 2;
constexpr int kRefreshMs = 500;  // read interval 0.8 x 500 = 400 ms

// Counts every value a project applies: the place where the OPC UA bridge takes them.
class TCountPush : public TValuePush {
 public:
  void UpdateVar(TZelVarItem&, bool) override { ++count; }
  int64_t count = 0;
};

bool AllRunningGood(TZelMain& m) {
  for (size_t i = 0; i < m.PrjCount(); ++i) {
    TOpcSPrj& p = m.SPrj(i);
    if (p.NetState != ncsRunning) return false;
    for (const auto& v : p.Vars)
      if (!IsGood(*v)) return false;
  }
  return true;
}

int NotRunning(TZelMain& m) {
  int n = 0;
  for (size_t i = 0; i < m.PrjCount(); ++i) n += m.SPrj(i).NetState != ncsRunning;
  return n;
}

// The data servers in URL order (the order TDataServerMgr steps them).
std::vector<TOpcDataServer*> DataServers(TZelMain& m) {
  std::map<std::string, TOpcDataServer*> byUrl;
  for (size_t i = 0; i < m.PrjCount(); ++i)
    if (TOpcDataServer* ds = g_DataServerMgr->FindServer(m.SPrj(i).DataUrl)) byUrl[ds->Url()] = ds;
  std::vector<TOpcDataServer*> out;
  for (auto& [url, ds] : byUrl) out.push_back(ds);
  return out;
}

int64_t ReaderRuns(const std::vector<TOpcDataServer*>& servers) {
  int64_t n = 0;
  for (TOpcDataServer* ds : servers) n += ds->Reader().RunCount();
  return n;
}

// The read batch a data server's reader sends when all its projects are due: one "RA"
// line per attached project in attach order, joined as on the wire.
std::string ReadBatchBody(const TOpcDataServer& ds) {
  std::string body;
  for (TOpcPrj* p : ds.AttachedProjects()) {
    if (!body.empty()) body += kItemSeparator;
    body += "OP=RA&SID=" + p->SID + "\r\n" + p->StrMD5;
  }
  return body;
}

struct TBare {
  std::vector<double> rtt;
  int64_t failures = 0;
  double answerBytes = 0;  // decoded, per POST
  double cpuSec = 0;       // of the POSTing threads
};

// The bare baseline: one thread per data server POSTs its read batch body back to back
// on a session of its own, with the data link's content type and gzip header.
void RunBare(const std::vector<std::pair<std::string, std::string>>& urlBodies, double seconds, TBare& out) {
  std::vector<TBare> per(urlBodies.size());
  std::vector<std::thread> threads;
  const double until = SteadySec() + seconds;
  for (size_t i = 0; i < urlBodies.size(); ++i) {
    threads.emplace_back([&, i] {
      pthread_setname_np(pthread_self(), "bare");
      NxWinHTTP session("ZelHTTP", false);
      TwhParsedURL url(urlBodies[i].first + kBatchPath);
      std::string answer;
      double bytes = 0;
      while (SteadySec() < until) {
        answer.clear();
        double t0 = SteadySec();
        TwhConnect conn(session, url);
        int32_t r = PostStream(session, conn, url, urlBodies[i].second, answer, "text/plain", "Accept-Encoding:gzip");
        double t1 = SteadySec();
        if (r != 200 || answer.compare(0, 4, "OK\r\n") != 0) {
          ++per[i].failures;
          continue;
        }
        per[i].rtt.push_back(t1 - t0);
        bytes += double(answer.size());
      }
      if (!per[i].rtt.empty()) per[i].answerBytes = bytes / double(per[i].rtt.size());
      per[i].cpuSec = double(ThreadCpuNs()) * 1e-9;
    });
  }
  for (auto& t : threads) t.join();
  double bytes = 0;
  for (const TBare& b : per) {
    out.rtt.insert(out.rtt.end(), b.rtt.begin(), b.rtt.end());
    out.failures += b.failures;
    out.cpuSec += b.cpuSec;
    bytes += b.answerBytes;
  }
  out.answerBytes = bytes / double(per.size());
}

// CPU seconds of this process's threads whose name begins with `prefix`.
double ThreadsCpuSec(const std::string& prefix) {
  double sum = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream in(e.path() / "comm");
    std::string comm;
    std::getline(in, comm);
    if (comm.compare(0, prefix.size(), prefix) == 0) sum += std::max(0.0, ProcCpuSec(getpid(), std::atoi(e.path().filename().c_str())));
  }
  return sum;
}

// CPU seconds of the data servers' worker threads and of cloudsim.
struct TCpu {
  double workers = 0, sim = 0;
  static TCpu Now(int simPid) { return TCpu{ThreadsCpuSec("DS"), simPid > 0 ? ProcCpuSec(simPid) : 0}; }
  TCpu operator-(const TCpu& o) const { return TCpu{workers - o.workers, sim - o.sim}; }
  TCpu& operator+=(const TCpu& o) {
    workers += o.workers;
    sim += o.sim;
    return *this;
  }
};

// The pid of our child process with that command name (cloudsim), 0 when none.
int ChildPid(const std::string& comm) {
  for (const auto& e : std::filesystem::directory_iterator("/proc")) {
    const std::string name = e.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(e.path() / "stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t open = text.find('('), close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close + 4 >= text.size()) continue;
    int ppid = std::atoi(text.c_str() + text.find(' ', close + 2) + 1);
    if (ppid == getpid() && text.substr(open + 1, close - open - 1) == comm) return std::atoi(name.c_str());
  }
  return 0;
}

struct TRun {
  double seconds = 0;
  int64_t applied = 0;
  int64_t cpuNs = 0;
  int64_t steps = 0;
  int64_t batches = 0;
  std::vector<double> rtt, cycle;
};

// The server's own pace: RunTick every 10 ms, each tick's thread CPU time summed.
void RunPaced(TZelMain& m, TCountPush& push, const std::vector<TOpcDataServer*>& servers, double seconds, TRun& r) {
  const int64_t applied0 = push.count, runs0 = ReaderRuns(servers);
  const double start = SteadySec(), until = start + seconds;
  double next = start;
  while (SteadySec() < until) {
    int64_t c0 = ThreadCpuNs();
    m.RunTick(SteadyMs());
    r.cpuNs += ThreadCpuNs() - c0;
    ++r.steps;
    next += 0.010;
    double now = SteadySec();
    if (next < now) next = now + 0.010;
    std::this_thread::sleep_for(std::chrono::duration<double>(next - now));
  }
  r.seconds = SteadySec() - start;
  r.applied = push.count - applied0;
  r.batches = ReaderRuns(servers) - runs0;
}

// Without pacing: each data server is stepped as soon as its reader is idle or done
// (between steps the main thread only polls the reader's flags every 100 us). A batch's
// round trip runs from the step that started it to the poll that saw it done; its cycle
// from that start to the next one.
void RunUnpaced(TCountPush& push, const std::vector<TOpcDataServer*>& servers, double seconds, TRun& r) {
  struct TWatch {
    bool inFlight = false;
    double t0 = 0, lastStart = -1;
  };
  std::vector<TWatch> w(servers.size());
  const int64_t applied0 = push.count, runs0 = ReaderRuns(servers);
  const double start = SteadySec(), until = start + seconds;
  while (SteadySec() < until) {
    bool stepped = false;
    for (size_t i = 0; i < servers.size(); ++i) {
      TOpcDataThread& rd = servers[i]->Reader();
      const bool busy = rd.IsBusy(), done = busy && rd.IsDone();
      if (busy && !done) continue;
      const double t = SteadySec();
      if (done && w[i].inFlight) {
        r.rtt.push_back(t - w[i].t0);
        w[i].inFlight = false;
      }
      int64_t c0 = ThreadCpuNs();
      servers[i]->Step(SteadyMs());
      r.cpuNs += ThreadCpuNs() - c0;
      ++r.steps;
      stepped = true;
      if (!busy && rd.IsBusy()) {
        if (w[i].lastStart >= 0) r.cycle.push_back(t - w[i].lastStart);
        w[i].lastStart = w[i].t0 = t;
        w[i].inFlight = true;
      }
    }
    if (!stepped) std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  r.seconds = SteadySec() - start;
  r.applied = push.count - applied0;
  r.batches = ReaderRuns(servers) - runs0;
}

// Lets the batches in flight finish so a baseline runs on a quiet link.
void DrainReaders(const std::vector<TOpcDataServer*>& servers) {
  for (TOpcDataServer* ds : servers)
    while (ds->Reader().IsBusy() && !ds->Reader().IsDone()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void PrintRun(const char* what, const TRun& r) {
  double perValue = r.applied ? double(r.cpuNs) / double(r.applied) : 0;
  std::printf("  %-26s: %lld in %.1f s = %.0f values/s\n", "values applied", (long long)r.applied, r.seconds,
              double(r.applied) / r.seconds);
  std::printf("  %-26s: %.1f ms over %lld %s = %.1f ns per applied value (aim < 200 ns)\n", "main-thread CPU",
              double(r.cpuNs) * 1e-6, (long long)r.steps, what, perValue);
  std::printf("  %-26s: %.1f per second per data server\n", "read batches", double(r.batches) / r.seconds / kServers);
}
}  // namespace

int main(int argc, char** argv) {
  double seconds = 10;
  int latencyMs = 0;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--seconds") seconds = std::atof(argv[++i]);
    else if (std::string(argv[i]) == "--latency") latencyMs = std::atoi(argv[++i]);
  }

  // The polling loop's short sleeps end on time instead of up to 50 us late.
  prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
  TTempDir dir;
  TScopedEnv root("ZELOPC_DATA_ROOT", dir.path());
  TLogReceiver log;  // our log datagrams land here, not on a viewer's port
  TScopedEnv logPort("ZELOPC_LOG_PORT", std::to_string(log.port()));
  TCloudSim sim;
  // Every batch waits the latency on a cloudsim worker: enough workers for all of them.
  if (!sim.Start(dir, BenchPlant(kProjects, kVars, kServers, kRefreshMs),
                 {"--write-config", dir / "plant.dat", "--latency", std::to_string(latencyMs), "--threads", "64"})) {
    std::fprintf(stderr, "link_bench: cloudsim did not start\n%s\n", sim.Output().c_str());
    return 1;
  }
  InitAppPaths();
  TSysOP = TSysOPRecord{};
  TSysOP.LogWebErr = 1;
  TSysOP.RetryAttempts = 1;  // a failure shows at once instead of after retries
  TSysOP.WriteMaxLen = 32;
  g_DataServerMgr = std::make_unique<TDataServerMgr>();
  int rc = 0;
  {
    TZelMain main;
    if (!main.LoadPrjFile(dir / "plant.dat") || main.PrjCount() != size_t(kProjects)) {
      std::fprintf(stderr, "link_bench: cannot load the plant configuration\n");
      return 1;
    }
    main.BuildRuntime();
    TCountPush push;
    main.SetPush(&push);

    std::printf("data link: %d projects x %d variables = %d values per round, %d data servers (cloudsim, http, gzip,"
                " latency %d ms)\n", kProjects, kVars, kProjects * kVars, kServers, latencyMs);
    const double t0 = SteadySec();
    while (!AllRunningGood(main) && SteadySec() - t0 < 60) {
      main.RunTick(SteadyMs());
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!AllRunningGood(main)) {
      std::fprintf(stderr, "link_bench: the projects did not reach ncsRunning (%d not running)\n%s\n", NotRunning(main),
                   sim.Control("counters").c_str());
      return 1;
    }
    std::printf("start: all projects running with good values after %.2f s (logins, enumeration, first read)\n\n",
                SteadySec() - t0);
    std::vector<TOpcDataServer*> servers = DataServers(main);
    const int simPid = ChildPid("cloudsim");
    if (servers.size() != size_t(kServers)) {
      std::fprintf(stderr, "link_bench: %zu data servers instead of %d\n", servers.size(), kServers);
      return 1;
    }

    // 1. As the server runs it.
    TRun paced;
    RunPaced(main, push, servers, seconds, paced);
    std::printf("paced (device read interval %d ms, RunTick every 10 ms as the server's base tick):\n",
                main.SPrj(0).ReadIntervalMS);
    PrintRun("ticks", paced);
    std::printf("  %-26s: %.1f ms (read interval + batch + tick)\n\n", "mean read cycle",
                1e3 * paced.seconds * kServers / double(std::max<int64_t>(1, paced.batches)));

    // 2. Without pacing, in rounds that alternate with the bare baseline, so the load of
    // other programs on this machine falls on both alike.
    DrainReaders(servers);
    std::vector<std::pair<std::string, std::string>> bodies;
    for (TOpcDataServer* ds : servers) bodies.emplace_back(ds->Url(), ReadBatchBody(*ds));
    for (size_t i = 0; i < main.PrjCount(); ++i) main.SPrj(i).ReadIntervalMS = 0;
    constexpr int kRounds = 5;
    TBare bare;
    TRun fast;
    TCpu bareCpu, linkCpu;
    std::vector<double> roundRatio;
    for (int round = 0; round < kRounds; ++round) {
      TBare b;
      TCpu c0 = TCpu::Now(simPid);
      RunBare(bodies, seconds / kRounds, b);
      bareCpu += TCpu::Now(simPid) - c0;
      TRun l;
      c0 = TCpu::Now(simPid);
      RunUnpaced(push, servers, seconds / kRounds, l);
      DrainReaders(servers);
      linkCpu += TCpu::Now(simPid) - c0;
      roundRatio.push_back(Summarize(l.cycle).mean / Summarize(b.rtt).mean);
      bare.rtt.insert(bare.rtt.end(), b.rtt.begin(), b.rtt.end());
      bare.failures += b.failures;
      bare.cpuSec += b.cpuSec;
      bare.answerBytes = b.answerBytes;
      fast.seconds += l.seconds;
      fast.applied += l.applied;
      fast.cpuNs += l.cpuNs;
      fast.steps += l.steps;
      fast.batches += l.batches;
      fast.rtt.insert(fast.rtt.end(), l.rtt.begin(), l.rtt.end());
      fast.cycle.insert(fast.cycle.end(), l.cycle.begin(), l.cycle.end());
    }
    const TSummary b = Summarize(bare.rtt), rt = Summarize(fast.rtt), cy = Summarize(fast.cycle);
    const TSummary rr = Summarize(roundRatio);

    std::printf("unpaced (read interval 0 after the enumeration, each data server stepped as soon as its reader is done;\n"
                "%d rounds alternating with the bare baseline):\n", kRounds);
    std::printf("  %-26s: %s\n", "bare POST round trip", MsText(b).c_str());
    std::printf("  %-26s  %d threads, the link's 100-line read bodies, PostStream with gzip,\n", "", kServers);
    std::printf("  %-26s  %.0f KB answer, answers not parsed; %lld failed\n", "", bare.answerBytes / 1024,
                (long long)bare.failures);
    std::printf("  %-26s: %s\n", "link batch round trip", MsText(rt).c_str());
    std::printf("  %-26s  (StartBatch to Done seen by the main thread)\n", "");
    std::printf("  %-26s: %s\n", "link batch cycle", MsText(cy).c_str());
    std::printf("  %-26s  (start to next start: + applying %d values and preparing the next batch)\n", "",
                kProjects / kServers * kVars);
    std::printf("  %-26s: round trip / bare = %.3f (%+.1f %%), cycle / bare = %.3f (%+.1f %%)  (aim <= %s)\n",
                "link vs bare", rt.mean / b.mean, 100 * (rt.mean / b.mean - 1), cy.mean / b.mean,
                100 * (cy.mean / b.mean - 1), latencyMs >= 50 ? "+5 %" : "+20 %");
    std::printf("  %-26s  cycle / bare per round: median %.3f, min %.3f, max %.3f\n", "", rr.p50, rr.min, rr.max);
    std::printf("  %-26s: link %.1f/s per data server, bare %.1f/s: link/bare = %.3f\n", "batches per second",
                cy.mean > 0 ? 1 / cy.mean : 0.0, 1 / b.mean, b.mean / cy.mean);
    const double bareN = double(bare.rtt.size()), linkN = double(std::max<int64_t>(1, fast.batches));
    std::printf("  %-26s: bare: POSTing thread %.2f ms + cloudsim %.2f ms; link: reader thread %.2f ms + main thread"
                " %.2f ms + cloudsim %.2f ms\n",
                "CPU per batch", 1e3 * bare.cpuSec / bareN, 1e3 * bareCpu.sim / bareN, 1e3 * linkCpu.workers / linkN,
                1e-6 * double(fast.cpuNs) / linkN, 1e3 * linkCpu.sim / linkN);
    std::printf("  %-26s  (all on %ld cores shared with whatever else runs here: load %s)\n", "",
                sysconf(_SC_NPROCESSORS_ONLN), LoadAverage().c_str());
    // When the cores are short, every millisecond of CPU the link spends is taken from
    // cloudsim and stretches the round trips; this is what the link itself adds.
    const double own = (linkCpu.workers / linkN - bare.cpuSec / bareN) + 1e-9 * double(fast.cpuNs) / linkN;
    std::printf("  %-26s: %.2f ms per batch (reader thread beyond the bare POST + main thread) = %+.1f %% of the bare\n"
                "  %-26s  round trip: the share the link adds when the cloud does not compete for these cores\n",
                "link's own CPU", 1e3 * own, 100 * own / b.mean, "");
    PrintRun("data-server steps", fast);
    std::printf("\n");

    // 3. Unpaced reads, but at the server's own 10 ms tick: what the tick adds per batch.
    TRun ticked;
    RunPaced(main, push, servers, seconds / 2, ticked);
    std::printf("unpaced reads at the 10 ms base tick (RunTick every 10 ms):\n");
    PrintRun("ticks", ticked);
    std::printf("  %-26s: %.1f ms (a done batch waits for a tick, the next one starts a tick later)\n",
                "mean read cycle", 1e3 * ticked.seconds * kServers / double(std::max<int64_t>(1, ticked.batches)));

    int bad = NotRunning(main);
    if (bad) {
      std::printf("\nWARNING: %d projects left ncsRunning during the run; figures are suspect\n", bad);
      rc = 1;
    }
    std::printf("\ncloudsim counters: %s\n", sim.Control("counters").c_str());
    main.SetPush(nullptr);
    g_DataServerMgr->Clear();
  }
  g_DataServerMgr.reset();
  sim.Stop();
  return rc;
}
