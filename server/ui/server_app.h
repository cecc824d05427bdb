// The server's Qt application object. Qt's event loop lets no exception pass through it,
// so one that escapes a window event (a button, a menu, a timer, a modal window's loop)
// is caught here and handed to the window's exception path.
#pragma once
#include <QApplication>
#include <functional>
#include <string>

class TServerApplication : public QApplication {
  Q_OBJECT
 public:
  TServerApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;

  // Set by the shell while the window lives; without it the exception is only logged.
  std::function<void(const std::string& what)> OnException;
  // The application object when it is ours, else null.
  static TServerApplication* Instance();
};
