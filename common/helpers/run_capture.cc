#include "common/helpers/run_capture.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/helpers/message_boxes.h"
#include "common/platform/text.h"

extern char** environ;

namespace {
thread_local int t_exitCode = -1;

std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> args;
  std::string cur;
  bool inQuote = false, have = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) {
      cur.push_back(line[++i]);
      have = true;
    } else if (c == '"') {
      inQuote = !inQuote;
      have = true;
    } else if (!inQuote && (c == ' ' || c == '\t')) {
      if (have) args.push_back(cur), cur.clear(), have = false;
    } else {
      cur.push_back(c);
      have = true;
    }
  }
  if (have) args.push_back(cur);
  return args;
}
}  // namespace

int LastRunCaptureExitCode() { return t_exitCode; }

bool RunCapture(const std::string& commandLine, std::string& output, int pollMs) {
  if (pollMs <= 0) pollMs = 10;
  t_exitCode = -1;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;

  std::vector<std::string> args = SplitCommandLine(commandLine);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 2);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  int err = args.empty() ? ENOENT : posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(fds[1]);
  if (err != 0) {
    close(fds[0]);
    ErrorBoxFmt("CreateProcess_ERROR#%d,%s\nCmdLine=%s", err, std::strerror(err), commandLine.c_str());
    return false;
  }

  // Read while data comes; when none is waiting, stop once the child has ended, so a
  // grandchild that keeps the pipe open cannot hold us.
  char buf[4096];
  int status = 0;
  bool reaped = false;
  for (;;) {
    pollfd p{fds[0], POLLIN, 0};
    int r = poll(&p, 1, pollMs);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) break;
    if (r == 0) {
      if (waitpid(pid, &status, WNOHANG) == pid) {
        reaped = true;
        break;
      }
      continue;
    }
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    output.append(buf, size_t(n));
  }
  close(fds[0]);
  while (!reaped && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  t_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return true;
}

bool RunCaptureText(const std::string& commandLine, std::string& text, int pollMs) {
  std::string out;
  text.clear();
  if (!RunCapture(commandLine, out, pollMs)) return false;
  size_t z = out.find('\0');
  text = z == std::string::npos ? out : out.substr(0, z);
  return true;
}
