// Screenshots of desktop windows for a person to look at, written to the folder the test
// target names in ZEL_SCREENSHOT_DIR (<build>/screenshots).
#pragma once
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QSet>
#include <QWidget>

#include <string>

#include "tests/common/test_env.h"

#ifndef ZEL_SCREENSHOT_DIR
#define ZEL_SCREENSHOT_DIR "screenshots"
#endif

// Saves the widget's picture; true when it holds more than a few colours (text drawn).
inline bool Shoot(QWidget& w, const char* name) {
  for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();
  const QImage img = w.grab().toImage();
  QDir().mkpath(ZEL_SCREENSHOT_DIR);
  if (!img.save(QString(ZEL_SCREENSHOT_DIR) + "/" + name)) return false;
  QSet<QRgb> colours;
  for (int y = 0; y < img.height(); y += 2)
    for (int x = 0; x < img.width(); x += 2) colours.insert(img.pixel(x, y));
  return colours.size() > 8;
}

// What a screenshot case stands on, made first in the case and gone at its end: the
// application (named `program`, as argv[0] would) on the X server the test runs under,
// and a data root of the case's own.
class TScreenshotCase {
  // First member: the application is made before and goes after all else of the case.
  struct TApp {
    explicit TApp(const char* program) : name(program) {}
    std::string name;
    int argc = 1;
    char* argv[2] = {name.data(), nullptr};
    QApplication app{argc, argv};
  } app_;

 public:
  explicit TScreenshotCase(const char* program) : app_(program) {}
  TScreenshotCase(const TScreenshotCase&) = delete;
  TScreenshotCase& operator=(const TScreenshotCase&) = delete;

  TTempDir dir;
  TScopedEnv root{"ZELOPC_DATA_ROOT", dir.path()};
};
