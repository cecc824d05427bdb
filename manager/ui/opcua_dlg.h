// TfrmOpcUA: the OPC UA settings of config.ini, autostart and certificate regeneration.
#pragma once
#include "manager/ui/base_dlg.h"

class QCheckBox;
class QGroupBox;
class QLabel;

class TfrmOpcUA : public TfrmBaseDlg {
  Q_OBJECT
 public:
  explicit TfrmOpcUA(QWidget* parent = nullptr);
  // Edits TSysOP and writes the [OPCUA] section; true when closed with OK.
  bool EditOpcUa();

  // The controls, named as the form names them (objectName too).
  QCheckBox* chkEnable = nullptr;
  QGroupBox* grpUA = nullptr;
  QLineEdit* edtPort = nullptr;
  QCheckBox* chkAutoStart = nullptr;
  QCheckBox* chkClosePass = nullptr;
  QLineEdit* edtPass = nullptr;
  QCheckBox* chkDispAddFolder = nullptr;
  QCheckBox* chkKeepUARun = nullptr;
  QCheckBox* chkUserPass = nullptr;
  QGroupBox* grpUserPass = nullptr;
  QLineEdit* edtUAUser = nullptr;
  QLineEdit* edtUAPass = nullptr;
  QCheckBox* chkPassShow = nullptr;
  QPushButton* btnGenCert = nullptr;
  QLabel* lbTrustNote = nullptr;

  static constexpr const char* kDefaultClosePass = "807295";

 protected:
  // Reads the autostart state and fills the controls from TSysOP.
  void LoadSettings();
  // The checks of "确认", the autostart change and the write of the [OPCUA] section.
  void OkClicked() override;

 private:
  void ApplyClosePass();
  void ApplyAutoStart();
  void GenerateCertificate();

  bool autoStartFound_ = false;  // the server's Run value as found at this opening
};
