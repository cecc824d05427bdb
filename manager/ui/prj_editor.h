// TfrmNetPrjEditor: the modal editor of one project (one remote device).
#pragma once
#include "manager/core/mgr_flags.h"
#include "manager/ui/base_dlg.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class TOpcCfgFile;
class TOpcPrj;

class TfrmNetPrjEditor : public TfrmBaseDlg {
  Q_OBJECT
 public:
  // `cfg` is the project list the checks compare against; `flags` the manager's switches.
  TfrmNetPrjEditor(TOpcCfgFile& cfg, TMgrFlags& flags, QWidget* parent = nullptr);
  // True when the user confirmed and `prj` was updated.
  bool EditProject(TOpcPrj& prj);

  // The controls, named as the form names them (objectName too).
  QLineEdit* edtZEL = nullptr;
  QLineEdit* edtPass = nullptr;
  QLineEdit* edtDispName = nullptr;
  QCheckBox* chkDefServer = nullptr;
  QGroupBox* grpCustomServer = nullptr;
  QLabel* lbServerNote = nullptr;
  QLineEdit* edtServer = nullptr;
  QCheckBox* chkNoRefresh = nullptr;
  QComboBox* cbWO = nullptr;
  QCheckBox* chkVarGroup = nullptr;

 protected:
  // Fills the controls from `prj` (storing a display-name suggestion when it has none).
  void LoadProject(TOpcPrj& prj);
  // Copies the controls back into the project being edited.
  void StoreProject();
  // The checks of "确认"; closes with OK only when every check passes.
  void OkClicked() override;
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void UpdateServerGroup();

  TOpcCfgFile& cfg_;
  TMgrFlags& flags_;
  TOpcPrj* prj_ = nullptr;  // the project of the current opening; not owning
};
