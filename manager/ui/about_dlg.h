// TfrmAboutDlg: version line, maker lines and the web link.
#pragma once
#include "manager/ui/base_dlg.h"

class QLabel;

class TfrmAboutDlg : public TfrmBaseDlg {
  Q_OBJECT
 public:
  explicit TfrmAboutDlg(QWidget* parent = nullptr);

  QLabel* lbVersion = nullptr;
  QLabel* lbLink = nullptr;  // its text is the address without "https://"

  static constexpr const char* kWebAddress = "www.zelcloud.example";
};
