// TfrmOpcUA: whether the server offers OPC UA, its port, the close password, the folder
// prefix of display names, the OPC UA user, start at logon, and a new certificate. OK
// writes the [OPCUA] section of config.ini at once; the main window then stops the
// server, which starts again with the new settings.
#include "manager/ui/opcua_dlg.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "common/cert/self_cert.h"
#include "common/config/app_paths.h"
#include "common/helpers/message_boxes.h"
#include "common/platform/ini_file.h"
#include "common/platform/paths.h"
#include "common/platform/text.h"
#include "common/settings/sys_config.h"
#include "manager/core/autostart.h"

namespace {
QString Q(const std::string& s) { return QString::fromStdString(s); }
std::string TrimmedText(const QLineEdit& e) { return Trim(e.text().toStdString()); }

QCheckBox* NewCheck(QWidget* owner, const char* name, const char* caption) {
  auto* c = new QCheckBox(caption, owner);
  c->setObjectName(name);
  return c;
}

QLineEdit* NewEdit(QWidget* owner, const char* name, int maxUnits, bool digitsOnly) {
  auto* e = new QLineEdit(owner);
  e->setObjectName(name);
  LimitTyping(*e, maxUnits, digitsOnly);
  return e;
}

// A caption with a short number field after it.
void AddShortRow(QVBoxLayout* layout, QWidget* caption, QLineEdit* edit) {
  edit->setMaximumWidth(90);
  auto* row = new QHBoxLayout;
  row->addWidget(caption);
  row->addWidget(edit);
  row->addStretch(1);
  layout->addLayout(row);
}

// The port typed: 0 (the server then takes 4866) when it is no number, and also when it
// is beyond the TCP port range, which the server could not listen on.
int32_t PortOf(const std::string& text) {
  const auto v = TryDecimalToInt(text);
  return v && *v >= 0 && *v <= 65535 ? *v : 0;
}

// The [OPCUA] keys the dialog owns; every other line of the file stays as it was. A file
// that exists but cannot be read is not replaced by the few keys known here.
bool WriteOpcUaSection(const std::string& path, int32_t enable, int32_t port) {
  TIniFile ini(path);
  if (!ini.Exists() && FileExists(path)) return false;
  ini.WriteInteger("OPCUA", "Enable", enable);
  ini.WriteInteger("OPCUA", "Port", port);
  ini.WriteInteger("OPCUA", "KeepUARun", TSysOP.KeepUARun);
  ini.WriteInteger("OPCUA", "DispAddFolder", TSysOP.DispAddFolder);
  ini.WriteString("OPCUA", "ClosePass", TSysOP.ClosePass);
  ini.WriteString("OPCUA", "User", TSysOP.User);
  ini.WriteString("OPCUA", "Pass", TSysOP.Pass);
  return ini.Save(path);
}
}  // namespace

TfrmOpcUA::TfrmOpcUA(QWidget* parent) : TfrmBaseDlg(parent) {
  setObjectName("frmOpcUA");
  setWindowTitle("OPCUA 服务器设置");
  QVBoxLayout* body = Body();
  chkEnable = NewCheck(this, "chkEnable", "启用OPCUA服务器");
  body->addWidget(chkEnable);

  grpUA = new QGroupBox(this);
  grpUA->setObjectName("grpUA");
  auto* ua = new QVBoxLayout(grpUA);
  auto* lbPort = new QLabel("网络端口(TCP,默认4866)", grpUA);
  edtPort = NewEdit(grpUA, "edtPort", 5, true);
  lbPort->setBuddy(edtPort);
  AddShortRow(ua, lbPort, edtPort);
  chkAutoStart = NewCheck(grpUA, "chkAutoStart", "开机自启动");
  ua->addWidget(chkAutoStart);
  chkKeepUARun = NewCheck(grpUA, "chkKeepUARun", "始终保持OPCUA服务器运行");
  auto* keepRow = new QHBoxLayout;
  keepRow->addSpacing(20);
  keepRow->addWidget(chkKeepUARun);
  ua->addLayout(keepRow);
  chkClosePass = NewCheck(grpUA, "chkClosePass", "关闭服务器需要输入密码:");
  edtPass = NewEdit(grpUA, "edtPass", 8, true);
  edtPass->setText(kDefaultClosePass);
  AddShortRow(ua, chkClosePass, edtPass);
  chkDispAddFolder = NewCheck(grpUA, "chkDispAddFolder", "给变量显示名添加文件夹前缀");
  ua->addWidget(chkDispAddFolder);
  chkUserPass = NewCheck(grpUA, "chkUserPass", "启用OPCUA用户名/密码");
  ua->addWidget(chkUserPass);
  grpUserPass = new QGroupBox(grpUA);
  grpUserPass->setObjectName("grpUserPass");
  auto* up = new QGridLayout(grpUserPass);
  edtUAUser = NewEdit(grpUserPass, "edtUAUser", 100, false);
  edtUAPass = NewEdit(grpUserPass, "edtUAPass", 100, false);
  ShowAsStars(*edtUAPass);
  chkPassShow = NewCheck(grpUserPass, "chkPassShow", "显示");
  auto* lbUser = new QLabel("用户名", grpUserPass);
  auto* lbPass = new QLabel("密码", grpUserPass);
  lbUser->setBuddy(edtUAUser);
  lbPass->setBuddy(edtUAPass);
  up->addWidget(lbUser, 0, 0);
  up->addWidget(edtUAUser, 0, 1);
  up->addWidget(lbPass, 1, 0);
  up->addWidget(edtUAPass, 1, 1);
  up->addWidget(chkPassShow, 1, 2);
  ua->addWidget(grpUserPass);
  body->addWidget(grpUA);

  btnGenCert = new QPushButton("重新生成SSL证书", this);
  btnGenCert->setObjectName("btnGenCert");
  auto* certRow = new QHBoxLayout;
  certRow->addWidget(btnGenCert);
  certRow->addStretch(1);
  body->addLayout(certRow);
  lbTrustNote = new QLabel(
      "客户端证书：被拒绝的证书存于数据目录的 cert/rejected，"
      "移入 cert/trust 后即被信任（无需重启）。",
      this);
  lbTrustNote->setObjectName("lbTrustNote");
  lbTrustNote->setWordWrap(true);
  body->addWidget(lbTrustNote);
  Body()->addStrut(460);

  connect(chkEnable, &QCheckBox::toggled, grpUA, &QWidget::setVisible);
  connect(chkClosePass, &QCheckBox::toggled, this, [this] { ApplyClosePass(); });
  connect(chkAutoStart, &QCheckBox::toggled, this, [this] { ApplyAutoStart(); });
  connect(chkUserPass, &QCheckBox::toggled, grpUserPass, &QWidget::setVisible);
  connect(chkPassShow, &QCheckBox::toggled, this, [this](bool on) {
    edtUAPass->setEchoMode(on ? QLineEdit::Normal : QLineEdit::Password);
  });
  connect(btnGenCert, &QPushButton::clicked, this, [this] { GenerateCertificate(); });
}

void TfrmOpcUA::ApplyClosePass() {
  edtPass->setVisible(chkClosePass->isChecked());
  if (chkClosePass->isChecked() && edtPass->text().isEmpty()) edtPass->setText(kDefaultClosePass);
}

void TfrmOpcUA::ApplyAutoStart() {
  chkKeepUARun->setEnabled(chkAutoStart->isChecked());
  if (!chkAutoStart->isChecked()) chkKeepUARun->setChecked(false);
}

bool TfrmOpcUA::EditOpcUa() {
  LoadSettings();
  return exec() == QDialog::Accepted;
}

void TfrmOpcUA::LoadSettings() {
  autoStartFound_ = IsAutoStartSet();
  if (!autoStartFound_) TSysOP.KeepUARun = 0;
  if (TSysOP.Port == 0) TSysOP.Port = 4866;
  chkAutoStart->setChecked(autoStartFound_);
  chkKeepUARun->setChecked(TSysOP.KeepUARun != 0);
  edtPort->setText(QString::number(TSysOP.Port));
  chkEnable->setChecked(TSysOP.Enable != 0);
  chkDispAddFolder->setChecked(TSysOP.DispAddFolder != 0);
  edtPass->setText(Q(TSysOP.ClosePass));
  chkClosePass->setChecked(!TSysOP.ClosePass.empty());
  ApplyClosePass();
  grpUA->setVisible(chkEnable->isChecked());
  ApplyAutoStart();
  edtUAPass->setText(Q(TSysOP.Pass));
  edtUAUser->setText(Q(TSysOP.User));
  chkUserPass->setChecked(!TSysOP.User.empty());
  chkPassShow->setChecked(false);
  edtUAPass->setEchoMode(QLineEdit::Password);
  grpUserPass->setVisible(chkUserPass->isChecked());
}

void TfrmOpcUA::OkClicked() {
  edtUAPass->setText(Q(TrimmedText(*edtUAPass)));
  edtUAUser->setText(Q(TrimmedText(*edtUAUser)));
  if (chkUserPass->isChecked() && edtUAUser->text().isEmpty()) {
    ErrorBox("启用了OPCUA用户名/密码，需要输入用户名!\n如果不使用该功能，请不要启用");
    chkUserPass->setChecked(false);
    return;
  }
  if (!chkUserPass->isChecked()) {
    edtUAUser->clear();
    edtUAPass->clear();
  }
  const bool enabled = chkEnable->isChecked();
  const int32_t port = PortOf(edtPort->text().toStdString());
  if (!enabled) chkAutoStart->setChecked(false);
  if (!chkAutoStart->isChecked()) chkKeepUARun->setChecked(false);
  if (chkAutoStart->isChecked() != autoStartFound_ || chkKeepUARun->isChecked() != (TSysOP.KeepUARun != 0)) {
    if (!SetAutoStart(chkAutoStart->isChecked(), chkKeepUARun->isChecked())) {
      ErrorBox(std::string("无法设置开机自启动注册表项!") + "\n请用管理员权限重新运行本程序");
      reject();
      return;
    }
  }
  if (enabled) {
    TSysOP.ClosePass = chkClosePass->isChecked() ? TrimmedText(*edtPass) : std::string();
    TSysOP.DispAddFolder = chkDispAddFolder->isChecked() ? 1 : 0;
  }
  TSysOP.KeepUARun = chkKeepUARun->isChecked() ? 1 : 0;
  TSysOP.User = edtUAUser->text().toStdString();
  TSysOP.Pass = edtUAPass->text().toStdString();
  if (!WriteOpcUaSection(g_CfgFileName, enabled ? 1 : 0, port)) {
    ErrorBox("无法保存配置文件:\n" + g_CfgFileName + "\n请用管理员权限重新运行本程序");
    reject();
    return;
  }
  TSysOP.Enable = enabled ? 1 : 0;
  TSysOP.Port = port;
  accept();
}

void TfrmOpcUA::GenerateCertificate() {
  const std::string result = CreateSelfCertificate();
  if (result.empty()) InfoBox("证书成功生成");
  else ErrorBox(result);
}
