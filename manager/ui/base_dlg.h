// The manager's base dialog: centred, "确认" (default, no result of its own) and "取消".
#pragma once
#include <QDialog>

class QPushButton;
class QVBoxLayout;

class TfrmBaseDlg : public QDialog {
  Q_OBJECT
 public:
  explicit TfrmBaseDlg(QWidget* parent = nullptr);

 protected:
  // Called when "确认" is clicked; the derived dialog calls accept() when its checks pass.
  virtual void OkClicked() { accept(); }
  QVBoxLayout* Body() const { return body_; }  // the derived dialog's controls go here
  QPushButton* BtnOk() const { return btnOk_; }
  QPushButton* BtnCancel() const { return btnCancel_; }

 private:
  QVBoxLayout* body_ = nullptr;
  QPushButton* btnOk_ = nullptr;
  QPushButton* btnCancel_ = nullptr;
};
