// To be written.
#include "manager/ui/about_dlg.h"

TfrmAboutDlg::TfrmAboutDlg(QWidget* parent) : TfrmBaseDlg(parent) {}
