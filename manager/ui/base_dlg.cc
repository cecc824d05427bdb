// The manager's base dialog: a fixed-size dialog centred on the screen, the derived
// dialog's controls above two buttons at the lower right.
#include "manager/ui/base_dlg.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QValidator>
#include <QVBoxLayout>

namespace {
class TTypingLimit : public QValidator {
 public:
  TTypingLimit(int maxUnits, bool digitsOnly, QObject* parent)
      : QValidator(parent), max_(maxUnits), digits_(digitsOnly) {}
  State validate(QString& input, int&) const override {
    if (input.size() > max_) return Invalid;
    for (QChar c : input) {
      // A line break pasted into a one-line field would split the INI line it is saved in.
      if (c < u' ') return Invalid;
      if (digits_ && (c < u'0' || c > u'9')) return Invalid;
    }
    return Acceptable;
  }

 private:
  int max_;
  bool digits_;
};
}  // namespace

TfrmBaseDlg::TfrmBaseDlg(QWidget* parent) : QDialog(parent) {
  setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
  auto* outer = new QVBoxLayout(this);
  // The dialog border: the size follows the controls shown, the user cannot change it.
  outer->setSizeConstraint(QLayout::SetFixedSize);
  body_ = new QVBoxLayout;
  outer->addLayout(body_);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  btnOk_ = new QPushButton("确认", this);
  btnOk_->setObjectName("btnOk");
  btnOk_->setDefault(true);
  btnCancel_ = new QPushButton("取消", this);
  btnCancel_->setObjectName("btnCancel");
  buttons->addWidget(btnOk_);
  buttons->addWidget(btnCancel_);
  outer->addLayout(buttons);
  connect(btnOk_, &QPushButton::clicked, this, [this] { OkClicked(); });
  connect(btnCancel_, &QPushButton::clicked, this, &QDialog::reject);
}

void TfrmBaseDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
  if (!s) return;
  adjustSize();
  const QRect area = s->availableGeometry();
  move(area.center() - QPoint(width() / 2, height() / 2));
}

void ShowAsStars(QLineEdit& edit) {
  edit.setEchoMode(QLineEdit::Password);
  edit.setStyleSheet("QLineEdit { lineedit-password-character: 42; }");
}

void LimitTyping(QLineEdit& edit, int maxUnits, bool digitsOnly) {
  edit.setValidator(new TTypingLimit(maxUnits, digitsOnly, &edit));
}
