// Winsock is started once per process, on first use, and stays up until the process ends
// (Windows build only).
#pragma once
#include <winsock2.h>

inline bool EnsureWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}
