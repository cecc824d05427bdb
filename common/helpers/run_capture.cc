#include "common/helpers/run_capture.h"

#ifdef _WIN32
#include <windows.h>

#include "common/platform/win_text.h"
#else
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/helpers/message_boxes.h"
#include "common/platform/text.h"

namespace {
thread_local int t_exitCode = -1;
}  // namespace

int LastRunCaptureExitCode() { return t_exitCode; }

#ifdef _WIN32
// The system splits the command line itself (the child's runtime does).
bool RunCapture(const std::string& commandLine, std::string& output, int pollMs) {
  if (pollMs <= 0) pollMs = 10;
  t_exitCode = -1;
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return false;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = nul;
  si.hStdOutput = writeEnd;
  si.hStdError = writeEnd;
  PROCESS_INFORMATION pi{};
  std::wstring line = WideText(commandLine);
  const BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                      nullptr, &si, &pi);
  const DWORD err = started ? 0 : GetLastError();
  CloseHandle(writeEnd);
  if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
  if (!started) {
    CloseHandle(readEnd);
    ErrorBoxFmt("CreateProcess_ERROR#%lu,%s\nCmdLine=%s", static_cast<unsigned long>(err), "",
                commandLine.c_str());
    return false;
  }
  CloseHandle(pi.hThread);
  // Read while data comes; when none is waiting, stop once the child has ended, so a
  // grandchild that keeps the pipe open cannot hold us.
  char buf[4096];
  for (;;) {
    DWORD avail = 0;
    if (!PeekNamedPipe(readEnd, nullptr, 0, nullptr, &avail, nullptr)) break;  // closed
    if (avail == 0) {
      if (WaitForSingleObject(pi.hProcess, DWORD(pollMs)) == WAIT_OBJECT_0) {
        // What the child wrote just before its end is still taken.
        if (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &avail, nullptr) && avail > 0) continue;
        break;
      }
      continue;
    }
    DWORD n = 0;
    if (!ReadFile(readEnd, buf, sizeof buf, &n, nullptr) || n == 0) break;
    output.append(buf, n);
  }
  CloseHandle(readEnd);
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  if (GetExitCodeProcess(pi.hProcess, &code)) t_exitCode = int(code);
  CloseHandle(pi.hProcess);
  return true;
}
#else
extern char** environ;

namespace {

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

#endif

bool RunCaptureText(const std::string& commandLine, std::string& text, int pollMs) {
  std::string out;
  text.clear();
  if (!RunCapture(commandLine, out, pollMs)) return false;
  size_t z = out.find('\0');
  text = z == std::string::npos ? out : out.substr(0, z);
  return true;
}
