// TfrmNetPrjEditor: the modal editor of one project (one remote device).
#pragma once
#include "manager/core/mgr_flags.h"
#include "manager/ui/base_dlg.h"

class TOpcCfgFile;
class TOpcPrj;

class TfrmNetPrjEditor : public TfrmBaseDlg {
  Q_OBJECT
 public:
  // `cfg` is the project list the checks compare against; `flags` the manager's switches.
  TfrmNetPrjEditor(TOpcCfgFile& cfg, TMgrFlags& flags, QWidget* parent = nullptr);
  // True when the user confirmed and `prj` was updated.
  bool EditProject(TOpcPrj& prj);
};
