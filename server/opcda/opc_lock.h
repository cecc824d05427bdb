// The re-entrant lock of the OPC objects (server list, server, group): a critical
// section on Windows, a recursive mutex elsewhere, with a scope guard.
#pragma once
#include "com/com.h"

#ifdef _WIN32
class TOpcLock {
 public:
  TOpcLock() { InitializeCriticalSection(&cs_); }
  ~TOpcLock() { DeleteCriticalSection(&cs_); }
  TOpcLock(const TOpcLock&) = delete;
  TOpcLock& operator=(const TOpcLock&) = delete;
  void lock() { EnterCriticalSection(&cs_); }
  void unlock() { LeaveCriticalSection(&cs_); }

 private:
  CRITICAL_SECTION cs_;
};
#else
#include <mutex>
class TOpcLock {
 public:
  void lock() { m_.lock(); }
  void unlock() { m_.unlock(); }

 private:
  std::recursive_mutex m_;
};
#endif

class TOpcGuard {
 public:
  explicit TOpcGuard(TOpcLock& l) : l_(l) { l_.lock(); }
  ~TOpcGuard() { l_.unlock(); }
  TOpcGuard(const TOpcGuard&) = delete;
  TOpcGuard& operator=(const TOpcGuard&) = delete;

 private:
  TOpcLock& l_;
};
