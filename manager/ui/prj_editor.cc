// TfrmNetPrjEditor: the device number with its check digit, the password, the display name
// (character rule, uniqueness), the login server, the write option and UseGroup of one
// project. The main window creates the editor once and reuses it, so the check boxes that
// are not project fields keep their state between openings.
#include "manager/ui/prj_editor.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "common/config/cfg_file.h"
#include "common/helpers/message_boxes.h"
#include "manager/core/prj_rules.h"

namespace {
QString Q(const std::string& s) { return QString::fromStdString(s); }

QLineEdit* AddEdit(QWidget* owner, QVBoxLayout* layout, const char* name, const char* label) {
  auto* l = new QLabel(label, owner);
  auto* e = new QLineEdit(owner);
  e->setObjectName(name);
  l->setBuddy(e);
  layout->addWidget(l);
  layout->addWidget(e);
  return e;
}

QCheckBox* AddCheck(QWidget* owner, QVBoxLayout* layout, const char* name, const char* caption) {
  auto* c = new QCheckBox(caption, owner);
  c->setObjectName(name);
  layout->addWidget(c);
  return c;
}
}  // namespace

TfrmNetPrjEditor::TfrmNetPrjEditor(TOpcCfgFile& cfg, TMgrFlags& flags, QWidget* parent)
    : TfrmBaseDlg(parent), cfg_(cfg), flags_(flags) {
  setObjectName("frmNetPrjEditor");
  setWindowTitle("ZEL设备编辑器");
  QVBoxLayout* body = Body();
  edtZEL = AddEdit(this, body, "edtZEL", "设备序号(11位数字)");
  LimitTyping(*edtZEL, 11, true);
  edtPass = AddEdit(this, body, "edtPass", "设备密码");
  LimitTyping(*edtPass, 15);
  ShowAsStars(*edtPass);
  edtDispName = AddEdit(this, body, "edtDispName", "设备显示名(也是OPC的变量组名,整个系统中不可重复)");
  LimitTyping(*edtDispName, 15);

  chkDefServer = AddCheck(this, body, "chkDefServer", "使用系统内置的登录服务器");
  grpCustomServer = new QGroupBox("自定义登录服务器", this);
  grpCustomServer->setObjectName("grpCustomServer");
  auto* grp = new QVBoxLayout(grpCustomServer);
  edtServer = new QLineEdit(grpCustomServer);
  edtServer->setObjectName("edtServer");
  grp->addWidget(edtServer);
  lbServerNote = new QLabel("(服务器地址需要以http或https开头)", grpCustomServer);
  lbServerNote->setObjectName("lbServerNote");
  grp->addWidget(lbServerNote);
  grpCustomServer->setEnabled(false);
  body->addWidget(grpCustomServer);

  chkNoRefresh = AddCheck(this, body, "chkNoRefresh", "确认后不自动刷新");
  auto* lbWO = new QLabel("写优化级别:", this);
  cbWO = new QComboBox(this);
  cbWO->setObjectName("cbWO");
  cbWO->addItems({"高[默认值] (合并所有的写)", "低 (只合并相同的写)", "无"});
  cbWO->setCurrentIndex(0);
  lbWO->setBuddy(cbWO);
  auto* wo = new QHBoxLayout;
  wo->addWidget(lbWO);
  wo->addWidget(cbWO, 1);
  body->addLayout(wo);
  chkVarGroup = AddCheck(this, body, "chkVarGroup", "使用设备中的变量组当作OPC的下级变量组");
  Body()->addStrut(380);

  connect(chkDefServer, &QCheckBox::toggled, this, [this] { UpdateServerGroup(); });
  connect(chkNoRefresh, &QCheckBox::toggled, this, [this](bool on) { flags_.NoAutoRefresh = on; });
  edtZEL->installEventFilter(this);
}

void TfrmNetPrjEditor::UpdateServerGroup() { grpCustomServer->setEnabled(!chkDefServer->isChecked()); }

bool TfrmNetPrjEditor::EditProject(TOpcPrj& prj) {
  LoadProject(prj);
  const bool ok = exec() == QDialog::Accepted;
  if (ok) StoreProject();
  prj_ = nullptr;
  return ok;
}

void TfrmNetPrjEditor::LoadProject(TOpcPrj& prj) {
  prj_ = &prj;
  flags_.NoAutoRefresh = chkNoRefresh->isChecked();
  edtServer->setText(Q(prj.CustServer));
  edtZEL->setText(Q(prj.Name));
  edtPass->setText(Q(prj.Password));
  // A write option outside the list shows no item and is kept as it is on OK.
  cbWO->setCurrentIndex(prj.WriteOpt >= 0 && prj.WriteOpt < cbWO->count() ? prj.WriteOpt : -1);
  chkDefServer->setChecked(prj.CustServer.empty());
  chkVarGroup->setChecked(prj.UseGroup != 0);
  UpdateServerGroup();
  if (prj.DispName.empty()) {
    // The last other project: the caller may have put the new project in the list already.
    std::string base = "ZEL";
    for (auto it = cfg_.Prjs.rbegin(); it != cfg_.Prjs.rend(); ++it)
      if (it->get() != &prj) {
        base = (*it)->DispName;
        break;
      }
    prj.DispName = NextDisplayName(base);
  }
  edtDispName->setText(Q(prj.DispName));
}

void TfrmNetPrjEditor::StoreProject() {
  if (!prj_) return;
  if (chkDefServer->isChecked()) edtServer->clear();
  prj_->DispName = edtDispName->text().toStdString();
  prj_->CustServer = edtServer->text().toStdString();
  prj_->Name = edtZEL->text().toStdString();
  prj_->Password = edtPass->text().toStdString();
  if (cbWO->currentIndex() >= 0) prj_->WriteOpt = cbWO->currentIndex();
  prj_->UseGroup = chkVarGroup->isChecked() ? 1 : 0;
}

void TfrmNetPrjEditor::OkClicked() {
  const QString number = edtZEL->text();
  const std::string zel = number.toStdString();
  edtZEL->setFocus();
  if (number.size() != 11) {
    ErrorBox("设备序号应当是11位！");
    return;
  }
  if (!IsValidDeviceNumber(zel)) {
    ErrorBox("设备序号错误！");
    return;
  }
  const std::string disp = edtDispName->text().toStdString();
  if (const std::string msg = CheckDisplayName(disp); !msg.empty()) {
    edtDispName->setFocus();
    ErrorBox(msg);
    return;
  }
  const std::string current = prj_ ? prj_->Name : std::string();
  if (!flags_.AllowDupId && zel != current && cfg_.FindPrj(zel) >= 0) {
    ErrorBox("设备序号(" + zel + ")已经存在，不可重复！");
    return;
  }
  for (const auto& p : cfg_.Prjs)
    if (p.get() != prj_ && p->DispName == disp) {
      edtDispName->setFocus();
      ErrorBox("设备显示名已经被使用，不可重名！");
      return;
    }
  accept();
}

void TfrmNetPrjEditor::showEvent(QShowEvent* event) {
  TfrmBaseDlg::showEvent(event);
  edtZEL->setFocus();
}

bool TfrmNetPrjEditor::eventFilter(QObject* watched, QEvent* event) {
  if (watched == edtZEL && event->type() == QEvent::FocusOut && edtDispName->text().isEmpty() &&
      !edtZEL->text().isEmpty())
    edtDispName->setText("ZEL");
  return TfrmBaseDlg::eventFilter(watched, event);
}
