// The Modbus window's display (`TfrmModbusTCP`, window part): the group box in the main
// window's right panel with the start or failure text, the request counters refreshed
// every 2 s, "计数器清零" and "导出变量地址表". The logic is TfrmModbusTCP in server/modbus.
#pragma once
#include <QGroupBox>
#include <QTimer>

class QLabel;
class QPushButton;
class TfrmModbusTCP;

class TModbusPanel : public QGroupBox {
  Q_OBJECT
 public:
  TModbusPanel(TfrmModbusTCP& modbus, QWidget* parent = nullptr);
  void RefreshCounters();
  // Writes the address table to `fileName` and opens it with the desktop's handler.
  bool ExportTo(const QString& fileName, bool open);

  QLabel* st1;
  QLabel* stRW;
  QPushButton* btnClear;
  QPushButton* btnExport;
  QTimer Timer1;

 private:
  void AskExport();
  TfrmModbusTCP& modbus_;
};
