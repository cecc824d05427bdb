// A process-wide named mutex, held for as long as the object lives: on Linux an exclusive
// flock on <runtime dir>/<name>.lock, on Windows the kernel's named mutex. The system
// releases either when the process ends, even after a crash, so nothing stale blocks a
// new start.
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
#ifdef _WIN32
  bool Owned() const { return handle_ != nullptr; }

 private:
  void* handle_ = nullptr;  // HANDLE
#else
  bool Owned() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
#endif
};

// True when some process holds the named mutex (the "open succeeds" test).
[[nodiscard]] bool NamedMutexHeld(const std::string& name);
