// The Windows front-end of the server: a real top-level window of class
// TfrmOpcServer3Main with caption "$ZEL_OPC_SERVER3$", never shown, whose message loop is
// the main loop. Window timers run the window's handlers at 10, 200, 500 and 1000 ms;
// message 1034 from another process asks for the close like the Linux channel's
// "MSG 1034"; tasks of other threads arrive as posted messages. The same loop delivers
// the calls of COM clients to the server objects of this (single-threaded) apartment.
// Labels and status texts go to the log.
#pragma once
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "server/core/main_window.h"

class TWin32Shell : public TMainShell {
 public:
  TWin32Shell();
  ~TWin32Shell() override;
  TWin32Shell(const TWin32Shell&) = delete;
  TWin32Shell& operator=(const TWin32Shell&) = delete;

  // False when the window could not be made (Run then returns at once).
  bool Created() const { return hwnd_ != nullptr; }
  // Runs until the window closes.
  void Run(TMainWindow& window);

  // Any thread: queue a task for the main loop.
  void Post(std::function<void()> task);
  // Another thread: run the task on the main loop and wait for it; on the main thread it
  // runs at once.
  void RunOnMainAndWait(const std::function<void()>& task);
  // Any thread: run the base tick now rather than at its next 10 ms mark.
  void RequestBaseTick();

  void SetMessageLabel(const std::string& text) override;
  void SetStatusText(const std::string& text) override;
  void SetClientLabel(bool ua, const std::string& text) override;
  void EnableSecondTimer(bool on) override;
  void HideToTray() override {}
  void Quit() override;

  // The window procedure's part for this window (message, wParam, lParam); true when
  // the message was ours, with its result.
  bool Handle(unsigned msg, uintptr_t wp, intptr_t& result);

 private:
  void Guarded(const std::function<void()>& f);
  void RunPosted();

  void* hwnd_ = nullptr;  // HWND
  bool quit_ = false;
  bool secondTimer_ = false;
  std::mutex mutex_;
  std::deque<std::function<void()>> tasks_;  // guarded by mutex_
  std::thread::id mainId_;
  TMainWindow* window_ = nullptr;  // set by Run
  std::string lastLabel_[2];
};
