// Screenshots of desktop windows for a person to look at, written to the folder the test
// target names in ZEL_SCREENSHOT_DIR (<build>/screenshots).
#pragma once
#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QSet>
#include <QWidget>

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
