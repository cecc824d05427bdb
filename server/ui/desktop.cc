#include "server/ui/desktop.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {
bool CanConnect(const std::string& path) {
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) return false;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

// Only local displays (":N" or "unix:N"): a TCP display would mean a remote lookup.
bool XDisplayReachable() {
  const char* d = std::getenv("DISPLAY");
  if (!d || !*d) return false;
  std::string s = d;
  if (s.rfind("unix:", 0) == 0) s = s.substr(4);
  if (s.empty() || s[0] != ':') return false;
  const std::string number = s.substr(1, s.find('.') == std::string::npos ? std::string::npos : s.find('.') - 1);
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
  return CanConnect("/tmp/.X11-unix/X" + number);
}

bool WaylandReachable() {
  const char* w = std::getenv("WAYLAND_DISPLAY");
  if (!w || !*w) return false;
  if (w[0] == '/') return CanConnect(w);
  const char* dir = std::getenv("XDG_RUNTIME_DIR");
  return dir && CanConnect(std::string(dir) + "/" + w);
}
}  // namespace

bool UseDesktopShell(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "-headless") == 0 || std::strcmp(argv[i], "/headless") == 0) return false;
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (platform && std::strncmp(platform, "wayland", 7) == 0) return WaylandReachable();
  return XDisplayReachable() || WaylandReachable();
}
