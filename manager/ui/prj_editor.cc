// To be written.
#include "manager/ui/prj_editor.h"

TfrmNetPrjEditor::TfrmNetPrjEditor(TOpcCfgFile&, TMgrFlags&, QWidget* parent) : TfrmBaseDlg(parent) {}
bool TfrmNetPrjEditor::EditProject(TOpcPrj&) { return false; }
