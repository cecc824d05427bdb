#include "common/platform/window_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/platform/clock.h"
#include "common/platform/paths.h"

namespace {
bool MakeAddr(const std::string& path, sockaddr_un& a) {
  a = sockaddr_un{};
  a.sun_family = AF_UNIX;
  if (path.size() >= sizeof a.sun_path) return false;
  std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
  return true;
}

int Connect(const std::string& path) {
  sockaddr_un a;
  if (!MakeAddr(path, a)) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads until the predicate on the collected text holds, the peer closes, or time runs out.
template <class Pred>
bool ReadUntil(int fd, std::string& text, int timeoutMs, Pred done) {
  const int64_t until = MonotonicMs() + timeoutMs;
  char buf[4096];
  while (!done(text)) {
    int left = int(until - MonotonicMs());
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, left);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return done(text);
    text.append(buf, size_t(n));
  }
  return true;
}

bool SendLine(int fd, const std::string& line) {
  std::string l = line + "\n";
  return send(fd, l.data(), l.size(), MSG_NOSIGNAL) == ssize_t(l.size());
}
}  // namespace

std::string WindowSocketPath(const std::string& windowClass, const std::string& caption) {
  return RuntimeDir() + "/" + windowClass + "." + caption + ".sock";
}

bool FindWindowChannel(const std::string& windowClass, const std::string& caption) {
  int fd = Connect(WindowSocketPath(windowClass, caption));
  if (fd < 0) return false;
  close(fd);
  return true;
}

bool SendWindowMessage(const std::string& windowClass, const std::string& caption, int msg, std::string* answer,
                       int timeoutMs) {
  int fd = Connect(WindowSocketPath(windowClass, caption));
  if (fd < 0) return false;
  std::string text;
  bool ok = SendLine(fd, "MSG " + std::to_string(msg)) &&
            ReadUntil(fd, text, timeoutMs, [](const std::string& t) { return t.find('\n') != std::string::npos; });
  close(fd);
  if (answer) *answer = text.substr(0, text.find('\n'));
  return ok;
}

bool WindowRequest(const std::string& windowClass, const std::string& caption, const std::string& request,
                   std::vector<std::string>& lines, int timeoutMs) {
  lines.clear();
  int fd = Connect(WindowSocketPath(windowClass, caption));
  if (fd < 0) return false;
  std::string text;
  bool ok = SendLine(fd, request) && ReadUntil(fd, text, timeoutMs, [](const std::string& t) {
              return t == ".\n" || (t.size() >= 3 && t.compare(t.size() - 3, 3, "\n.\n") == 0);
            });
  close(fd);
  size_t start = 0;
  while (start < text.size()) {
    size_t e = text.find('\n', start);
    if (e == std::string::npos) e = text.size();
    std::string l = text.substr(start, e - start);
    if (l == ".") break;
    lines.push_back(l);
    start = e + 1;
  }
  return ok;
}

int ListenWindowChannel(const std::string& windowClass, const std::string& caption) {
  const std::string path = WindowSocketPath(windowClass, caption);
  if (FindWindowChannel(windowClass, caption)) return -1;  // a live window has it
  unlink(path.c_str());
  sockaddr_un a;
  if (!MakeAddr(path, a)) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 8) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}
