// To be written.
#include "manager/ui/opcua_dlg.h"

TfrmOpcUA::TfrmOpcUA(QWidget* parent) : TfrmBaseDlg(parent) {}
bool TfrmOpcUA::EditOpcUa() { return false; }
