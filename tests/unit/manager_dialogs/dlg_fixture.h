// Shared pieces of the manager's dialog tests: the offscreen application, a project list,
// message boxes that only record, and a way to act inside a modal dialog's own loop.
#pragma once
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDialog>
#include <QInputMethodEvent>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/config/cfg_file.h"
#include "common/helpers/message_boxes.h"

// The one QApplication of the test program, on the offscreen platform. It is deleted
// after the last test, before the exit handlers: torn down among them, Qt's own statics
// may be gone already.
inline void EnsureOffscreenApp() {
  struct TAppEnvironment : ::testing::Environment {
    void TearDown() override { app.reset(); }
    std::unique_ptr<QApplication> app;
  };
  static TAppEnvironment* env = [] {
    static int argc = 1;
    static char name[] = "mgr_dialogs_test";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    auto* e = new TAppEnvironment;
    e->app = std::make_unique<QApplication>(argc, argv);
    ::testing::AddGlobalTestEnvironment(e);  // owned by the test framework
    return e;
  }();
  (void)env;
}

// As the first member of a fixture: the application exists before any of its widgets.
struct TOffscreenApp {
  TOffscreenApp() { EnsureOffscreenApp(); }
};

class TTestCfg : public TOpcCfgFile {
 public:
  std::unique_ptr<TOpcPrj> NewPrj() override { return std::make_unique<TOpcPrj>(); }
  TOpcPrj& Add(const std::string& name, const std::string& disp) {
    auto p = NewPrj();
    p->Name = name;
    p->DispName = disp;
    p->Owner = this;
    Prjs.push_back(std::move(p));
    return *Prjs.back();
  }
};

// Installed for the life of the object: boxes are recorded ("E:" or "I:" + text) and
// never block; a question answers no.
class TRecordedBoxes {
 public:
  TRecordedBoxes() {
    auto r = std::make_unique<TRecorder>(texts_);
    previous_ = SetMessageBoxes(std::move(r));
  }
  ~TRecordedBoxes() { SetMessageBoxes(std::move(previous_)); }
  TRecordedBoxes(const TRecordedBoxes&) = delete;
  TRecordedBoxes& operator=(const TRecordedBoxes&) = delete;
  std::vector<std::string>& Texts() { return texts_; }

 private:
  struct TRecorder : TMessageBoxes {
    explicit TRecorder(std::vector<std::string>& t) : texts(t) {}
    void Info(const std::string& text, const std::string&) override { texts.push_back("I:" + text); }
    void Error(const std::string& text, const std::string&) override { texts.push_back("E:" + text); }
    bool AskText(const std::string&, const std::string&, std::string&) override { return false; }
    bool AskYesNo(const std::string&, const std::string&) override { return false; }
    std::vector<std::string>& texts;
  };
  std::vector<std::string> texts_;
  std::unique_ptr<TMessageBoxes> previous_;
};

// Runs `act` once the next modal loop runs (the dialog is shown then); a dialog still
// open afterwards is cancelled, so a failing check never leaves the test waiting.
inline void WhenShown(QDialog& dlg, std::function<void()> act) {
  QTimer::singleShot(0, &dlg, [&dlg, act] {
    act();
    if (dlg.isVisible()) dlg.reject();
  });
}

// Types `text`: ASCII as key presses, anything else committed as an input method does.
inline void TypeText(QWidget* w, const QString& text) {
  for (QChar ch : text) {
    if (ch.unicode() < 0x80) {
      QTest::keyClick(w, ch.toLatin1());
    } else {
      QInputMethodEvent commit;
      commit.setCommitString(ch);
      QCoreApplication::sendEvent(w, &commit);
    }
  }
}

// A click on the box itself: a check box in a layout is wider than its clickable part.
inline void ClickBox(QCheckBox* box) { QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2)); }
