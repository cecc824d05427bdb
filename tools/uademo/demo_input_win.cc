// uademo's wait on Windows: a thread reads stdin (a pipe cannot be waited on together
// with sockets) and hands its bytes over under a lock, setting an event; the main thread
// waits for that event and the server's event handle together.
#include "tools/uademo/demo_input.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <csignal>
#include <cstdio>
#include <mutex>
#include <thread>

void PrepareProcess(void (*onSignal)(int)) {
  // The C runtime has no line buffering (_IOLBF means full buffering there): unbuffered,
  // and binary so that lines end in LF as on Linux.
  _setmode(_fileno(stdout), _O_BINARY);
  setvbuf(stdout, nullptr, _IONBF, 0);
  std::signal(SIGTERM, onSignal);
  std::signal(SIGINT, onSignal);
}

// Shared with the reader thread, which may outlive the object: a blocked ReadFile cannot
// be called off, so the thread is left to end with the process (and so is the event).
struct TDemoInput::TState {
  std::mutex mutex;
  HANDLE arrived = CreateEventW(nullptr, FALSE, FALSE, nullptr);  // auto-reset
  std::string bytes;   // read, not yet handed out
  bool ended = false;  // stdin reached its end or failed
};

TDemoInput::TDemoInput(bool readStdin) : state_(std::make_shared<TState>()) {
  if (!readStdin) return;
  std::thread([s = state_, in = GetStdHandle(STD_INPUT_HANDLE)] {
    char buf[65536];
    DWORD n = 0;
    for (;;) {
      bool ok = in != nullptr && in != INVALID_HANDLE_VALUE && ReadFile(in, buf, sizeof buf, &n, nullptr);
      {
        std::lock_guard lock(s->mutex);
        if (!ok || n == 0)
          s->ended = true;
        else
          s->bytes.append(buf, n);
      }
      SetEvent(s->arrived);
      if (!ok || n == 0) return;
    }
  }).detach();
}

TDemoInput::~TDemoInput() = default;

bool TDemoInput::Wait(int serverFd, int timeoutMs, std::string& pending) {
  // uasGetWaitInfo's fd is an event handle's value on Windows.
  HANDLE handles[2] = {state_->arrived, reinterpret_cast<HANDLE>(intptr_t(serverFd))};
  WaitForMultipleObjects(serverFd >= 0 ? 2 : 1, handles, FALSE, timeoutMs < 0 ? INFINITE : DWORD(timeoutMs));
  std::lock_guard lock(state_->mutex);
  const bool gave = !state_->bytes.empty();
  pending += state_->bytes;
  state_->bytes.clear();
  return gave || !state_->ended;
}
