// The log callback of uaInitLib.
#include "uaclib/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace uaclib {

namespace {
// The one process-wide setting of the C API (uaInitLib has no server handle).
std::atomic<uasLogFun> g_log{nullptr};
}  // namespace

void SetLogCallback(uasLogFun fn) { g_log.store(fn); }

void Log(int category, int level, const char* format, ...) {
  uasLogFun fn = g_log.load();
  if (!fn) return;
  char text[512];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  fn(category, level, text);
}

}  // namespace uaclib
