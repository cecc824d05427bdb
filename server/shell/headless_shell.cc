#include "server/shell/headless_shell.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <future>

#include "common/log/server_log.h"
#include "common/platform/clock.h"
#include "common/platform/window_channel.h"
#include "server/runtime/zel_main.h"

THeadlessShell::THeadlessShell() {
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  signalFd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  listenFd_ = ListenWindowChannel(kMainWindowClass, kMainWindowCaption);
  mainId_ = std::this_thread::get_id();
}

namespace {
// Time a requester has from connecting to taking its whole answer.
constexpr int64_t kClientDeadlineMs = 30000;
}  // namespace

THeadlessShell::~THeadlessShell() {
  for (auto& [fd, client] : clients_) close(fd);
  if (listenFd_ >= 0) {
    close(listenFd_);
    unlink(WindowSocketPath(kMainWindowClass, kMainWindowCaption).c_str());
  }
  if (signalFd_ >= 0) close(signalFd_);
  if (wakeFd_ >= 0) close(wakeFd_);
}

void THeadlessShell::Say(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  LogSys(text);
}

void THeadlessShell::SetMessageLabel(const std::string& text) { Say(text); }
void THeadlessShell::SetStatusText(const std::string& text) { Say(text); }
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
  std::promise<void> done;
  auto fut = done.get_future();
  Post([&] {
    try {
      task();
    } catch (...) {
      done.set_exception(std::current_exception());
      return;
    }
    done.set_value();
  });
  fut.get();
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

// One request line per connection; the answer follows and the connection closes.
void THeadlessShell::Serve(TMainWindow& w, int fd) {
  TClient& c = clients_[fd];
  char buf[512];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n > 0) c.in.append(buf, size_t(n));
  const size_t eol = c.in.find('\n');
  if (n > 0 && eol == std::string::npos && c.in.size() <= 4096) return;
  std::string line = eol == std::string::npos ? c.in : c.in.substr(0, eol);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  c.answered = true;
  if (line == "MSG " + std::to_string(kMsgCloseServer)) {
    // Answered before the close: the few bytes fit the socket's buffer.
    send(fd, "0\n", 2, MSG_NOSIGNAL | MSG_DONTWAIT);
    Drop(fd);
    Guarded(w, [&] { w.RequestClose(2); });
    return;
  }
  if (line.rfind("MSG ", 0) == 0) {
    c.out = "0\n";
  } else if (line == "status" || line == "values") {
    if (gp_Main)
      for (const std::string& l : line == "status" ? gp_Main->StatusLines() : gp_Main->ValueLines()) c.out += l + "\n";
    c.out += ".\n";
  } else {
    c.out = "ERROR unknown request\n.\n";
  }
  Flush(fd);
}

// Writes what the socket takes now; the rest waits for the next POLLOUT.
void THeadlessShell::Flush(int fd) {
  TClient& c = clients_[fd];
  while (c.sent < c.out.size()) {
    const ssize_t n = send(fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      c.sent += size_t(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      return;
    } else {
      break;  // the requester went away
    }
  }
  Drop(fd);
}

void THeadlessShell::Drop(int fd) {
  close(fd);
  clients_.erase(fd);
}

void THeadlessShell::Run(TMainWindow& w) {
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
    int timeout = int(std::max<int64_t>(0, wake - MonotonicMs()));
    std::vector<pollfd> fds{{wakeFd_, POLLIN, 0}, {signalFd_, POLLIN, 0}};
    if (listenFd_ >= 0) fds.push_back({listenFd_, POLLIN, 0});
    const int64_t clientNow = MonotonicMs();
    for (auto it = clients_.begin(); it != clients_.end();) {
      if (clientNow < it->second.deadline) {
        ++it;
        continue;
      }
      close(it->first);
      it = clients_.erase(it);
    }
    for (auto& [fd, c] : clients_) fds.push_back({fd, short(c.answered ? POLLOUT : POLLIN), 0});
    int r = poll(fds.data(), fds.size(), timeout);
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
    size_t i = 2;
    if (listenFd_ >= 0) {
      if (fds[i].revents) {
        int c = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (c >= 0) clients_[c].deadline = MonotonicMs() + kClientDeadlineMs;
      }
      ++i;
    }
    for (; i < fds.size(); ++i) {
      const auto found = clients_.find(fds[i].fd);
      if (!fds[i].revents || found == clients_.end()) continue;
      if (found->second.answered) Flush(fds[i].fd);
      else Serve(w, fds[i].fd);
    }
  }
  RunPosted();  // nobody waits forever on a task posted before the end
}
