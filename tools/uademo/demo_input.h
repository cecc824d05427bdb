// The platform part of uademo: its stdout, stop signals and the wait for a command on stdin
// beside the server's wait information. demo_input.cc polls stdin and the server's
// descriptor together; demo_input_win.cc reads stdin on a thread of its own, since
// Windows cannot poll a pipe together with sockets.
#pragma once
#include <memory>
#include <string>

// stdout goes out line by line (the driver waits for each line); SIGTERM and SIGINT call
// `onSignal`; a client gone while we write is no signal.
void PrepareProcess(void (*onSignal)(int));

class TDemoInput {
 public:
  // readStdin false: Wait only waits, and input never ends.
  explicit TDemoInput(bool readStdin);
  ~TDemoInput();
  TDemoInput(const TDemoInput&) = delete;
  TDemoInput& operator=(const TDemoInput&) = delete;

  // Waits until stdin has input, `serverFd` (when >= 0) is readable or `timeoutMs`
  // (< 0: no limit) has passed, and appends what stdin gave to `pending`. False once
  // stdin has ended (or failed) and everything it gave was handed out.
  bool Wait(int serverFd, int timeoutMs, std::string& pending);

 private:
  struct TState;
  std::shared_ptr<TState> state_;
};
