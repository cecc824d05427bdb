#include "server/shell/headless_shell.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <future>

#include "common/log/server_log.h"
#include "common/platform/clock.h"
#include "server/runtime/zel_main.h"

THeadlessShell::THeadlessShell()
    : channel_([this] { Guarded(*window_, [this] { window_->RequestClose(2); }); },
               [this] { return TWindowView{"headless", lastMessage_, lastLabel_[0], lastLabel_[1], lastStatus_}; }) {
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  signalFd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  mainId_ = std::this_thread::get_id();
}

THeadlessShell::~THeadlessShell() {
  if (signalFd_ >= 0) close(signalFd_);
  if (wakeFd_ >= 0) close(wakeFd_);
}

void THeadlessShell::Say(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  LogSys(text);
}

void THeadlessShell::SetMessageLabel(const std::string& text) {
  lastMessage_ = text;
  Say(text);
}
void THeadlessShell::SetStatusText(const std::string& text) {
  lastStatus_ = text;
  Say(text);
}
void THeadlessShell::SetClientLabel(bool ua, const std::string& text) {
  if (lastLabel_[ua] == text) return;
  lastLabel_[ua] = text;
  Say(text);
}

void THeadlessShell::Post(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  uint64_t one = 1;
  (void)!write(wakeFd_, &one, sizeof one);
}

void THeadlessShell::RequestBaseTick() {
  tickRequested_.store(true, std::memory_order_relaxed);
  uint64_t one = 1;
  (void)!write(wakeFd_, &one, sizeof one);
}


void THeadlessShell::RunOnMainAndWait(const std::function<void()>& task) {
  if (std::this_thread::get_id() == mainId_) {
    task();
    return;
  }
  PostAndWait([this](std::function<void()> t) { Post(std::move(t)); }, task);
}

void THeadlessShell::RunPosted() {
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(tasks_);
  }
  for (auto& t : batch) t();
}

void THeadlessShell::Guarded(TMainWindow& w, const std::function<void()>& f) {
  // No exception leaves a handler: it takes the window's exception path instead.
  try {
    f();
  } catch (const std::exception& e) {
    w.OnException(e.what());
  } catch (...) {
    w.OnException("unknown exception");
  }
}

void THeadlessShell::LogStatusChanges() {
  if (!gp_Main) return;
  const size_t n = gp_Main->PrjCount();
  bool changed = lastStates_.size() != n;
  lastStates_.resize(n, -1);
  for (size_t i = 0; i < n; ++i) {
    int s = gp_Main->SPrj(i).NetState;
    if (s != lastStates_[i]) {
      lastStates_[i] = s;
      changed = true;
    }
  }
  if (!changed) return;
  for (const std::string& line : gp_Main->StatusLines()) LogSys("[Status]" + line);
}

void THeadlessShell::Run(TMainWindow& w) {
  window_ = &w;
  struct TTimer {
    int64_t period;
    int64_t next;
  };
  const int64_t start = MonotonicMs();
  TTimer base{10, start}, scan{200, start + 200}, count{500, start + 500}, second{1000, start + 1000};
  bool secondWasOn = false;
  LogStatusChanges();
  while (!quit_) {
    int64_t now = MonotonicMs();
    if (secondTimer_ && !secondWasOn) second.next = now + 1000;  // a timer starts anew when enabled
    secondWasOn = secondTimer_;
    if (now >= base.next) {
      base.next = now + base.period;
      Guarded(w, [&] { w.BaseTick(SteadyMs()); });
      LogStatusChanges();
    }
    if (!quit_ && now >= scan.next) {
      scan.next += scan.period;
      if (scan.next <= now) scan.next = now + scan.period;
      Guarded(w, [&] { w.ScanTick(); });
    }
    if (!quit_ && now >= count.next) {
      count.next += count.period;
      if (count.next <= now) count.next = now + count.period;
      Guarded(w, [&] { w.ClientCountTick(); });
    }
    if (!quit_ && secondTimer_ && now >= second.next) {
      second.next += second.period;
      if (second.next <= now) second.next = now + second.period;
      Guarded(w, [&] { w.SecondTick(); });
    }
    if (quit_) break;

    int64_t wake = std::min({base.next, scan.next, count.next});
    if (secondTimer_) wake = std::min(wake, second.next);
    // The OPC UA server's requests and timers are served as they come, between ticks.
    TUaServerHost::TWait ua = w.UaWait();
    const int64_t uaDue = ua.timeoutMs >= 0 ? MonotonicMs() + ua.timeoutMs : INT64_MAX;
    wake = std::min(wake, uaDue);
    int timeout = int(std::max<int64_t>(0, wake - MonotonicMs()));
    std::vector<pollfd> fds{{wakeFd_, POLLIN, 0}, {signalFd_, POLLIN, 0}};
    channel_.AddPollFds(fds);
    const size_t uaIndex = fds.size();
    if (ua.fd >= 0) fds.push_back({ua.fd, POLLIN, 0});
    int r = poll(fds.data(), fds.size(), timeout);
    bool uaReady = (ua.fd >= 0 && r > 0 && fds[uaIndex].revents) || MonotonicMs() >= uaDue;
    if (uaReady && !quit_) Guarded(w, [&] { w.UaEvent(); });
    if (r <= 0) continue;
    if (fds[0].revents) {
      uint64_t v;
      (void)!read(wakeFd_, &v, sizeof v);
      Guarded(w, [&] { RunPosted(); });
      if (tickRequested_.exchange(false, std::memory_order_relaxed)) base.next = MonotonicMs();
    }
    if (fds[1].revents) {
      signalfd_siginfo si;
      while (read(signalFd_, &si, sizeof si) == ssize_t(sizeof si)) {
      }
      LogSys("Signal_SysClose");
      Guarded(w, [&] { w.RequestClose(2); });
    }
    channel_.Handle(fds, 2);
  }
  RunPosted();  // nobody waits forever on a task posted before the end
}
