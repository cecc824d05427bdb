#include "server/ui/server_app.h"

#include <exception>

#include "common/log/server_log.h"

TServerApplication::TServerApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TServerApplication::notify(QObject* receiver, QEvent* event) {
  std::string what;
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    what = e.what();
  } catch (...) {
    what = "unknown exception";
  }
  // The handler runs outside the catch blocks: it may show a modal box and run events.
  if (OnException) {
    try {
      OnException(what);
    } catch (...) {
      LogSys("Exception:" + what);
    }
  } else {
    LogSys("Exception:" + what);
  }
  return false;
}

TServerApplication* TServerApplication::Instance() { return qobject_cast<TServerApplication*>(QCoreApplication::instance()); }
