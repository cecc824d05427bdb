// TfrmOpcUA: the OPC UA settings of config.ini, autostart and certificate regeneration.
#pragma once
#include "manager/ui/base_dlg.h"

class TfrmOpcUA : public TfrmBaseDlg {
  Q_OBJECT
 public:
  explicit TfrmOpcUA(QWidget* parent = nullptr);
  // Edits TSysOP and writes the [OPCUA] section; true when closed with OK.
  bool EditOpcUa();
};
