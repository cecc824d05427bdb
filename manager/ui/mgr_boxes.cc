#include "manager/ui/mgr_boxes.h"

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>

namespace {
QString Q(const std::string& s) { return QString::fromStdString(s); }

int Box(QMessageBox::Icon icon, const std::string& text, const std::string& caption,
        QMessageBox::StandardButtons buttons) {
  QMessageBox box(icon, Q(caption), Q(text), buttons, QApplication::activeWindow());
  return box.exec();
}
}  // namespace

void TMgrBoxes::Info(const std::string& text, const std::string& caption) {
  Box(QMessageBox::Information, text, caption, QMessageBox::Ok);
}

void TMgrBoxes::Error(const std::string& text, const std::string& caption) {
  Box(QMessageBox::Critical, text, caption, QMessageBox::Ok);
}

bool TMgrBoxes::AskText(const std::string& prompt, const std::string& caption, std::string& value) {
  bool ok = false;
  const QString v = QInputDialog::getText(QApplication::activeWindow(), Q(caption), Q(prompt), QLineEdit::Normal,
                                          Q(value), &ok);
  if (ok) value = v.toStdString();
  return ok;
}

bool TMgrBoxes::AskYesNo(const std::string& text, const std::string& caption) {
  return Box(QMessageBox::Question, text, caption, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}
