// uademo's wait on Linux: one poll over stdin and the server's descriptor.
#include "tools/uademo/demo_input.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

void PrepareProcess(void (*onSignal)(int)) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  struct sigaction sa{};
  sa.sa_handler = onSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

struct TDemoInput::TState {
  bool readStdin = false;
};

TDemoInput::TDemoInput(bool readStdin) : state_(std::make_shared<TState>()) {
  state_->readStdin = readStdin;
  if (readStdin) fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
}

TDemoInput::~TDemoInput() = default;

bool TDemoInput::Wait(int serverFd, int timeoutMs, std::string& pending) {
  pollfd pfds[2] = {{state_->readStdin ? 0 : -1, POLLIN, 0}, {serverFd, POLLIN, 0}};
  int ready = poll(pfds, 2, timeoutMs);
  if (ready <= 0 || !(pfds[0].revents & (POLLIN | POLLHUP | POLLERR))) return true;
  char buf[65536];
  ssize_t n = read(0, buf, sizeof buf);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return false;  // the driver went away
  if (n > 0) pending.append(buf, static_cast<size_t>(n));
  return true;
}
