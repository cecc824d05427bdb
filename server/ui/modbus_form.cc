#include "server/ui/modbus_form.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "server/modbus/modbus_window.h"

TModbusPanel::TModbusPanel(TfrmModbusTCP& modbus, QWidget* parent)
    : QGroupBox("Modbus TCP Server", parent), modbus_(modbus) {
  setObjectName("TfrmModbusTCP");
  setWindowTitle("ZEL Modbus TCP Server");
  st1 = new QLabel(QString::fromStdString(modbus.StartText), this);
  st1->setWordWrap(true);
  stRW = new QLabel(this);
  btnClear = new QPushButton(QString::fromUtf8("计数器清零"), this);
  btnExport = new QPushButton(QString::fromUtf8("导出变量地址表"), this);
  auto* col = new QVBoxLayout(this);
  col->setContentsMargins(6, 4, 6, 6);
  col->setSpacing(4);
  col->addWidget(st1);
  col->addWidget(stRW);
  col->addStretch(1);
  col->addWidget(btnClear);
  col->addWidget(btnExport);
  connect(btnClear, &QPushButton::clicked, this, [this] {
    modbus_.ClearCounters();
    RefreshCounters();
  });
  connect(btnExport, &QPushButton::clicked, this, [this] { AskExport(); });
  Timer1.setInterval(2000);
  connect(&Timer1, &QTimer::timeout, this, [this] { RefreshCounters(); });
  Timer1.start();
  RefreshCounters();
}

void TModbusPanel::RefreshCounters() { stRW->setText(QString::fromStdString(modbus_.CounterText())); }

void TModbusPanel::AskExport() {
  QFileDialog dlg(this);
  dlg.setAcceptMode(QFileDialog::AcceptSave);
  dlg.setDefaultSuffix("htm");
  dlg.setNameFilters({QString::fromUtf8("网页文件(*.htm)"), QString::fromUtf8("CSV文件(*.csv)")});
  dlg.selectFile(QString::fromUtf8("ModbusTCP变量地址表"));
  if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return;
  ExportTo(dlg.selectedFiles().first(), true);
}

bool TModbusPanel::ExportTo(const QString& fileName, bool open) {
  if (!modbus_.Export(fileName.toStdString())) return false;
  if (open) QDesktopServices::openUrl(QUrl::fromLocalFile(fileName));
  return true;
}
