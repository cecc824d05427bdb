// The manager's base dialog: centred, "确认" (default, no result of its own) and "取消".
#pragma once
#include <QDialog>

class QLineEdit;
class QPushButton;
class QVBoxLayout;

class TfrmBaseDlg : public QDialog {
  Q_OBJECT
 public:
  explicit TfrmBaseDlg(QWidget* parent = nullptr);

 protected:
  // Called when "确认" is clicked; the derived dialog calls accept() when its checks pass.
  virtual void OkClicked() { accept(); }
  // The derived dialog's controls go here. The dialog's fixed size follows the size hint,
  // which setMinimumWidth does not change: a wider dialog takes Body()->addStrut(width).
  QVBoxLayout* Body() const { return body_; }
  QPushButton* BtnOk() const { return btnOk_; }
  QPushButton* BtnCancel() const { return btnCancel_; }
  // Centres the dialog on its screen each time it is shown.
  void showEvent(QShowEvent* event) override;

 private:
  QVBoxLayout* body_ = nullptr;
  QPushButton* btnOk_ = nullptr;
  QPushButton* btnCancel_ = nullptr;
};

// The style of the manager's password edits: the typed characters show as '*'.
void ShowAsStars(QLineEdit& edit);
// Limits what the user types into `edit` to `maxUnits` UTF-16 units without control
// characters (and to decimal digits when asked). Unlike QLineEdit::setMaxLength, a longer text put in by the program stays
// whole, so a stored value longer than the typing limit survives an unchanged confirm.
void LimitTyping(QLineEdit& edit, int maxUnits, bool digitsOnly = false);
