#include "manager/ui/main_window.h"

#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QEvent>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

#include "common/cert/self_cert.h"
#include "common/config/app_paths.h"
#include "common/helpers/file_helpers.h"
#include "common/helpers/message_boxes.h"
#include "common/link/data_server.h"
#include "common/log/server_log.h"
#include "common/platform/clock.h"
#include "common/platform/paths.h"
#include "common/settings/sys_config.h"
#include "manager/core/prj_rules.h"
#include "manager/ui/about_dlg.h"
#include "manager/ui/base_dlg.h"
#include "manager/ui/input_box.h"
#include "manager/ui/opcua_dlg.h"
#include "manager/ui/prj_editor.h"

namespace {
QString Q(const std::string& s) { return QString::fromStdString(s); }

constexpr int kRoleImage = Qt::UserRole;
constexpr int kRolePrj = Qt::UserRole + 1;
constexpr int kTrayFrames = 8;

// The image list of the tree, drawn from the style's icons.
QIcon TreeIcon(int image) {
  QStyle* s = QApplication::style();
  switch (image) {
    case imgRoot:
    case imgRoot2: return s->standardIcon(QStyle::SP_ComputerIcon);
    case imgVars: return s->standardIcon(QStyle::SP_FileDialogDetailedView);
    case imgPrjErr: return s->standardIcon(QStyle::SP_MessageBoxCritical);
    default: return s->standardIcon(QStyle::SP_DriveNetIcon);
  }
}

// The server status picture: a lamp with its state written under it.
QPixmap ServerPicture(bool running) {
  QPixmap pm(120, 96);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  const QColor lamp = running ? QColor(40, 170, 60) : QColor(200, 50, 40);
  p.setPen(QPen(lamp.darker(150), 3));
  p.setBrush(lamp);
  p.drawEllipse(QRect(38, 6, 44, 44));
  p.setPen(Qt::black);
  p.drawText(QRect(0, 60, 120, 30), Qt::AlignCenter, running ? "运行中" : "已停止");
  return pm;
}

// The tray icon; the second frame of the animation is the same shape dimmed.
QIcon TrayIcon(bool lit) {
  QPixmap pm(32, 32);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(lit ? QColor(30, 110, 200) : QColor(150, 170, 200));
  p.setPen(Qt::NoPen);
  p.drawRoundedRect(QRect(2, 2, 28, 28), 6, 6);
  p.setPen(Qt::white);
  QFont f = p.font();
  f.setBold(true);
  f.setPixelSize(14);
  p.setFont(f);
  p.drawText(QRect(2, 2, 28, 28), Qt::AlignCenter, "Z");
  return QIcon(pm);
}

// "desc|pattern" as the file dialog's "desc" (it names the pattern itself).
QString QtFilter(const char* filter) { return Q(filter).section('|', 0, 0); }
}  // namespace

TfrmOpcMgr3Main::TfrmOpcMgr3Main(QWidget* parent) : QMainWindow(parent), cfg_(std::make_unique<TOpcCfgMgr>()) {
  setObjectName("TfrmOpcMgr3Main");
  setWindowTitle(kMgrCaption);
  resize(760, 520);
  auto* central = new QWidget(this);
  auto* row = new QHBoxLayout(central);
  PrjTree = new QTreeWidget(central);
  PrjTree->setHeaderHidden(true);
  PrjTree->setEditTriggers(QAbstractItemView::NoEditTriggers);
  PrjTree->setContextMenuPolicy(Qt::CustomContextMenu);
  PrjTree->setIconSize(QSize(16, 16));
  row->addWidget(PrjTree, 1);
  CreateActions();
  CreatePanel();
  row->addWidget(pnlRight);
  setCentralWidget(central);
  CreateMenus();
  CreateTray();
  dlgOpen = new QFileDialog(this, "导入工程配置文件");
  dlgSave = new QFileDialog(this, "导出工程配置文件");
  for (QFileDialog* d : {dlgOpen, dlgSave}) {
    d->setOption(QFileDialog::DontUseNativeDialog);
    d->setNameFilter(QtFilter(kCfgFileFilter));
    d->setDefaultSuffix("opccfg");
  }
  dlgOpen->setAcceptMode(QFileDialog::AcceptOpen);
  dlgOpen->setFileMode(QFileDialog::ExistingFile);
  dlgSave->setAcceptMode(QFileDialog::AcceptSave);

  connect(PrjTree, &QTreeWidget::customContextMenuRequested, this, &TfrmOpcMgr3Main::TreeContextMenu);
  connect(PrjTree, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* n) { TreeDoubleClick(n); });
  tmRunUA.setInterval(800);
  tmRefresh.setInterval(100);
  tmScan.setInterval(50);
  tmCheckOpc.setInterval(300);
  connect(&tmRunUA, &QTimer::timeout, this, &TfrmOpcMgr3Main::OnRunUA);
  connect(&tmRefresh, &QTimer::timeout, this, &TfrmOpcMgr3Main::OnRefresh);
  connect(&tmScan, &QTimer::timeout, this, &TfrmOpcMgr3Main::OnScan);
  connect(&tmCheckOpc, &QTimer::timeout, this, &TfrmOpcMgr3Main::OnCheckOpc);
  tmCheckOpc.start();
  channelTimer_.setInterval(100);
  connect(&channelTimer_, &QTimer::timeout, this, [this] {
    for (int n = channel_.PollNow(); n > 0; --n) ShowManager();
  });
  trayAnim_.setInterval(150);
  connect(&trayAnim_, &QTimer::timeout, this, [this] {
    Tray->setIcon(TrayIcon(++trayFrame_ % 2 == 0));
    if (trayFrame_ >= kTrayFrames) trayAnim_.stop();
  });
  RefreshTree();
  ShowServerPicture(false);
}

TfrmOpcMgr3Main::~TfrmOpcMgr3Main() {
  // The data servers refer to the projects: they end first.
  if (g_DataServerMgr) g_DataServerMgr->Clear();
}

void TfrmOpcMgr3Main::CreateActions() {
  auto make = [this](QAction*& a, const char* name, const char* caption, void (TfrmOpcMgr3Main::*slot)()) {
    a = new QAction(caption, this);
    a->setObjectName(name);
    if (slot) connect(a, &QAction::triggered, this, slot);
  };
  make(actImportCfg, "actImportCfg", "导入工程配置文件", &TfrmOpcMgr3Main::ImportCfg);
  make(actExportCfg, "actExportCfg", "导出工程配置文件", &TfrmOpcMgr3Main::ExportCfg);
  make(actExit, "actExit", "退出 ZEL OPC 管理器", nullptr);
  connect(actExit, &QAction::triggered, this, &QWidget::close);
  make(actAbout, "actAbout", "关于", nullptr);
  connect(actAbout, &QAction::triggered, this, [this] {
    if (frmAbout) frmAbout->exec();
  });
  make(actPrjAddNet, "actPrjAddNet", "添加ZEL设备", &TfrmOpcMgr3Main::PrjAddNet);
  make(actPrjSetting, "actPrjSetting", "ZEL设备设置", &TfrmOpcMgr3Main::PrjSetting);
  make(actPrjDel, "actPrjDel", "删除ZEL设备", &TfrmOpcMgr3Main::PrjDel);
  make(actUpdateAllPrj, "actUpdateAllPrj", "刷新全部", nullptr);
  connect(actUpdateAllPrj, &QAction::triggered, this, [this] { RefreshAll(false); });
  make(actForceUpdateAllPrj, "actForceUpdateAllPrj", "强制刷新全部", nullptr);
  connect(actForceUpdateAllPrj, &QAction::triggered, this, [this] { RefreshAll(true); });
  make(actOpcUA, "actOpcUA", "OPCUA配置", &TfrmOpcMgr3Main::OpcUA);
  make(muStartUA, "muStartUA", "启动OPCUA Server", nullptr);
  connect(muStartUA, &QAction::triggered, this, [this] { tmRunUA.start(); });
  muStartUA->setVisible(false);
  make(actOpenOpcFileDir, "actOpenOpcFileDir", "打开OPC配置文件位置", nullptr);
  connect(actOpenOpcFileDir, &QAction::triggered, this,
          [] { QDesktopServices::openUrl(QUrl::fromLocalFile(Q(g_DataDir))); });
  make(actOpenAppDir, "actOpenAppDir", "打开本程序所在位置", nullptr);
  connect(actOpenAppDir, &QAction::triggered, this,
          [] { QDesktopServices::openUrl(QUrl::fromLocalFile(Q(g_AppDir))); });
  make(actStopServer, "actStopServer", "停止服务器", &TfrmOpcMgr3Main::StopServer);
}

void TfrmOpcMgr3Main::CreateMenus() {
  QMenu* file = menuBar()->addMenu("文件");
  file->addAction(actImportCfg);
  file->addAction(actExportCfg);
  file->addSeparator();
  file->addAction(actExit);
  QMenu* work = menuBar()->addMenu("操作");
  work->addAction(actPrjAddNet);
  work->addAction(actForceUpdateAllPrj);
  work->addSeparator();
  work->addAction(actOpcUA);
  work->addAction(muStartUA);
  work->addSeparator();
  work->addAction(actOpenOpcFileDir);
  work->addAction(actOpenAppDir);
  QMenu* help = menuBar()->addMenu("帮助");
  help->addAction(actAbout);
  popPrjGroup = new QMenu(this);
  popPrjGroup->addAction(actPrjSetting);
  popPrjGroup->addAction(actPrjDel);
  popPrjGroup->addAction(actPrjAddNet);
}

void TfrmOpcMgr3Main::CreatePanel() {
  pnlRight = new QWidget(this);
  pnlRight->setObjectName("pnlRight");
  auto* col = new QVBoxLayout(pnlRight);
  grpServer = new QGroupBox("OpcServer状态", pnlRight);
  auto* g = new QVBoxLayout(grpServer);
  imgServer = new QLabel(grpServer);
  imgServer->setAlignment(Qt::AlignCenter);
  g->addWidget(imgServer);
  col->addWidget(grpServer);
  btnAddNet = new QPushButton(actPrjAddNet->text(), pnlRight);
  btnUpdateAll = new QPushButton(actUpdateAllPrj->text(), pnlRight);
  connect(btnAddNet, &QPushButton::clicked, actPrjAddNet, &QAction::trigger);
  connect(btnUpdateAll, &QPushButton::clicked, actUpdateAllPrj, &QAction::trigger);
  col->addWidget(btnAddNet);
  col->addWidget(btnUpdateAll);
  col->addStretch(1);
  pnlRight->setFixedWidth(170);
  for (QObject* o : std::initializer_list<QObject*>{pnlRight, grpServer, imgServer}) o->installEventFilter(this);
}

void TfrmOpcMgr3Main::CreateTray() {
  Tray = new QSystemTrayIcon(TrayIcon(true), this);
  Tray->setToolTip(kMgrTrayHint);
  connect(Tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
    if (r != QSystemTrayIcon::DoubleClick) return;
    showNormal();
    raise();
    activateWindow();
  });
  Tray->show();
}

bool TfrmOpcMgr3Main::Startup(const std::vector<std::string>& params) {
  g_ServerLog.Open(kLogSourceManager);
  LogSys("ZelOpcMgr_V3 Start!");
  std::string error;
  if (!InitAppPaths(&error)) {
    ErrorBox(error);
    return false;
  }
  if (chdir(g_AppDir.c_str()) != 0) {
    // Nothing below depends on the current directory but the option file.
  }
  const TMgrOptions opt = ParseMgrOptions(MgrOptionEntries(g_AppDir + "/OpcMgrParam.ini", params));
  Flags.AllowDupId = opt.ZelId;
  if (opt.Xml) TSysOP.ForceXML = 1;  // the saves read the setting
  Flags.ForceXML = TSysOP.ForceXML != 0;
  if (opt.GenCert) {
    if (!FileExists(g_DataDir + "/cert/self/localhost.crt")) {
      const std::string result = CreateSelfCertificate();
      if (!result.empty()) ErrorBox(result);
    }
    return false;
  }
  if (!g_DataServerMgr) g_DataServerMgr = std::make_unique<TDataServerMgr>();
  if (FileExists(g_PrjFileName)) (void)cfg_->LoadPrjFile(g_PrjFileName);
  RefreshTree();
  if (Flags.ForceXML && !cfg_->LoadedFromXML) SaveAll();
  setWindowTitle(Q(std::string(kMgrCaption) + "  (" + LongPath(g_PrjFileName) + ")"));
  ServerProgram = g_AppDir + "/ZelOpcServer3";

  RegisteredDir = RegisteredProgramDir();
  if (RegisteredDir.empty()) {
    ErrorBox("OPC未注册!");
    return false;
  }
  if (RegisteredDir != ExcludeTrailingSlash(LongPath(g_AppDir))) {
    ErrorBox("这个Opc管理器不是已注册的OPC管理器！\n已注册的OPC管理器目录是:" + RegisteredDir);
    if (AskYesNo("是否需要打开已注册的OPC管理器?")) {
      std::string other = RegisteredDir + "/ZelOpcMgr3";
      if (!FileExists(other)) other = RegisteredDir + "/OpcMgr3";
      if (FileExists(other)) {
        // The other manager must be able to take the single-instance mutex.
        if (OnReleaseInstance) OnReleaseInstance();
        StartProgram(other);
      }
    }
    return false;
  }
  muStartUA->setVisible(TSysOP.Enable != 0);
  tmRunUA.start();
  frmAbout = std::make_unique<TfrmAboutDlg>(this);
  frmPrjEditor = std::make_unique<TfrmNetPrjEditor>(*cfg_, Flags, this);
  frmBaseDlg = std::make_unique<TfrmBaseDlg>(this);
  frmOpcUA = std::make_unique<TfrmOpcUA>(this);
  if (channel_.Listen()) channelTimer_.start();
  return true;
}

int TfrmOpcMgr3Main::NodeImage(const QTreeWidgetItem* node) { return node ? node->data(0, kRoleImage).toInt() : 0; }

TOpcPrj* TfrmOpcMgr3Main::NodeProject(const QTreeWidgetItem* node) {
  return node ? static_cast<TOpcPrj*>(node->data(0, kRolePrj).value<void*>()) : nullptr;
}

TOpcPrj* TfrmOpcMgr3Main::SelectedProject() const {
  const QTreeWidgetItem* n = PrjTree->currentItem();
  const int image = NodeImage(n);
  if (image == imgRoot || image == imgRoot2 || image == 0) return nullptr;
  return NodeProject(n);
}

void TfrmOpcMgr3Main::RefreshTree() {
  PrjTree->setUpdatesEnabled(false);
  PrjTree->clear();
  auto node = [](QTreeWidgetItem* n, const std::string& text, int image, TOpcPrj* prj) {
    n->setText(0, Q(text));
    n->setIcon(0, TreeIcon(image));
    n->setData(0, kRoleImage, image);
    n->setData(0, kRolePrj, QVariant::fromValue<void*>(prj));
    return n;
  };
  QTreeWidgetItem* root = node(new QTreeWidgetItem(PrjTree), RootNodeText(cfg_->Prjs.size()), imgRoot, nullptr);
  for (auto& p : cfg_->Prjs) {
    QTreeWidgetItem* pn = node(new QTreeWidgetItem(root), PrjNodeText(*p), PrjNodeImage(*p), p.get());
    const std::string vars = VarsNodeText(*p);
    if (!vars.empty()) node(new QTreeWidgetItem(pn), vars, imgVars, p.get());
    pn->setExpanded(true);
  }
  root->setExpanded(true);
  PrjTree->setUpdatesEnabled(true);
}

void TfrmOpcMgr3Main::LockUi(bool locked) {
  PrjTree->setEnabled(!locked);
  actPrjAddNet->setEnabled(!locked);
  actUpdateAllPrj->setEnabled(!locked);
  btnAddNet->setEnabled(!locked);
  btnUpdateAll->setEnabled(!locked);
}

void TfrmOpcMgr3Main::RefreshAll(bool forced) {
  if (!cfg_->MarkRefresh(forced)) return;
  LockUi(true);
  for (int i = 0; i < 10; ++i) QCoreApplication::processEvents();
  tmScan.start();
  cfg_->StartRefreshWork();
}

void TfrmOpcMgr3Main::OnScan() {
  if (cfg_->ScanStep(SteadyMs())) return;
  RefreshTree();
  LockUi(false);
  tmScan.stop();
  SaveAll();
}

void TfrmOpcMgr3Main::OnRefresh() {
  tmRefresh.stop();
  RefreshAll(false);
}

void TfrmOpcMgr3Main::SaveAll() {
  cfg_->SaveFiles();
  StopServer();
}

void TfrmOpcMgr3Main::StopServer() {
  Flags.ServerRunning = false;
  CloseServerWindow();
  tmRunUA.start();
}

void TfrmOpcMgr3Main::OnRunUA() {
  if (TSysOP.KeepUARun == 0) tmRunUA.stop();
  if (TSysOP.Enable == 0) return;
  if (ServerWindowExists()) return;
  // Nothing is reported when the program cannot be started (the timer may try again).
  StartProgram(ServerProgram);
}

void TfrmOpcMgr3Main::OnCheckOpc() {
  ReapStartedPrograms();
  const bool running = ServerWindowExists();
  Flags.ServerRunning = running;
  muStartUA->setVisible(TSysOP.Enable != 0 && !running);
  ShowServerPicture(running);
}

void TfrmOpcMgr3Main::ShowServerPicture(bool running) {
  if (imgServer->pixmap().isNull() || running != serverRunningPic_) imgServer->setPixmap(ServerPicture(running));
  serverRunningPic_ = running;
}

void TfrmOpcMgr3Main::ImportCfg() {
  dlgOpen->selectFile(QString());
  if (dlgOpen->exec() != QDialog::Accepted || dlgOpen->selectedFiles().isEmpty()) return;
  const std::string path = dlgOpen->selectedFiles().front().toStdString();
  if (!cfg_->LoadPrjFile(path)) {
    ErrorBox("文件错误:" + path);
    EndProcess();
    return;
  }
  RefreshTree();
  SaveAll();
}

void TfrmOpcMgr3Main::ExportCfg() {
  if (dlgSave->exec() != QDialog::Accepted || dlgSave->selectedFiles().isEmpty()) return;
  std::string path = dlgSave->selectedFiles().front().toStdString();
  if (ExtractFileExt(path).empty()) path += ".opccfg";  // the default extension
  cfg_->SavePrjFile(path);
}

void TfrmOpcMgr3Main::EndProcess() {
  Ended = true;
  hide();
  QCoreApplication::exit(0);
}

void TfrmOpcMgr3Main::PrjAddNet() {
  if (!frmPrjEditor) return;
  std::unique_ptr<TOpcPrj> p = cfg_->NewPrj();
  if (!frmPrjEditor->EditProject(*p)) return;
  cfg_->Prjs.push_back(std::move(p));
  RefreshTree();
  SaveAll();
  if (!Flags.NoAutoRefresh) tmRefresh.start();
}

void TfrmOpcMgr3Main::PrjSetting() {
  TOpcPrj* p = SelectedProject();
  if (!p || !frmPrjEditor || !frmPrjEditor->EditProject(*p)) return;
  RefreshTree();
  SaveAll();
  if (!Flags.NoAutoRefresh) tmRefresh.start();
}

void TfrmOpcMgr3Main::PrjDel() {
  TOpcPrj* p = SelectedProject();
  if (!p) return;
  if (!AskYesNo("是否要删除该设备?\n设备序号: " + p->Name + "\n显示名:" + p->DispName)) return;
  cfg_->RemovePrj(p);
  RefreshTree();
  SaveAll();
}

void TfrmOpcMgr3Main::OpcUA() {
  if (frmOpcUA && frmOpcUA->EditOpcUa()) StopServer();
}

void TfrmOpcMgr3Main::TreeContextMenu(const QPoint& pos) {
  QTreeWidgetItem* n = PrjTree->itemAt(pos);
  if (!n) return;
  if (NodeImage(n) == imgVars) n = n->parent();
  PrjTree->setCurrentItem(n);
  const int image = NodeImage(n);
  if (image == imgPrj || image == imgPrjErr || image == imgPrj2)
    popPrjGroup->popup(PrjTree->viewport()->mapToGlobal(pos));
}

void TfrmOpcMgr3Main::TreeDoubleClick(QTreeWidgetItem* n) {
  if (NodeImage(n) == imgVars) {
    n = n->parent();
    PrjTree->setCurrentItem(n);
  }
  const int image = NodeImage(n);
  if (image == imgPrj || image == imgPrjErr || image == imgPrj2) actPrjSetting->trigger();
}

void TfrmOpcMgr3Main::PanelCtrlClick() {
  std::string number;
  if (!InputText(number, "请输入11位的设备序号", this)) return;
  const std::string fixed = DeviceNumberFix(number);
  if (!fixed.empty()) InfoBox("正确的序号是： " + fixed);
}

bool TfrmOpcMgr3Main::eventFilter(QObject* watched, QEvent* e) {
  if (e->type() == QEvent::MouseButtonPress && (static_cast<QMouseEvent*>(e)->modifiers() & Qt::ControlModifier)) {
    PanelCtrlClick();
    return true;
  }
  return QMainWindow::eventFilter(watched, e);
}

void TfrmOpcMgr3Main::changeEvent(QEvent* e) {
  QMainWindow::changeEvent(e);
  if (e->type() == QEvent::WindowStateChange && isMinimized())
    QTimer::singleShot(0, this, &TfrmOpcMgr3Main::HideToTray);
}

void TfrmOpcMgr3Main::AnimateTray() {
  Tray->show();
  trayFrame_ = 0;
  trayAnim_.start();
  Tray->showMessage(kMgrTrayHint, "ZEL OPC 管理器在这里继续运行，双击图标打开窗口。");
}

void TfrmOpcMgr3Main::HideToTray() {
  hide();
  AnimateTray();
}

void TfrmOpcMgr3Main::ShowManager() {
  if (isVisible()) {
    showNormal();
    raise();
    activateWindow();
    QApplication::alert(this);
  } else {
    AnimateTray();
  }
}
