// ZelLogView's UDP socket on Linux; SIGINT and SIGTERM interrupt the receive (no restart).
#include "tools/logview/log_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace {
volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }
}  // namespace

TLogListener::~TLogListener() {
  if (socket_ >= 0) close(int(socket_));
}

bool TLogListener::ParseAddress(const char* text, uint32_t& address) {
  in_addr a{};
  if (inet_pton(AF_INET, text, &a) != 1) return false;
  address = a.s_addr;
  return true;
}

std::string TLogListener::AddressText(uint32_t address) {
  in_addr a{};
  a.s_addr = address;
  char text[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

bool TLogListener::Open(uint32_t address, int port, std::string& error) {
  const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    error = std::strerror(errno);
    return false;
  }
  socket_ = s;
  int on = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = address;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    error = std::strerror(errno);
    return false;
  }
  return true;
}

long TLogListener::Receive(uint8_t* buf, size_t size) {
  const ssize_t n = recv(int(socket_), buf, size, 0);
  return n < 0 ? -1 : long(n);  // EINTR on a signal
}

void TLogListener::CatchStop() {
  struct sigaction sa{};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

bool TLogListener::Stopping() { return g_stop != 0; }
