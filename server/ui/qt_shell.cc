#include "server/ui/qt_shell.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QScreen>
#include <QStatusBar>
#include <QVBoxLayout>

#include "common/log/server_log.h"
#include "common/platform/clock.h"
#include "server/runtime/zel_main.h"
#include "server/shell/headless_shell.h"
#include "server/ui/server_app.h"
#include "server/ui/server_info_form.h"

namespace {
constexpr int kClientWidth = 369;
constexpr int kClientHeight = 228;

QString Q(const std::string& s) { return QString::fromStdString(s); }
}  // namespace

QPixmap TrayIconFrame(int frame) {
  QPixmap pm(32, 32);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(QColor(0, 90, 170));
  p.setPen(Qt::NoPen);
  p.drawRoundedRect(1, 1, 30, 30, 6, 6);
  QFont f = p.font();
  f.setBold(true);
  f.setPixelSize(19);
  p.setFont(f);
  p.setPen(Qt::white);
  p.drawText(QRect(0, 0, 32, 32), Qt::AlignCenter, "Z");
  // The light stays in the corners, clear of the letter.
  static const QPoint corners[kTrayFrames] = {{6, 6}, {26, 6}, {26, 26}, {6, 26}};
  p.setBrush(QColor(120, 230, 90));
  p.setPen(Qt::NoPen);
  p.drawEllipse(corners[((frame % kTrayFrames) + kTrayFrames) % kTrayFrames], 3, 3);
  return pm;
}

QFont ServerWindowFont() {
  const QStringList families = QFontDatabase::families();
  QFont f;
  for (const char* name : {"SimSun", "宋体", "WenQuanYi Micro Hei", "WenQuanYi Zen Hei", "Noto Sans CJK SC"}) {
    if (families.contains(QString::fromUtf8(name))) {
      f.setFamily(QString::fromUtf8(name));
      break;
    }
  }
  f.setPointSize(10);
  return f;
}

TfrmOpcServer3Main::TfrmOpcServer3Main(QWidget* parent) : QMainWindow(parent) {
  setObjectName("TfrmOpcServer3Main");
  setWindowTitle(kMainWindowCaption);
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  const QFont base = ServerWindowFont();
  setFont(base);
  setWindowIcon(QIcon(TrayIconFrame(0)));

  auto* client = new QWidget(this);
  auto* row = new QHBoxLayout(client);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(0);
  auto* left = new QWidget(client);
  left->setFixedWidth(kClientWidth);
  auto* col = new QVBoxLayout(left);
  col->setContentsMargins(8, 10, 8, 8);
  col->setSpacing(6);

  lbApp = new QLabel(QString::asprintf("ZelOpcServer V%d.%d.%d.%d", ZEL_VERSION_MAJOR, ZEL_VERSION_MINOR,
                                       ZEL_VERSION_PATCH, ZEL_VERSION_TWEAK),
                     left);
  QFont bold = base;
  bold.setBold(true);
  bold.setPointSize(base.pointSize() + 3);
  lbApp->setFont(bold);
  lbApp->setAlignment(Qt::AlignCenter);

  lbCompany = new QLabel(QString::fromUtf8("ZEL 工业数据网关"), left);
  lbCompany->setAlignment(Qt::AlignCenter);
  lbCompany->setWordWrap(true);

  // Sizes as whole points, truncated like the scaled fonts they stand for.
  lbMessage = new QLabel(left);
  QFont small = base;
  small.setPointSize(int(base.pointSize() * 0.85));
  lbMessage->setFont(small);
  lbMessage->setAlignment(Qt::AlignCenter);
  lbMessage->setWordWrap(true);
  QPalette red = lbMessage->palette();
  red.setColor(QPalette::WindowText, QColor(160, 0, 0));
  lbMessage->setPalette(red);

  QFont count = base;
  count.setPointSize(int(base.pointSize() * 0.95));
  lbOpcDa = new QLabel(left);
  lbOpcUa = new QLabel(left);
  for (QLabel* l : {lbOpcDa, lbOpcUa}) {
    l->setFont(count);
    l->setAlignment(Qt::AlignCenter);
  }

  btnStatus = new QPushButton(QString::fromUtf8("查看服务器状态"), left);
  btnStatus->setFixedWidth(150);

  col->addWidget(lbApp);
  col->addWidget(lbCompany);
  col->addWidget(lbMessage);
  col->addStretch(1);
  col->addWidget(lbOpcDa);
  col->addWidget(lbOpcUa);
  col->addSpacing(4);
  col->addWidget(btnStatus, 0, Qt::AlignHCenter);
  col->addStretch(1);
  row->addWidget(left);

  pnlModbus = new QWidget(client);
  pnlModbus->setObjectName("pnlModbus");
  pnlModbus->hide();
  row->addWidget(pnlModbus);
  setCentralWidget(client);

  sbPanel0 = new QLabel(this);
  sbPanel0->setFixedWidth(180);
  sbPanel0->setContentsMargins(4, 0, 0, 0);
  sbPanel1 = new QLabel(this);
  sbPanel1->setFixedWidth(50);
  sbPanel1->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  statusBar()->addWidget(sbPanel0);
  statusBar()->addWidget(sbPanel1);
  statusBar()->setSizeGripEnabled(false);

  QMenu* file = menuBar()->addMenu(QString::fromUtf8("文件"));
  QAction* exit = file->addAction(QString::fromUtf8("退出程序(&x)"));
  connect(exit, &QAction::triggered, this, [this] {
    if (OnExitMenu) OnExitMenu();
  });
  connect(btnStatus, &QPushButton::clicked, this, [this] {
    if (OnStatusButton) OnStatusButton();
  });

  Tray = new QSystemTrayIcon(QIcon(TrayIconFrame(0)), this);
  Tray->setToolTip(kMainWindowCaption);
  TrayMenu = new QMenu(this);
  QAction* trayExit = TrayMenu->addAction(QString::fromUtf8("退出程序(&x)"));
  connect(trayExit, &QAction::triggered, this, [this] {
    if (OnExitMenu) OnExitMenu();
  });
  connect(Tray, &QSystemTrayIcon::activated, this, &TfrmOpcServer3Main::OnTrayActivated);
  TrayProbe = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
  trayAnim_.setInterval(400);
  connect(&trayAnim_, &QTimer::timeout, this, [this] { NextTrayFrame(); });

  adjustSize();
  setFixedSize(kClientWidth, kClientHeight + menuBar()->sizeHint().height());
  if (const QScreen* s = QGuiApplication::primaryScreen())
    move(s->availableGeometry().center() - rect().center());
}

void TfrmOpcServer3Main::ApplyCreate(const TmyLangString& lang, bool hasUa) {
  if (!lang.CompName.empty()) lbCompany->setText(Q(lang.CompName));
  if (!lang.ViewServerState.empty()) btnStatus->setText(Q(lang.ViewServerState));
  if (hasUa) {
    Tray->setContextMenu(TrayMenu);
  } else {
    menuBar()->hide();
  }
  setFixedSize(kClientWidth + (pnlModbus->isHidden() ? 0 : pnlModbus->sizeHint().width()),
               kClientHeight + (menuBar()->isHidden() ? 0 : menuBar()->sizeHint().height()));
}

void TfrmOpcServer3Main::PlaceModbus(QWidget* panel) {
  auto* box = new QVBoxLayout(pnlModbus);
  box->setContentsMargins(0, 4, 8, 4);
  box->addWidget(panel);
  pnlModbus->setFixedWidth(200);
  pnlModbus->show();
}

void TfrmOpcServer3Main::HideToTray() {
  if (TrayProbe && !TrayProbe()) {
    Tray->hide();
    trayAnim_.stop();
    showMinimized();
    return;
  }
  Tray->show();
  trayAnim_.start();
  hide();
}

void TfrmOpcServer3Main::ShowFromTray(bool activate) {
  showNormal();
  Tray->hide();
  trayAnim_.stop();
  if (activate) {
    raise();
    activateWindow();
  }
}

void TfrmOpcServer3Main::OnTrayActivated(QSystemTrayIcon::ActivationReason reason) {
  if (reason == QSystemTrayIcon::Trigger) ShowFromTray(true);
  else if (reason == QSystemTrayIcon::DoubleClick) ShowFromTray(false);
}

void TfrmOpcServer3Main::NextTrayFrame() {
  trayFrame_ = (trayFrame_ + 1) % kTrayFrames;
  Tray->setIcon(QIcon(TrayIconFrame(trayFrame_)));
}

TWindowView TfrmOpcServer3Main::View() const {
  TWindowView v;
  if (isHidden()) v.State = Tray->isVisible() ? "tray" : "hidden";
  else v.State = isMinimized() ? "minimized" : "shown";
  v.Message = lbMessage->text().toStdString();
  v.OpcDa = lbOpcDa->text().toStdString();
  v.OpcUa = lbOpcUa->text().toStdString();
  v.Status = sbPanel0->text().toStdString();
  return v;
}

void TfrmOpcServer3Main::closeEvent(QCloseEvent* e) {
  if (!OnCloseQuery || OnCloseQuery()) e->accept();
  else e->ignore();
}

TQtShell::TQtShell(TfrmOpcServer3Main& form, TZelMain& main)
    : form_(form),
      main_(main),
      channel_([this] { Guarded([this] { window_->RequestClose(2); }); }, [this] { return form_.View(); }) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  signalFd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  mainId_ = std::this_thread::get_id();
  base_.setInterval(10);
  base_.setTimerType(Qt::PreciseTimer);
  scan_.setInterval(200);
  count_.setInterval(500);
  second_.setInterval(1000);
  connect(&base_, &QTimer::timeout, this, [this] { OnBaseTimer(); });
  connect(&scan_, &QTimer::timeout, this, [this] { Guarded([this] { window_->ScanTick(); }); });
  connect(&count_, &QTimer::timeout, this, [this] { Guarded([this] { window_->ClientCountTick(); }); });
  connect(&second_, &QTimer::timeout, this, [this] { Guarded([this] { window_->SecondTick(); }); });
  uaTimer_.setSingleShot(true);
  uaTimer_.setTimerType(Qt::PreciseTimer);
  connect(&uaTimer_, &QTimer::timeout, this, [this] { OnUaEvent(); });
}

TQtShell::~TQtShell() {
  if (TServerApplication* app = TServerApplication::Instance()) app->OnException = nullptr;
  if (signalFd_ >= 0) close(signalFd_);
}

void TQtShell::Guarded(const std::function<void()>& f) {
  // No exception reaches Qt's event loop: it takes the window's exception path instead.
  try {
    f();
  } catch (const std::exception& e) {
    window_->OnException(e.what());
  } catch (...) {
    window_->OnException("unknown exception");
  }
}

void TQtShell::Start(TMainWindow& window) {
  window_ = &window;
  // The close box asks the window logic with the pending CloseMode (0 unless a close
  // request set another); a close the logic already allowed passes.
  form_.OnCloseQuery = [this] {
    if (quitting_ || window_->Closed) return true;
    bool ok = false;
    Guarded([&] { ok = window_->CloseQuery(); });
    return ok;
  };
  form_.OnExitMenu = [this] { Guarded([this] { window_->RequestClose(1); }); };
  form_.OnStatusButton = [this] { ServerInfo().ShowServerStatus(CtrlDown()); };
  if (TServerApplication* app = TServerApplication::Instance())
    app->OnException = [this](const std::string& what) { window_->OnException(what); };
  base_.start();
  scan_.start();
  count_.start();
}

void TQtShell::Run(TMainWindow& window) {
  Start(window);
  if (!quitting_) QApplication::exec();
  base_.stop();
  scan_.stop();
  count_.stop();
  second_.stop();
  uaTimer_.stop();
  uaNotifier_.reset();
  QCoreApplication::sendPostedEvents();  // nobody waits forever on a task posted before the end
}

// The window channel and the signals are polled here: 10 ms is quick enough for a
// person or a manager waiting on an answer, and it keeps one path for both shells.
void TQtShell::OnBaseTimer() {
  if (!window_ || quitting_) return;
  channel_.PollNow();
  signalfd_siginfo si;
  bool signalled = false;
  while (signalFd_ >= 0 && read(signalFd_, &si, sizeof si) == ssize_t(sizeof si)) signalled = true;
  if (signalled) {
    LogSys("Signal_SysClose");
    Guarded([this] { window_->RequestClose(2); });
  }
  if (!quitting_) Guarded([this] { window_->BaseTick(NowMs()); });
  ArmUa();
}

void TQtShell::OnUaEvent() {
  if (!window_ || quitting_) return;
  Guarded([this] { window_->UaEvent(); });
  ArmUa();
}

void TQtShell::ArmUa() {
  TUaServerHost::TWait w;
  if (window_ && !quitting_) w = window_->UaWait();
  // The descriptor is the server's for its whole life; a new one only after a restart.
  if (w.fd < 0 || (uaNotifier_ && uaNotifier_->socket() != w.fd)) uaNotifier_.reset();
  if (w.fd >= 0 && !uaNotifier_) {
    uaNotifier_ = std::make_unique<QSocketNotifier>(w.fd, QSocketNotifier::Read);
    connect(uaNotifier_.get(), &QSocketNotifier::activated, this, [this] { OnUaEvent(); });
  }
  if (w.timeoutMs >= 0) uaTimer_.start(w.timeoutMs);
  else uaTimer_.stop();
}

void TQtShell::Post(std::function<void()> task) {
  QMetaObject::invokeMethod(
      this, [this, t = std::move(task)] { Guarded(t); }, Qt::QueuedConnection);
}

void TQtShell::RunOnMainAndWait(const std::function<void()>& task) {
  if (std::this_thread::get_id() == mainId_) {
    task();
    return;
  }
  // Not through Post: the waiting thread gets the task's exception, not the window.
  PostAndWait([this](std::function<void()> t) { QMetaObject::invokeMethod(this, std::move(t), Qt::QueuedConnection); },
              task);
}

void TQtShell::RequestBaseTick() {
  QMetaObject::invokeMethod(this, [this] { OnBaseTimer(); }, Qt::QueuedConnection);
}

void TQtShell::SetMessageLabel(const std::string& text) {
  form_.lbMessage->setText(Q(text));
  form_.lbMessage->repaint();
}

void TQtShell::SetStatusText(const std::string& text) { form_.sbPanel0->setText(Q(text)); }

void TQtShell::SetClientLabel(bool ua, const std::string& text) {
  QLabel* l = ua ? form_.lbOpcUa : form_.lbOpcDa;
  l->setText(Q(text));
  l->repaint();
}

void TQtShell::EnableSecondTimer(bool on) {
  if (on) second_.start();  // (re)starts the one-second period
  else second_.stop();
}

bool TQtShell::CtrlDown() const {
  if (CtrlProbe) return CtrlProbe();
  return QGuiApplication::queryKeyboardModifiers() & Qt::ControlModifier;
}

TfrmServerInfo& TQtShell::ServerInfo() {
  if (!info_) info_ = std::make_unique<TfrmServerInfo>(main_, window_->Lang, form_.btnStatus->text().toStdString());
  return *info_;
}

void TQtShell::Quit() {
  quitting_ = true;
  uaNotifier_.reset();
  uaTimer_.stop();
  if (info_) info_->EndServerStatus();
  base_.stop();
  scan_.stop();
  count_.stop();
  second_.stop();
  form_.Tray->hide();
  form_.close();
  QCoreApplication::quit();
}
