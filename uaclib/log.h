// Log lines of the library go to the callback given to uaInitLib (none: no logging).
#ifndef UACLIB_LOG_H
#define UACLIB_LOG_H

#include "uaclib/uaclib.h"

namespace uaclib {

// Categories of the log callback.
enum LogCategory { kLogNetwork = 0, kLogChannel = 1, kLogSession = 2, kLogServer = 3,
                   kLogClient = 4, kLogUser = 5, kLogSecurity = 6, kLogOther = 7 };

// Installs the process-wide log callback (uaInitLib); nullptr turns logging off.
void SetLogCallback(uasLogFun fn);
// Levels 0 trace, 1 debug, 2 info, 3 warning, 4 error, 5 fatal.
void Log(int category, int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

}  // namespace uaclib
#endif
