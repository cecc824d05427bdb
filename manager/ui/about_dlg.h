// TfrmAboutDlg: version line, maker lines and the web link.
#pragma once
#include "manager/ui/base_dlg.h"

class TfrmAboutDlg : public TfrmBaseDlg {
  Q_OBJECT
 public:
  explicit TfrmAboutDlg(QWidget* parent = nullptr);
};
