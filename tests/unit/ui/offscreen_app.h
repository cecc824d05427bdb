// The one QApplication of a test program, on the offscreen platform.
#pragma once
#include <QApplication>

inline void EnsureOffscreenApp() {
  static int argc = 1;
  static char name[] = "ui_test";
  static char* argv[] = {name, nullptr};
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static QApplication app(argc, argv);
}
