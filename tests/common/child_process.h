// Starts a program of ours as a child process for integration tests and stops it by its
// own handle (never by name). Output goes to a file the test can read.
#pragma once
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

class TChildProcess {
 public:
  TChildProcess() = default;
  ~TChildProcess() { Kill(); }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  // env: extra "NAME=value" entries on top of the test's own environment.
  bool Start(const std::string& program, const std::vector<std::string>& args,
             const std::vector<std::string>& env = {}, const std::string& outFile = "/dev/null") {
    std::vector<std::string> argStore{program};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore(env);
    for (char** e = environ; *e; ++e) envStore.emplace_back(*e);  // earlier entries win
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    int rc = posix_spawn(&pid_, program.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    outFile_ = outFile;
    if (rc != 0) pid_ = -1;
    return rc == 0;
  }

  // Waits up to `ms` for the child to end; true with its exit code when it did. usage,
  // when given, receives the child's resource use (its peak resident size among it).
  bool Wait(int ms, int* exitCode = nullptr, struct rusage* usage = nullptr) {
    if (pid_ < 0) return finished_;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      int st = 0;
      pid_t r = wait4(pid_, &st, WNOHANG, usage);
      if (r == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        pid_ = -1;
        finished_ = true;
        break;
      }
      if (std::chrono::steady_clock::now() >= until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (exitCode) *exitCode = status_;
    return true;
  }
  bool Running() { return pid_ > 0 && !Wait(0); }
  void Signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
  }
  // SIGTERM, then SIGKILL after a grace time.
  void Kill(int graceMs = 3000) {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    if (!Wait(graceMs)) {
      kill(pid_, SIGKILL);
      Wait(5000);
    }
  }
  pid_t pid() const { return pid_; }
  std::string Output() const {
    std::ifstream in(outFile_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  bool finished_ = false;
  std::string outFile_;
};
