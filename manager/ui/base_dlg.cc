// To be written.
#include "manager/ui/base_dlg.h"

TfrmBaseDlg::TfrmBaseDlg(QWidget* parent) : QDialog(parent) {}
