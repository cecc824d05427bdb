#include "common/platform/paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

std::string ExecutablePath() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, size_t(n));
}

bool FileExists(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirExists(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateDir(const std::string& path) { return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST; }

bool CreateDirPath(const std::string& path, int parentMode, int mode, std::string& error) {
  const std::string full = ExcludeTrailingSlash(path);
  if (full.empty()) {
    error = "no folder named";
    return false;
  }
  // Each prefix ending before a '/', then the path itself; existing ones are passed over.
  for (size_t at = full.find('/', 1);; at = full.find('/', at + 1)) {
    const bool last = at == std::string::npos;
    const std::string part = last ? full : full.substr(0, at);
    if (!part.empty() && part.back() != '/' && !DirExists(part)) {
      if (mkdir(part.c_str(), mode_t(last ? mode : parentMode)) != 0) {
        const int e = errno;
        if (!(e == EEXIST && DirExists(part))) {
          error = part + ": " + (e == EEXIST ? "exists and is not a folder" : std::strerror(e));
          return false;
        }
      }
    }
    if (last) return true;
  }
}

bool ReadFileBytes(const std::string& path, std::string& out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out.clear();
  struct stat st{};
  if (fstat(fd, &st) == 0 && st.st_size > 0) out.reserve(size_t(st.st_size));
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return false;
    }
    if (n == 0) break;
    out.append(buf, size_t(n));
  }
  close(fd);
  return true;
}

static bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(size_t(n));
  }
  return true;
}

void RemoveStaleTemporaries(const std::string& path, std::string_view marker) {
  const std::string dir = path.find('/') == std::string::npos ? std::string(".") : ExtractFileDir(path);
  const std::string prefix = ExtractFileName(path) + std::string(marker);
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  std::vector<std::string> stale;
  while (const dirent* e = readdir(d)) {
    const std::string_view name(e->d_name);
    if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) continue;
    const std::string_view digits = name.substr(prefix.size());
    if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string_view::npos) continue;
    const pid_t pid = pid_t(std::stol(std::string(digits)));
    // kill(pid, 0) asks only whether the process exists; EPERM means it does.
    if (pid > 0 && pid != getpid() && kill(pid, 0) != 0 && errno == ESRCH) stale.emplace_back(name);
  }
  closedir(d);
  for (const std::string& name : stale) unlink((IncludeTrailingSlash(dir) + name).c_str());
}

bool WriteFileAtomic(const std::string& path, std::string_view bytes, int mode) {
  RemoveStaleTemporaries(path, ".tmp");
  std::string tmp = path + ".tmp" + std::to_string(getpid());
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, bytes) && fsync(fd) == 0;
  ok = (close(fd) == 0) && ok;
  if (ok && chmod(tmp.c_str(), mode_t(mode)) != 0) ok = false;
  if (ok && rename(tmp.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) unlink(tmp.c_str());
  return ok;
}

bool CopyFileOver(const std::string& from, const std::string& to) {
  std::string bytes;
  if (!ReadFileBytes(from, bytes)) return false;
  return WriteFileAtomic(to, bytes);
}

bool DeleteFileAt(const std::string& path) { return unlink(path.c_str()) == 0; }

bool RenameFileOver(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0;
}

std::string CurrentDir() {
  char buf[PATH_MAX];
  return getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
}

bool SetCurrentDir(const std::string& dir) { return chdir(dir.c_str()) == 0; }

std::string SharedDocumentsDir() {
  if (const char* root = std::getenv("ZELOPC_DATA_ROOT"); root && *root) return ExcludeTrailingSlash(root);
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) return ExcludeTrailingSlash(xdg);
  if (const char* home = std::getenv("HOME"); home && *home) return ExcludeTrailingSlash(home) + "/.local/share";
  return {};
}

void AnchorDataRoot() {
  for (const char* name : {"ZELOPC_DATA_ROOT", "XDG_DATA_HOME", "HOME"}) {
    const char* v = std::getenv(name);
    if (!v || !*v) continue;  // not in effect: the next one names the root
    if (*v != '/') {
      const std::string cwd = CurrentDir();
      if (!cwd.empty()) setenv(name, (IncludeTrailingSlash(cwd) + v).c_str(), 1);
    }
    return;
  }
}

std::string RuntimeDir() {
  if (const char* r = std::getenv("XDG_RUNTIME_DIR"); r && *r && DirExists(r)) return ExcludeTrailingSlash(r);
  return "/tmp";
}
