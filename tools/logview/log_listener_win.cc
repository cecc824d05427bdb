// ZelLogView's UDP socket on Winsock. The console's Ctrl+C, close and shutdown events come
// on a thread of their own, which cannot interrupt a waiting recv: the socket waits at
// most half a second, so the loop sees the stop soon after.
#include "tools/logview/log_listener.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "common/platform/winsock_init.h"

namespace {
std::atomic<bool> g_stop{false};

BOOL WINAPI OnConsoleEvent(DWORD) {
  g_stop = true;
  return TRUE;
}

std::string WinsockError(int code) {
  char text[32];
  std::snprintf(text, sizeof text, "Winsock error %d", code);
  return text;
}
}  // namespace

TLogListener::~TLogListener() {
  if (socket_ != -1) closesocket(SOCKET(socket_));
}

bool TLogListener::ParseAddress(const char* text, uint32_t& address) {
  in_addr a{};
  if (!EnsureWinsock() || inet_pton(AF_INET, text, &a) != 1) return false;
  address = a.s_addr;
  return true;
}

std::string TLogListener::AddressText(uint32_t address) {
  in_addr a{};
  a.s_addr = address;
  char text[INET_ADDRSTRLEN] = "?";
  if (EnsureWinsock()) inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

bool TLogListener::Open(uint32_t address, int port, std::string& error) {
  if (!EnsureWinsock()) {
    error = "Winsock did not start";
    return false;
  }
  const SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET) {
    error = WinsockError(WSAGetLastError());
    return false;
  }
  socket_ = intptr_t(s);
  const BOOL on = TRUE;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
  const DWORD waitMs = 500;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&waitMs), sizeof waitMs);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = address;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    error = WinsockError(WSAGetLastError());
    return false;
  }
  return true;
}

// A datagram larger than buf arrives cut (WSAEMSGSIZE) and is handed on as such, as the
// Linux receive does.
long TLogListener::Receive(uint8_t* buf, size_t size) {
  const int n = recv(SOCKET(socket_), reinterpret_cast<char*>(buf), int(size), 0);
  if (n >= 0) return n;
  return WSAGetLastError() == WSAEMSGSIZE ? long(size) : -1;
}

void TLogListener::CatchStop() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

bool TLogListener::Stopping() { return g_stop; }
