#include "manager/core/mgr_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <set>
#include <thread>

#include "common/helpers/file_helpers.h"
#include "common/platform/clock.h"
#include "common/platform/named_mutex.h"
#include "common/platform/paths.h"
#include "common/platform/registry.h"
#include "common/platform/text.h"
#include "common/platform/window_channel.h"

extern char** environ;

namespace {
constexpr const char* kServerCaption = "$ZEL_OPC_SERVER3$";
constexpr const char* kServerCaptionOld = "OPC_SERVER";
constexpr const char* kServerProgId = "ZelOpcServer3.ZELOPC";

std::set<pid_t>& StartedPrograms() {
  static std::set<pid_t> pids;  // main thread only
  return pids;
}
}  // namespace

TMgrOptions ParseMgrOptions(const std::vector<std::string>& entries) {
  TMgrOptions o;
  for (const std::string& e : entries) {
    std::string t = UpperCase(Trim(e));
    if (t.empty() || (t[0] != '-' && t[0] != '/')) continue;
    t.erase(0, 1);
    if (t == "ZELID") o.ZelId = true;
    else if (t == "XML") o.Xml = true;
    else if (t == "GENCERT") o.GenCert = true;
  }
  return o;
}

std::vector<std::string> MgrOptionEntries(const std::string& iniFile, const std::vector<std::string>& params) {
  std::vector<std::string> out;
  std::string bytes;
  if (FileExists(iniFile) && ReadFileBytes(iniFile, bytes)) {
    const std::string text = DecodeTextFile(bytes);
    size_t start = 0;
    while (start <= text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      out.push_back(text.substr(start, end - start));  // Trim takes the CR
      start = end + 1;
    }
  }
  out.insert(out.end(), params.begin(), params.end());
  return out;
}

std::string RegisteredProgramDir() {
  std::string clsid, exe;
  if (!RegReadString(TRegRoot::HKCR, std::string(kServerProgId) + "\\Clsid", "", clsid) || clsid.empty()) return {};
  if (!RegReadString(TRegRoot::HKCR, "CLSID\\" + clsid + "\\LocalServer32", "", exe) || exe.empty()) return {};
  return ExcludeTrailingSlash(LongPath(ExtractFileDir(exe)));
}

std::string ServerWindowCaption() {
  for (const char* caption : {kServerCaption, kServerCaptionOld})
    if (FindWindowChannel(kServerWindowClass, caption)) return caption;
  return {};
}

bool ServerWindowExists() { return !ServerWindowCaption().empty(); }

bool CloseServerWindow(int waitMs) {
  const int64_t until = MonotonicMs() + waitMs;
  std::string caption = ServerWindowCaption();
  // A server that is still starting holds its mutex before its window listens; left
  // alone it would keep the configuration it read before this save.
  while (caption.empty() && NamedMutexHeld(kServerMutexName) && MonotonicMs() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    caption = ServerWindowCaption();
  }
  if (caption.empty()) return false;
  (void)SendWindowMessage(kServerWindowClass, caption, kMsgCloseServer, nullptr, waitMs);
  // The server answers before it closes; a message box on Windows returns only once the
  // window is gone. Waiting for the server's mutex gives the same guarantee here.
  while (NamedMutexHeld(kServerMutexName) && MonotonicMs() < until) {
    ReapStartedPrograms();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ReapStartedPrograms();
  return true;
}

pid_t StartProgram(const std::string& path, const std::vector<std::string>& args) {
  std::vector<std::string> store{path};
  store.insert(store.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : store) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
  StartedPrograms().insert(pid);
  return pid;
}

void ReapStartedPrograms() {
  auto& pids = StartedPrograms();
  for (auto it = pids.begin(); it != pids.end();) {
    if (waitpid(*it, nullptr, WNOHANG) != 0) it = pids.erase(it);
    else ++it;
  }
}

TMgrWindowChannel::~TMgrWindowChannel() {
  for (auto& [fd, c] : clients_) close(fd);
  if (listenFd_ >= 0) {
    close(listenFd_);
    unlink(WindowSocketPath(kMgrWindowClass, kMgrChannelCaption).c_str());
  }
}

bool TMgrWindowChannel::Listen() {
  listenFd_ = ListenWindowChannel(kMgrWindowClass, kMgrChannelCaption);
  if (listenFd_ >= 0) fcntl(listenFd_, F_SETFL, fcntl(listenFd_, F_GETFL) | O_NONBLOCK);
  return listenFd_ >= 0;
}

int TMgrWindowChannel::PollNow() {
  if (listenFd_ < 0) return 0;
  const long long now = MonotonicMs();
  for (auto it = clients_.begin(); it != clients_.end();) {
    if (now >= it->second.deadline) {
      close(it->first);
      it = clients_.erase(it);
    } else {
      ++it;
    }
  }
  // Accept what waits; beyond the limit a new requester is closed at once, so a flood
  // costs no memory and the ones already in keep their turn.
  for (;;) {
    const int c = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (c < 0) break;
    if (clients_.size() >= kMaxClients) {
      close(c);
      continue;
    }
    clients_[c].deadline = now + kClientMs;
  }
  int shows = 0;
  std::vector<int> fds;
  for (auto& [fd, c] : clients_) fds.push_back(fd);
  for (int fd : fds) shows += Serve(fd, clients_[fd]);
  return shows;
}

// One request line per connection, then the answer and the close.
int TMgrWindowChannel::Serve(int fd, TClient& c) {
  char buf[128];
  const ssize_t n = read(fd, buf, sizeof buf);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  if (n > 0) c.in.append(buf, size_t(n));
  const TMgrRequest r = ParseMgrRequest(c.in, n <= 0);
  if (r == TMgrRequest::Incomplete) return 0;
  if (r == TMgrRequest::Refused) send(fd, "ERROR unknown request\n.\n", 24, MSG_NOSIGNAL | MSG_DONTWAIT);
  else send(fd, "0\n", 2, MSG_NOSIGNAL | MSG_DONTWAIT);
  close(fd);
  clients_.erase(fd);
  return r == TMgrRequest::Show ? 1 : 0;
}

TMgrRequest ParseMgrRequest(std::string_view in, bool ended) {
  const size_t eol = in.find('\n');
  if (eol == std::string_view::npos)
    return !ended && in.size() <= kMgrMaxRequestLine ? TMgrRequest::Incomplete : TMgrRequest::Refused;
  if (eol > kMgrMaxRequestLine) return TMgrRequest::Refused;
  std::string_view line = in.substr(0, eol);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (!line.starts_with("MSG ")) return TMgrRequest::Refused;
  return line == "MSG " + std::to_string(kMsgShowManager) ? TMgrRequest::Show : TMgrRequest::Message;
}
