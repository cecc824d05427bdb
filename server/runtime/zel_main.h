// The server main object: the server's configuration object (projects, login cache,
// retry lists), driven by the main window's base tick. It creates every project as a
// TOpcSPrj and runs the logins, the login retries and the data link's polling.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/config/cfg_file.h"
#include "server/runtime/opc_sprj.h"

inline constexpr int64_t kLoginRetryMs = 20000;

class TZelMain : public TOpcCfgFile {
 public:
  TZelMain();
  ~TZelMain() override;

  std::unique_ptr<TOpcPrj> NewPrj() override;
  // Logins at the first call, re-logins, retries every 20 s, then the data link. `now`
  // is link-clock time (SteadyMs), as are TickNow and RetryDeadline.
  void RunTick(int64_t now);

  TOpcSPrj& SPrj(size_t i) { return static_cast<TOpcSPrj&>(*Prjs[i]); }
  size_t PrjCount() const { return Prjs.size(); }
  // Builds the runtime variables of every project (start-up, after the archive).
  void BuildRuntime();
  // Where the projects push values and ask for timed closes.
  void SetPush(TValuePush* push);
  void SetCloser(TCloseScheduler* closer);

  // One line per project, the status window's columns as text (display name, device
  // number, state, error, device name, counters).
  std::vector<std::string> StatusLines() const;
  // One line per variable: device number, variable name, value ("%.15g"), "good"/"bad".
  // For operators and tests that need to see what the clients see.
  std::vector<std::string> ValueLines() const;

  int64_t TickNow = 0;
  int64_t RetryDeadline = 0;

 private:
  bool firstTick_ = true;
  TValuePush* push_ = nullptr;
  TCloseScheduler* closer_ = nullptr;
};

// The one server main object, created once at start and never replaced.
extern std::unique_ptr<TZelMain> gp_Main;
