// The headless front-end of the server: a small main loop that runs the window's timer
// handlers at 10, 200, 500 and 1000 ms, runs the OPC UA server's step as soon as a
// request arrives or its own timer is due (beside the base tick), answers the window channel (message 1034 and the
// operator's "status" and "values" requests), turns SIGTERM and SIGINT into a close like
// message 1034, and runs tasks that other threads post (RunOnMainAndWait for the Modbus
// connections).
// Labels and status texts go to stderr and the log.
#pragma once
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/core/main_window.h"
#include "server/shell/post_and_wait.h"
#include "server/shell/window_channel_server.h"


class THeadlessShell : public TMainShell {
 public:
  THeadlessShell();
  ~THeadlessShell() override;
  THeadlessShell(const THeadlessShell&) = delete;
  THeadlessShell& operator=(const THeadlessShell&) = delete;

  // Runs until the window closes. SIGTERM and SIGINT must be blocked in every thread.
  void Run(TMainWindow& window);

  // Any thread: queue a task for the main loop.
  void Post(std::function<void()> task);
  // Another thread: run the task on the main loop and wait for it. On the main thread
  // it runs at once.
  void RunOnMainAndWait(const std::function<void()>& task);
  // Any thread: run the base tick now rather than at its next 10 ms mark (a data
  // server's batch is done and waits to be applied).
  void RequestBaseTick();

  void SetMessageLabel(const std::string& text) override;
  void SetStatusText(const std::string& text) override;
  void SetClientLabel(bool ua, const std::string& text) override;
  void EnableSecondTimer(bool on) override { secondTimer_ = on; }
  void HideToTray() override {}
  void Quit() override { quit_ = true; }

 private:
  void Say(const std::string& text);
  void Guarded(TMainWindow& w, const std::function<void()>& f);
  void LogStatusChanges();
  void RunPosted();

  int wakeFd_ = -1;
  int signalFd_ = -1;
  bool quit_ = false;
  std::atomic<bool> tickRequested_{false};
  bool secondTimer_ = false;
  std::mutex mutex_;
  std::deque<std::function<void()>> tasks_;  // guarded by mutex_
  std::thread::id mainId_;
  TMainWindow* window_ = nullptr;  // set by Run
  TWindowChannelServer channel_;
  std::vector<int> lastStates_;
  std::string lastLabel_[2];
  std::string lastMessage_, lastStatus_;
};
