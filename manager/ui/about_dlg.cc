// TfrmAboutDlg: the manager's version (from the version compiled in), the maker and the
// web address, opened in the desktop's browser when clicked. Only "确认" is shown, and it
// and Escape close the box.
#include "manager/ui/about_dlg.h"

#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "common/helpers/file_helpers.h"

TfrmAboutDlg::TfrmAboutDlg(QWidget* parent) : TfrmBaseDlg(parent) {
  setObjectName("frmAboutDlg");
  setWindowTitle("关于 ZEL OPC 管理器");
  QVBoxLayout* body = Body();
  lbVersion = new QLabel(QString("ZEL OPC 管理器 (版本x.y.z.kkk)")
                             .replace("x.y.z.kkk", QString::fromStdString(FileVersionText())),
                         this);
  lbVersion->setObjectName("lbVersion");
  lbVersion->setAlignment(Qt::AlignCenter);
  QFont big = lbVersion->font();
  big.setPointSizeF(big.pointSizeF() * 1.3);
  big.setBold(true);
  lbVersion->setFont(big);
  body->addWidget(lbVersion);
  body->addSpacing(8);
  for (const char* line : {"Tarnwell 工业物联网", "版权所有 (C) Tarnwell"}) {
    auto* l = new QLabel(line, this);
    l->setAlignment(Qt::AlignCenter);
    body->addWidget(l);
  }
  lbLink = new QLabel(this);
  lbLink->setObjectName("lbLink");
  lbLink->setAlignment(Qt::AlignCenter);
  lbLink->setText(QString("<a href=\"https://%1\">%1</a>").arg(kWebAddress));
  lbLink->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  connect(lbLink, &QLabel::linkActivated, this, [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); });
  body->addWidget(lbLink);
  body->addSpacing(8);
  Body()->addStrut(320);
  BtnCancel()->hide();
  // Escape closes through reject(); the box has no result of its own either way.
}
