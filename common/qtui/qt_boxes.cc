// The common message boxes as Qt dialogs. Each box belongs to the active window, so that
// it stays in front of the dialog that raised it (the manager's editors are modal).
#include "common/qtui/qt_boxes.h"

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>

namespace {
QString Q(const std::string& s) { return QString::fromStdString(s); }

int ShowBox(QMessageBox::Icon icon, const std::string& text, const std::string& caption,
            QMessageBox::StandardButtons buttons) {
  QMessageBox box(icon, Q(caption), Q(text), buttons, QApplication::activeWindow());
  box.setWindowFlag(Qt::WindowStaysOnTopHint);
  return box.exec();
}
}  // namespace

void TQtBoxes::Info(const std::string& text, const std::string& caption) {
  ShowBox(QMessageBox::Information, text, caption, QMessageBox::Ok);
}

void TQtBoxes::Error(const std::string& text, const std::string& caption) {
  ShowBox(QMessageBox::Critical, text, caption, QMessageBox::Ok);
}

bool TQtBoxes::AskText(const std::string& prompt, const std::string& caption, std::string& value) {
  QInputDialog dlg(QApplication::activeWindow());
  dlg.setWindowTitle(Q(caption));
  dlg.setLabelText(Q(prompt));
  dlg.setTextValue(Q(value));
  dlg.setWindowFlag(Qt::WindowStaysOnTopHint);
  if (dlg.exec() != QDialog::Accepted) return false;
  value = dlg.textValue().toStdString();
  return true;
}

bool TQtBoxes::AskYesNo(const std::string& text, const std::string& caption) {
  return ShowBox(QMessageBox::Question, text, caption, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}
