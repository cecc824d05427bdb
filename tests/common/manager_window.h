// Helpers for tests of the manager's main window: message boxes that record and answer
// from a script, the server registration the start-up check reads, and events pumped
// until a condition holds.
#pragma once
#include <QApplication>
#include <QCoreApplication>
#include <QThread>

#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "common/helpers/message_boxes.h"
#include "common/platform/clock.h"
#include "common/platform/registry.h"

// The application of a test program, offscreen and never destroyed: the input devices
// that synthesized events create must not outlive it at exit.
inline void EnsureLeakedOffscreenApp(const char* program) {
  static int argc = 1;
  static std::string name = program;
  static char* argv[] = {name.data(), nullptr};
  qputenv("QT_QPA_PLATFORM", "offscreen");
  if (!QCoreApplication::instance()) new QApplication(argc, argv);
}

class TScriptedBoxes : public TMessageBoxes {
 public:
  std::vector<std::string> Shown;  // "info:", "error:", "ask:", "text:" + the text
  std::deque<bool> Answers;        // AskYesNo answers in order; No when none is left
  std::string TextAnswer;          // AskText confirms with this unless it is empty
  void Info(const std::string& text, const std::string&) override { Shown.push_back("info:" + text); }
  void Error(const std::string& text, const std::string&) override { Shown.push_back("error:" + text); }
  bool AskText(const std::string& prompt, const std::string&, std::string& value) override {
    Shown.push_back("text:" + prompt);
    if (TextAnswer.empty()) return false;
    value = TextAnswer;
    return true;
  }
  bool AskYesNo(const std::string& text, const std::string&) override {
    Shown.push_back("ask:" + text);
    if (Answers.empty()) return false;
    const bool a = Answers.front();
    Answers.pop_front();
    return a;
  }
};

// Registers `exe` as the server program of the OPC DA ProgID, as the server's own
// registration does (only the entries the manager reads).
inline void RegisterServerProgram(const std::string& exe) {
  const std::string clsid = "{6B1D9A52-3C7E-4F0A-9E21-5A8C0D3F7B11}";
  RegWriteString(TRegRoot::HKCR, "ZelOpcServer3.ZELOPC\\Clsid", "", clsid);
  RegWriteString(TRegRoot::HKCR, "CLSID\\" + clsid + "\\LocalServer32", "", exe);
}

// Runs the event loop until `done` holds or `ms` ran out (a bound for faults only).
inline bool PumpUntil(const std::function<bool()>& done, int ms) {
  const int64_t until = MonotonicMs() + ms;
  while (!done()) {
    if (MonotonicMs() >= until) return false;
    QCoreApplication::processEvents();
    QThread::msleep(10);
  }
  return true;
}
