#include "server/shell/window_channel_server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "common/platform/clock.h"
#include "common/platform/window_channel.h"
#include "server/core/main_window.h"
#include "server/runtime/zel_main.h"

namespace {
// Time a requester has from connecting to taking its whole answer.
constexpr int64_t kClientDeadlineMs = 30000;
}  // namespace

std::vector<std::string> WindowViewLines(const TWindowView& view) {
  std::vector<std::string> lines;
  for (auto [name, text] : {std::pair{"state", view.State},
                            {"message", view.Message},
                            {"opcda", view.OpcDa},
                            {"opcua", view.OpcUa},
                            {"status", view.Status}}) {
    for (char& ch : text)
      if (ch == '\n' || ch == '\r') ch = ' ';
    lines.push_back(std::string(name) + "\t" + text);
  }
  return lines;
}

TWindowChannelServer::TWindowChannelServer(std::function<void()> onClose, std::function<TWindowView()> view)
    : onClose_(std::move(onClose)), view_(std::move(view)) {
  listenFd_ = ListenWindowChannel(kMainWindowClass, kMainWindowCaption);
}

TWindowChannelServer::~TWindowChannelServer() {
  for (auto& [fd, client] : clients_) close(fd);
  if (listenFd_ >= 0) {
    close(listenFd_);
    unlink(WindowSocketPath(kMainWindowClass, kMainWindowCaption).c_str());
  }
}

void TWindowChannelServer::AddPollFds(std::vector<pollfd>& fds) {
  const int64_t now = MonotonicMs();
  for (auto it = clients_.begin(); it != clients_.end();) {
    if (now < it->second.deadline) {
      ++it;
      continue;
    }
    close(it->first);
    it = clients_.erase(it);
  }
  if (listenFd_ >= 0) fds.push_back({listenFd_, POLLIN, 0});
  for (auto& [fd, c] : clients_) fds.push_back({fd, short(c.answered ? POLLOUT : POLLIN), 0});
}

void TWindowChannelServer::Handle(const std::vector<pollfd>& fds, size_t first) {
  for (size_t i = first; i < fds.size(); ++i) {
    if (!fds[i].revents) continue;
    if (fds[i].fd == listenFd_) {
      int c = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (c >= 0) clients_[c].deadline = MonotonicMs() + kClientDeadlineMs;
      continue;
    }
    const auto found = clients_.find(fds[i].fd);
    if (found == clients_.end()) continue;
    if (found->second.answered) Flush(fds[i].fd);
    else Serve(fds[i].fd);
  }
}

void TWindowChannelServer::PollNow() {
  std::vector<pollfd> fds;
  AddPollFds(fds);
  if (fds.empty() || poll(fds.data(), fds.size(), 0) <= 0) return;
  Handle(fds, 0);
}

// One request line per connection; the answer follows and the connection closes.
void TWindowChannelServer::Serve(int fd) {
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
    onClose_();
    return;
  }
  if (line.rfind("MSG ", 0) == 0) {
    c.out = "0\n";
  } else if (line == "status" || line == "values") {
    if (gp_Main)
      for (const std::string& l : line == "status" ? gp_Main->StatusLines() : gp_Main->ValueLines()) c.out += l + "\n";
    c.out += ".\n";
  } else if (line == "window") {
    if (view_)
      for (const std::string& l : WindowViewLines(view_())) c.out += l + "\n";
    c.out += ".\n";
  } else {
    c.out = "ERROR unknown request\n.\n";
  }
  Flush(fd);
}

// Writes what the socket takes now; the rest waits for the next POLLOUT.
void TWindowChannelServer::Flush(int fd) {
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

void TWindowChannelServer::Drop(int fd) {
  close(fd);
  clients_.erase(fd);
}
