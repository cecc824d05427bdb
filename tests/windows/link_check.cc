// Checks the data link of the Windows build against cloudsim on the Linux side (run under
// Wine by scripts/test-windows.sh): loads the project archive cloudsim wrote for its
// devices, logs every project in and reads until each device's counter has moved, as the
// server's main window drives it. Prints one line per failed check; the exit code is the
// number of failures.
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "common/config/app_paths.h"
#include "common/link/data_server.h"
#include "common/log/link_texts.h"
#include "common/platform/clock.h"
#include "server/runtime/zel_main.h"
#include "tests/windows/check_count.h"

namespace {
// Ticks the main object every 10 ms until pred holds; false after ms.
bool Pump(TZelMain& m, const std::function<bool()>& pred, int ms) {
  const int64_t until = MonotonicMs() + ms;
  while (MonotonicMs() < until) {
    m.RunTick(SteadyMs());
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

const TZelVarItem* Var(TOpcSPrj& p, const std::string& name) {
  for (const auto& v : p.Vars)
    if (v->Name == name) return v.get();
  return nullptr;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::printf("usage: link_check ZELOPC-DAT\n");
    return 100;
  }
  std::string error;
  Check(InitAppPaths(&error), "data folder: " + error);
  g_DataServerMgr = std::make_unique<TDataServerMgr>();
  auto gw = std::make_unique<TZelMain>();
  if (!gw->LoadPrjFile(argv[1]) || gw->PrjCount() == 0) {
    std::printf("FAILED: cannot load %s\n", argv[1]);
    return 100;
  }
  gw->BuildRuntime();
  const auto all = [&](const std::function<bool(TOpcSPrj&)>& f) {
    for (size_t i = 0; i < gw->PrjCount(); ++i)
      if (!f(gw->SPrj(i))) return false;
    return true;
  };
  const bool running = Pump(*gw, [&] { return all([](TOpcSPrj& p) { return p.NetState == ncsRunning; }); }, 60000);
  Check(running, "every project logged in and running");
  // A counter that moved twice was read in more than one batch, with good quality.
  double first = -1;
  if (running) {
    const TZelVarItem* count = Var(gw->SPrj(0), "Count");
    Check(count != nullptr, "the device's counter is configured");
    if (count) {
      first = count->Value;
      Check(Pump(*gw, [&] { return count->Value >= first + 2 && IsGood(*count); }, 30000),
            "the counter moves: " + std::to_string(count->Value));
    }
    for (size_t i = 0; i < gw->PrjCount(); ++i) {
      const TZelVarItem* set = Var(gw->SPrj(i), "Set");
      Check(set && set->Value == 1.5 && IsGood(*set), gw->SPrj(i).Name + ": the constant reads 1.5");
    }
  }
  if (CheckFailures())
    for (const std::string& line : gw->ValueLines()) std::printf("  %s\n", line.c_str());
  gw.reset();
  g_DataServerMgr.reset();
  std::printf("link_check: %d failure(s)\n", CheckFailures());
  return CheckFailures();
}
