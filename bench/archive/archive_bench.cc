// Load and save of a large project archive (50 projects of 2000 variables, 100 000 in
// all) in each format, every time given as a ratio to a plain read of the same file's
// bytes measured in the same run, so the figures compare across machines.
//
//   archive_bench [--projects N] [--vars N] [--runs N] [--dir DIR] [--clock wall|cpu]
//
// Each figure is the median of the runs. "load" is LoadPrjFile (open, read every value
// into the project list); "save" is the archive written to its file (CreateArchiveForWrite,
// Serialize, Close); "save+sync" is SavePrjFileAs as the programs save: written beside
// the old file, flushed to disk and renamed over it. "--clock cpu" measures the thread's
// CPU time (kernel time included) instead of the wall clock: on a shared machine it
// leaves out the time spent waiting for a CPU (and for the disk in save+sync).
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/archive/obj_archive.h"
#include "common/config/cfg_file.h"
#include "common/platform/paths.h"

namespace {

class TBenchCfg : public TOpcCfgFile {
 public:
  std::unique_ptr<TOpcPrj> NewPrj() override { return std::make_unique<TOpcPrj>(); }
};

// Names and groups of the length and shape devices report.
void Fill(TBenchCfg& cfg, int projects, int vars) {
  for (int p = 0; p < projects; ++p) {
    auto prj = std::make_unique<TOpcPrj>();
    prj->Name = std::to_string(10000000 + p);
    prj->DispName = "Station " + std::to_string(p);
    prj->Password = "pass" + std::to_string(p);
    prj->Server_RefreshDelayMS = 1000;
    prj->DevName = "Device " + std::to_string(p);
    prj->StrMD5 = "0123456789ABCDEF0123456789ABCDEF";
    prj->UseGroup = 1;
    prj->Vars.reserve(size_t(vars));
    for (int v = 0; v < vars; ++v)
      prj->Vars.push_back({"Var" + std::to_string(v), "Line" + std::to_string(v / 100) + "/Unit" + std::to_string(v % 7),
                           1 + v % 3, v % 2});
    prj->Owner = &cfg;
    cfg.Prjs.push_back(std::move(prj));
  }
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

bool g_cpuClock = false;

double NowMs() {
  if (!g_cpuClock)
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

double TimeMs(const std::function<void()>& f) {
  const double t0 = NowMs();
  f();
  return NowMs() - t0;
}

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "archive_bench: %s\n", what.c_str());
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  int projects = 50, vars = 2000, runs = 7;
  std::string dir = std::filesystem::temp_directory_path() / ("archive_bench." + std::to_string(::getpid()));
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--projects") projects = std::atoi(argv[i + 1]);
    else if (a == "--vars") vars = std::atoi(argv[i + 1]);
    else if (a == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    else if (a == "--dir") dir = argv[i + 1];
    else if (a == "--clock" && (std::string(argv[i + 1]) == "cpu" || std::string(argv[i + 1]) == "wall"))
      g_cpuClock = std::string(argv[i + 1]) == "cpu";
    else Fail("unknown option " + a);
  }
  std::filesystem::create_directories(dir);
  TBenchCfg cfg;
  Fill(cfg, projects, vars);
  const size_t total = size_t(projects) * size_t(vars);
  std::printf("archive_bench: %d projects of %d variables (%zu), median of %d runs, %s time, files in %s\n", projects,
              vars, total, runs, g_cpuClock ? "CPU" : "wall-clock", dir.c_str());
  std::printf("%-5s %11s %10s %9s %7s %9s %7s %10s %7s\n", "", "file bytes", "read ms", "load ms", "x read",
              "save ms", "x read", "save+sync", "x read");

  struct TFormat {
    const char* name;
    ObjArFormat format;
  };
  for (const TFormat& f : {TFormat{"BIN", ObjArFormat::BIN}, TFormat{"BINZ", ObjArFormat::BINZ},
                           TFormat{"XML", ObjArFormat::XML}}) {
    const std::string path = dir + "/ZelOpc." + f.name;
    std::vector<double> read, load, save, sync;
    std::string bytes;
    for (int r = 0; r < runs; ++r) {
      save.push_back(TimeMs([&] {
        std::unique_ptr<CNxObjAr> a = CreateArchiveForWrite(path, f.format);
        if (!a) Fail("cannot create " + path);
        cfg.Serialize(*a);
        a->Close();
      }));
      std::string error;
      sync.push_back(TimeMs([&] {
        if (!cfg.SavePrjFileAs(path, f.format, error)) Fail(error);
      }));
      read.push_back(TimeMs([&] {
        if (!ReadFileBytes(path, bytes)) Fail("cannot read " + path);
      }));
      TBenchCfg back;
      load.push_back(TimeMs([&] {
        if (!back.LoadPrjFile(path)) Fail("cannot load " + path);
      }));
      size_t got = 0;
      for (const auto& p : back.Prjs) got += p->Vars.size();
      if (back.Prjs.size() != cfg.Prjs.size() || got != total || back.Prjs.back()->Vars.back().Name != cfg.Prjs.back()->Vars.back().Name)
        Fail(std::string(f.name) + " read back other content");
    }
    const double rd = Median(read);
    std::printf("%-5s %11zu %10.2f %9.2f %7.1f %9.2f %7.1f %10.2f %7.1f\n", f.name, bytes.size(), rd, Median(load),
                Median(load) / rd, Median(save), Median(save) / rd, Median(sync), Median(sync) / rd);
    std::fflush(stdout);
    std::filesystem::remove(path);
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
