// A very small TCP server on 127.0.0.1 for the HTTP client tests: it answers every
// connection with fixed bytes, or says nothing, or hangs up after the first bytes, and
// keeps what the client sent. One thread; stopped and joined by its destructor.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TTinyServer {
 public:
  enum class TMode {
    Answer,     // read the request (headers and Content-Length body), send the answer
    Silent,     // read whatever comes, never answer, hold the connection open
    HangUp,     // read the first bytes, then close
  };

  explicit TTinyServer(TMode mode, std::string answer = {}) : mode_(mode), answer_(std::move(answer)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 16) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      return;
    port_ = ntohs(a.sin_port);
    if (::pipe(wake_) != 0) return;
    thread_ = std::thread([this] { Run(); });
  }
  ~TTinyServer() {
    stop_ = true;
    if (wake_[1] >= 0) (void)!::write(wake_[1], "x", 1);
    if (thread_.joinable()) thread_.join();
    for (int fd : {fd_, wake_[0], wake_[1]})
      if (fd >= 0) ::close(fd);
  }
  TTinyServer(const TTinyServer&) = delete;
  TTinyServer& operator=(const TTinyServer&) = delete;

  uint16_t Port() const { return port_; }
  // What the client of the latest connection sent.
  std::string Received() const {
    std::lock_guard lock(mu_);
    return received_;
  }
  int Connections() const { return connections_.load(); }

 private:
  void Run() {
    std::vector<int> held;  // Silent connections stay open until the end
    while (!stop_) {
      pollfd p[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      if (::poll(p, 2, 1000) <= 0 || stop_) continue;
      if (!(p[0].revents & POLLIN)) continue;
      int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      ++connections_;
      std::string got = Receive(c);
      {
        std::lock_guard lock(mu_);
        received_ = got;
      }
      if (mode_ == TMode::Answer) {
        size_t done = 0;
        while (done < answer_.size()) {
          ssize_t n = ::send(c, answer_.data() + done, answer_.size() - done, MSG_NOSIGNAL);
          if (n <= 0) break;
          done += size_t(n);
        }
      }
      if (mode_ == TMode::Silent) {
        held.push_back(c);
      } else {
        ::shutdown(c, SHUT_RDWR);
        ::close(c);
      }
    }
    for (int c : held) ::close(c);
  }

  // Reads until the request is complete (Answer) or the first bytes came (others); at
  // most two seconds of silence are waited for.
  std::string Receive(int c) {
    std::string got;
    char buf[4096];
    for (;;) {
      pollfd p[2] = {{c, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      if (::poll(p, 2, 2000) <= 0 || stop_ || !(p[0].revents & (POLLIN | POLLHUP))) break;
      ssize_t n = ::recv(c, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, size_t(n));
      if (mode_ != TMode::Answer) break;
      size_t end = got.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      size_t need = end + 4 + ContentLength(got.substr(0, end));
      if (got.size() >= need) break;
    }
    return got;
  }

  static size_t ContentLength(const std::string& head) {
    std::string lower;
    for (char ch : head) lower += char(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch);
    size_t p = lower.find("\r\ncontent-length:");
    return p == std::string::npos ? 0 : std::strtoul(head.c_str() + p + 17, nullptr, 10);
  }

  const TMode mode_;
  const std::string answer_;
  int fd_ = -1;
  int wake_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  mutable std::mutex mu_;
  std::string received_;  // guarded by mu_
  std::thread thread_;
};
