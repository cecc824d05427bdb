// Screenshots of the desktop windows under Xvfb with the CJK font, written to
// <build>/screenshots for a person to look at; the test checks they were made and are
// not blank.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QSet>

#include "common/config/app_paths.h"
#include "server/core/command_line.h"
#include "server/runtime/zel_main.h"
#include "server/ui/qt_shell.h"
#include "tests/common/test_env.h"

#ifndef ZEL_SCREENSHOT_DIR
#define ZEL_SCREENSHOT_DIR "screenshots"
#endif

namespace {
struct TFakeUa : TUaServerHost {
  bool Start() override { return true; }
  void RunStep() override {}
  int ClientCount() override { return 1; }
  int Port() const override { return 48400; }
};

// Saves the widget's picture; true when it holds more than a few colours (text drawn).
bool Shoot(QWidget& w, const char* name) {
  for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();
  const QImage img = w.grab().toImage();
  QDir().mkpath(ZEL_SCREENSHOT_DIR);
  if (!img.save(QString(ZEL_SCREENSHOT_DIR) + "/" + name)) return false;
  QSet<QRgb> colours;
  for (int y = 0; y < img.height(); y += 2)
    for (int x = 0; x < img.width(); x += 2) colours.insert(img.pixel(x, y));
  return colours.size() > 8;
}
}  // namespace

TEST(Screenshot, MainWindow) {
  int argc = 1;
  char name[] = "screenshot_test";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  TTempDir dir;
  TScopedEnv root("ZELOPC_DATA_ROOT", dir.path());
  TScopedEnv runtime("XDG_RUNTIME_DIR", dir.path());
  ResetAppPathsForTest();
  InitAppPaths();
  g_KeepRunning = true;
  TZelMain main;
  TfrmOpcServer3Main form;
  TQtShell shell(form);
  TMainWindow w(main, shell);
  w.Create(std::make_unique<TFakeUa>(), true);
  form.ApplyCreate(w.Lang, true);
  w.ClientCountTick();
  w.ScheduleClose(10);
  form.show();
  EXPECT_TRUE(Shoot(form, "main_window.png"));
  ResetAppPathsForTest();
}
