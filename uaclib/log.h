// Log lines of the library go to the callback given to uaInitLib (none: no logging).
#ifndef UACLIB_LOG_H
#define UACLIB_LOG_H

#include <cstdio>  // defines the format dialect macro on mingw

#include "uaclib/uaclib.h"

// mingw's "printf" format checks the C runtime's dialect, which lacks %zu; the library
// formats with mingw's own printf, so its dialect is the one to check.
#ifdef __MINGW_PRINTF_FORMAT
#define UACLIB_PRINTF_FORMAT __MINGW_PRINTF_FORMAT
#else
#define UACLIB_PRINTF_FORMAT printf
#endif

namespace uaclib {

// Categories of the log callback.
enum LogCategory { kLogNetwork = 0, kLogChannel = 1, kLogSession = 2, kLogServer = 3,
                   kLogClient = 4, kLogUser = 5, kLogSecurity = 6, kLogOther = 7 };

// Installs the process-wide log callback (uaInitLib); nullptr turns logging off.
void SetLogCallback(uasLogFun fn);
// Levels 0 trace, 1 debug, 2 info, 3 warning, 4 error, 5 fatal.
void Log(int category, int level, const char* format, ...) __attribute__((format(UACLIB_PRINTF_FORMAT, 3, 4)));

}  // namespace uaclib
#endif
