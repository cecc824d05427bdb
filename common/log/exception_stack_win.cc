// Where the most recent exception was thrown, on Windows: a C++ throw of mingw-w64 is a
// structured exception (RaiseException), so a vectored handler sees it first and records
// the stack of the throwing thread before any unwinding; it never handles it.
#include <windows.h>

#include <cstdio>

#include "common/log/exception_stack.h"
#include "common/platform/win_text.h"

namespace {
constexpr int kMaxFrames = 48;
thread_local void* t_frames[kMaxFrames];
thread_local int t_count = 0;
constexpr DWORD kGccException = 0x20474343;  // "GCC": the code of a C++ throw

LONG CALLBACK RecordThrow(EXCEPTION_POINTERS* info) {
  if (info && info->ExceptionRecord && info->ExceptionRecord->ExceptionCode == kGccException)
    t_count = RtlCaptureStackBackTrace(1, kMaxFrames, t_frames, nullptr);
  return EXCEPTION_CONTINUE_SEARCH;
}
}  // namespace

std::string LastExceptionStack() {
  std::string out;
  for (int i = 0; i < t_count; ++i) {
    char line[512];
    HMODULE module = nullptr;
    wchar_t path[MAX_PATH] = {};
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           static_cast<LPCWSTR>(t_frames[i]), &module) &&
        GetModuleFileNameW(module, path, MAX_PATH)) {
      std::string mod = NarrowText(path);
      mod = mod.substr(mod.find_last_of("\\/") + 1);
      std::snprintf(line, sizeof line, "%s+0x%zx (%p)\n", mod.c_str(),
                    size_t(static_cast<char*>(t_frames[i]) - reinterpret_cast<char*>(module)), t_frames[i]);
    } else {
      std::snprintf(line, sizeof line, "?? (%p)\n", t_frames[i]);
    }
    out += line;
  }
  return out;
}

void EnableExceptionStackTracking() {
  static const PVOID handler = AddVectoredExceptionHandler(1, RecordThrow);
  (void)handler;
}
