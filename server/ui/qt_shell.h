// The desktop front-end of the server: the main window `TfrmOpcServer3Main` with its
// labels, menu, status bar and tray icon, and the Qt shell that drives the window logic
// (TMainWindow) from QTimers at 10, 200, 500 and 1000 ms, answers the window channel
// and runs tasks posted by other threads. The rules stay in TMainWindow; this file only
// shows them.
#pragma once
#include <QLabel>
#include <QMainWindow>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QSocketNotifier>
#include <QTimer>
#include <functional>
#include <memory>
#include <thread>

#include "server/core/main_window.h"
#include "server/shell/window_channel_server.h"

class QMenu;
class TfrmServerInfo;
class TZelMain;

// The CJK font of the windows: SimSun where installed, else WenQuanYi.
QFont ServerWindowFont();

// Our icon, as window icon and tray icon: a blue "Z" badge; the tray animation's frames
// run a green light round its corners (frame 0 is the window icon).
inline constexpr int kTrayFrames = 4;
QPixmap TrayIconFrame(int frame);

class TfrmOpcServer3Main : public QMainWindow {
  Q_OBJECT
 public:
  explicit TfrmOpcServer3Main(QWidget* parent = nullptr);

  // The parts that depend on the window logic, after its creation: the company text of
  // uiinfo.ini, the status button caption, and the menus (only with an OPC UA server).
  void ApplyCreate(const TmyLangString& lang, bool hasUa);
  // Puts the Modbus window into the right panel and shows it (before ApplyCreate).
  void PlaceModbus(QWidget* panel);

  QLabel* lbApp;
  QLabel* lbCompany;
  QLabel* lbMessage;
  QLabel* lbOpcDa;
  QLabel* lbOpcUa;
  QPushButton* btnStatus;
  QLabel* sbPanel0;
  QLabel* sbPanel1;
  QWidget* pnlModbus;  // the Modbus window's place, hidden unless the listener runs
  QSystemTrayIcon* Tray;
  QMenu* TrayMenu;

  // Set by the shell.
  std::function<bool()> OnCloseQuery;  // the close box or a close(); true: may close
  std::function<void()> OnExitMenu;    // "退出程序(&x)"
  std::function<void()> OnStatusButton;

  // Without a notification area (a desktop without one, or a bare X server) the window
  // minimises instead: hidden with no icon to click, it could not be brought back.
  void HideToTray();
  void ShowFromTray(bool activate);
  // A click on the tray icon shows the window and brings it to the front; a double
  // click shows it.
  void OnTrayActivated(QSystemTrayIcon::ActivationReason reason);
  // The next frame of the tray animation (its timer's tick).
  void NextTrayFrame();
  int TrayFrameIndex() const { return trayFrame_; }
  bool TrayAnimating() const { return trayAnim_.isActive(); }
  // What the window shows, for the window channel's "window" request.
  TWindowView View() const;

  // Whether the desktop has a notification area; tests replace the query.
  std::function<bool()> TrayProbe;

 protected:
  void closeEvent(QCloseEvent* e) override;

 private:
  QTimer trayAnim_;
  int trayFrame_ = 0;
};

class TQtShell : public QObject, public TMainShell {
  Q_OBJECT
 public:
  TQtShell(TfrmOpcServer3Main& form, TZelMain& main);
  ~TQtShell() override;

  // Starts the timers and runs the event loop until the window closes.
  void Run(TMainWindow& window);
  // Starts the timers only (tests drive the event loop themselves).
  void Start(TMainWindow& window);

  // Any thread: queue a task for the main loop.
  void Post(std::function<void()> task);
  // Another thread: run the task on the main loop and wait; on the main thread at once.
  void RunOnMainAndWait(const std::function<void()>& task);
  // Any thread: run the base tick soon rather than at its next 10 ms mark.
  void RequestBaseTick();

  void SetMessageLabel(const std::string& text) override;
  void SetStatusText(const std::string& text) override;
  void SetClientLabel(bool ua, const std::string& text) override;
  void EnableSecondTimer(bool on) override;
  void HideToTray() override { form_.HideToTray(); }
  bool CtrlDown() const override;
  void Quit() override;

  // Tests replace the keyboard query.
  std::function<bool()> CtrlProbe;
  bool Quitting() const { return quitting_; }
  // The status window, created at its first opening (the texts are loaded by then).
  TfrmServerInfo& ServerInfo();

 private:
  void Guarded(const std::function<void()>& f);
  void OnBaseTimer();
  // The OPC UA server's step as soon as a request arrives or its timer is due: a socket
  // notifier on its descriptor and a single-shot timer, set anew after every step.
  void OnUaEvent();
  void ArmUa();

  TfrmOpcServer3Main& form_;
  TZelMain& main_;
  std::unique_ptr<TfrmServerInfo> info_;
  TMainWindow* window_ = nullptr;
  TWindowChannelServer channel_;
  int signalFd_ = -1;
  bool quitting_ = false;
  std::thread::id mainId_;
  QTimer base_, scan_, count_, second_;
  QTimer uaTimer_;
  std::unique_ptr<QSocketNotifier> uaNotifier_;
};
