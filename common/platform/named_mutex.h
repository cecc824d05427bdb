// A process-wide named mutex: an exclusive flock on <runtime dir>/<name>.lock, held for
// as long as the object lives (the kernel releases it when the process ends, even after
// a crash, so a stale file never blocks a new start).
#pragma once
#include <string>

class TNamedMutex {
 public:
  TNamedMutex() = default;
  ~TNamedMutex();
  TNamedMutex(const TNamedMutex&) = delete;
  TNamedMutex& operator=(const TNamedMutex&) = delete;

  // True when this process now owns the mutex; false when another process holds it.
  [[nodiscard]] bool Acquire(const std::string& name);
  bool Owned() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// True when some process holds the named mutex (the "open succeeds" test).
[[nodiscard]] bool NamedMutexHeld(const std::string& name);
