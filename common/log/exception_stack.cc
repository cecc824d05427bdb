#include "common/log/exception_stack.h"

#include <dlfcn.h>
#include <execinfo.h>

#include <cstdio>
#include <typeinfo>

namespace {
constexpr int kMaxFrames = 48;
thread_local void* t_frames[kMaxFrames];
thread_local int t_count = 0;

using TThrowFn = void (*)(void*, std::type_info*, void (*)(void*));
TThrowFn RealThrow() {
  static TThrowFn fn = reinterpret_cast<TThrowFn>(dlsym(RTLD_NEXT, "__cxa_throw"));
  return fn;
}
}  // namespace

// Our definition takes the place of the runtime's for every throw in the process; it
// records the stack and passes on to the real one.
extern "C" [[noreturn]] void __cxa_throw(void* obj, std::type_info* type, void (*dtor)(void*)) {
  t_count = backtrace(t_frames, kMaxFrames);
  RealThrow()(obj, type, dtor);
  __builtin_unreachable();
}

std::string LastExceptionStack() {
  std::string out;
  // Frame 0 is the wrapper itself.
  for (int i = 1; i < t_count; ++i) {
    Dl_info info{};
    char line[512];
    if (dladdr(t_frames[i], &info) && info.dli_fname) {
      const char* mod = info.dli_fname;
      for (const char* p = info.dli_fname; *p; ++p)
        if (*p == '/') mod = p + 1;
      std::snprintf(line, sizeof line, "%s+0x%zx (%p)\n", mod,
                    size_t(static_cast<char*>(t_frames[i]) - static_cast<char*>(info.dli_fbase)), t_frames[i]);
    } else {
      std::snprintf(line, sizeof line, "?? (%p)\n", t_frames[i]);
    }
    out += line;
  }
  return out;
}

void EnableExceptionStackTracking() { (void)RealThrow(); }
