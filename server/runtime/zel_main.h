// The server main object: the one configuration object of the server process, owner of
// every project and runtime variable, driven by the main window's timers.
#pragma once
#include <memory>

class TZelMain {
 public:
  TZelMain() = default;
  virtual ~TZelMain() = default;
  TZelMain(const TZelMain&) = delete;
  TZelMain& operator=(const TZelMain&) = delete;
};

// The one server main object, created once at start and never replaced.
extern std::unique_ptr<TZelMain> gp_Main;
