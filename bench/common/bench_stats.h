// Small measuring helpers shared by the benchmarks: clocks, summaries of samples and
// the CPU and memory figures of a process read from /proc.
#pragma once
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

inline double SteadySec() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// CPU time of the calling thread in nanoseconds.
inline int64_t ThreadCpuNs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct TSummary {
  size_t n = 0;
  double mean = 0, p50 = 0, p90 = 0, min = 0, max = 0;
};

inline TSummary Summarize(std::vector<double> v) {
  TSummary s;
  s.n = v.size();
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  s.mean = std::accumulate(v.begin(), v.end(), 0.0) / double(v.size());
  s.p50 = v[v.size() / 2];
  s.p90 = v[std::min(v.size() - 1, v.size() * 9 / 10)];
  s.min = v.front();
  s.max = v.back();
  return s;
}

// "mean 12.34 ms (p50 12.00, p90 14.10, n 250)" for samples in seconds.
inline std::string MsText(const TSummary& s) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "mean %7.2f ms (p50 %.2f, p90 %.2f, n %zu)", s.mean * 1e3, s.p50 * 1e3, s.p90 * 1e3,
                s.n);
  return buf;
}

// utime + stime of one thread (tid) or of the whole process (tid 0) in seconds, from
// /proc/<pid>[/task/<tid>]/stat; -1 when it cannot be read. Resolution: one clock tick.
inline double ProcCpuSec(int pid, int tid = 0) {
  std::string path = "/proc/" + std::to_string(pid) + (tid ? "/task/" + std::to_string(tid) : "") + "/stat";
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');  // the command name may hold blanks
  if (close == std::string::npos) return -1;
  std::istringstream rest(text.substr(close + 2));
  std::vector<std::string> f;
  std::string w;
  while (rest >> w) f.push_back(w);
  // Fields after the name start at field 3 (state): utime is field 14, stime field 15.
  if (f.size() < 13) return -1;
  return double(std::stoll(f[11]) + std::stoll(f[12])) / double(sysconf(_SC_CLK_TCK));
}

// Time on CPU of one thread in seconds from /proc/<pid>/task/<tid>/schedstat (ns
// resolution); -1 when the kernel does not offer it.
inline double ProcSchedSec(int pid, int tid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/schedstat");
  long long ns = -1;
  if (!(in >> ns)) return -1;
  return double(ns) * 1e-9;
}

// A "VmRSS"-style field of /proc/<pid>/status in bytes; -1 when missing.
inline int64_t ProcStatusBytes(int pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line, want = std::string(field) + ":";
  while (std::getline(in, line))
    if (line.compare(0, want.size(), want) == 0) return std::stoll(line.substr(want.size())) * 1024;
  return -1;
}

// The load average of /proc/loadavg ("1.02 0.87 0.65"): the conditions of a run on a
// shared machine.
inline std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}
