// The one application object of a test program, the server's own, on the offscreen
// platform.
#pragma once
#include "server/ui/server_app.h"

inline void EnsureOffscreenApp() {
  static int argc = 1;
  static char name[] = "ui_test";
  static char* argv[] = {name, nullptr};
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static TServerApplication app(argc, argv);
}
