// The named mutex as the kernel object of Windows: the first CreateMutex of a name owns
// it; the system releases it when the process ends.
#include <windows.h>

#include "common/platform/named_mutex.h"
#include "common/platform/win_text.h"

TNamedMutex::~TNamedMutex() {
  if (handle_) CloseHandle(static_cast<HANDLE>(handle_));
}

bool TNamedMutex::Acquire(const std::string& name) {
  if (handle_) return true;
  HANDLE h = CreateMutexW(nullptr, TRUE, WideText(name).c_str());
  if (!h) return false;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(h);
    return false;
  }
  handle_ = h;
  return true;
}

bool NamedMutexHeld(const std::string& name) {
  HANDLE h = OpenMutexW(SYNCHRONIZE, FALSE, WideText(name).c_str());
  if (!h) return false;
  CloseHandle(h);
  return true;
}
