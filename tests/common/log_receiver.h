// A UDP receiver on an ephemeral loopback port for the log datagrams of a child process
// (pass Env() to the child: it sets ZELOPC_LOG_PORT).
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "common/log/log_datagram.h"

class TLogReceiver {
 public:
  TLogReceiver() {
    sock_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(sock_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(sock_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    int size = 8 << 20;
    setsockopt(sock_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  ~TLogReceiver() { close(sock_); }
  TLogReceiver(const TLogReceiver&) = delete;
  TLogReceiver& operator=(const TLogReceiver&) = delete;

  int port() const { return port_; }
  std::string Env() const { return "ZELOPC_LOG_PORT=" + std::to_string(port_); }

  // Next datagram within ms; false on time-out.
  bool Next(TLogDatagram& d, int ms) {
    pollfd p{sock_, POLLIN, 0};
    if (poll(&p, 1, ms) != 1) return false;
    uint8_t buf[65536];
    ssize_t n = recv(sock_, buf, sizeof buf, 0);
    return n > 0 && ParseLogDatagram(buf, size_t(n), d);
  }
  // Waits until a line containing `part` arrives; the line's text, or empty.
  std::string WaitFor(const std::string& part, int ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    TLogDatagram d;
    for (;;) {
      int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count());
      if (left <= 0 || !Next(d, left)) return {};
      if (d.text.find(part) != std::string::npos) return d.text;
    }
  }

 private:
  int sock_ = -1;
  int port_ = 0;
};
