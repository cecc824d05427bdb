// ZelOpcServer3: the gateway process. One instance per machine and user session; it
// starts, then runs until a close request or a signal ends it.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "common/helpers/message_boxes.h"
#include "common/log/exception_stack.h"
#include "common/log/server_log.h"
#include "common/platform/named_mutex.h"
#include "server/core/startup.h"

namespace {
// Waits for SIGTERM or SIGINT; the full main loop replaces this with the runtime.
void RunUntilSignal() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  int sig = 0;
  sigwait(&set, &sig);
  LogSys("ZelOpcServer_V3 Stop!");
}
}  // namespace

int main(int argc, char** argv) {
  // Signals are taken by the main loop, never by a handler on a random thread.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  static TNamedMutex instance;
  if (!instance.Acquire(kServerMutexName)) return 0;  // another instance runs
  EnableExceptionStackTracking();
  SetApplicationTitle("ZelOpcServer");
  try {
    if (!StartServer(argc, argv)) return 0;
    RunUntilSignal();
  } catch (...) {
    // Nothing escapes the start: the process ends quietly, as a failed start must.
    return 0;
  }
  return 0;
}
