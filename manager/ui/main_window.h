// TfrmOpcMgr3Main: the manager's main window. The project tree, the actions of the menus
// and the pop-up menu, the right panel with the server's status picture, the tray icon
// and the timers that refresh the projects and stop and start the server. The rules it
// applies live in manager/core; this class shows them and reacts to the user.
#pragma once
#include <QMainWindow>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "manager/core/mgr_flags.h"
#include "manager/core/mgr_process.h"
#include "manager/core/opc_cfg_mgr.h"

class QAction;
class QFileDialog;
class QGroupBox;
class QLabel;
class QMenu;
class QPushButton;
class QSocketNotifier;
class QSystemTrayIcon;
class QTreeWidget;
class QTreeWidgetItem;
class TfrmAboutDlg;
class TfrmBaseDlg;
class TfrmNetPrjEditor;
class TfrmOpcUA;

inline constexpr const char* kMgrAppTitle = "ZEL OPC 管理器 V3";
inline constexpr const char* kMgrCaption = "ZEL OPC 管理器 V3.5";
inline constexpr const char* kMgrTrayHint = "ZEL Opc 管理器";
inline constexpr const char* kCfgFileFilter = "OPC配置文件(*.opccfg)|*.opccfg";

class TfrmOpcMgr3Main : public QMainWindow {
  Q_OBJECT
 public:
  explicit TfrmOpcMgr3Main(QWidget* parent = nullptr);
  ~TfrmOpcMgr3Main() override;

  // The start-up sequence, from the log line to the registration check. False when the
  // process is to end now (exit code 0); the window has not been shown then.
  bool Startup(const std::vector<std::string>& params);

  void RefreshTree();
  void RefreshAll(bool forced);
  void SaveAll();
  void StopServer();
  // Message 1025 from a second start.
  void ShowManager();
  // Ends the program (exit code 0) from inside an action; sets Ended.
  void EndProcess();
  bool Ended = false;
  // Releases the single-instance mutex (before another manager is started).
  std::function<void()> OnReleaseInstance;

  TOpcCfgMgr& Cfg() { return *cfg_; }
  TMgrFlags Flags;
  // The server program started by tmRunUA: g_AppDir + "/ZelOpcServer3" after Startup.
  std::string ServerProgram;
  // Where the start-up check sent the user; tests read it.
  std::string RegisteredDir;

  QTreeWidget* PrjTree;
  QGroupBox* grpServer;
  QLabel* imgServer;  // the running or stopped picture
  QWidget* pnlRight;
  QPushButton* btnAddNet;
  QPushButton* btnUpdateAll;
  QAction *actImportCfg, *actExportCfg, *actExit, *actAbout, *actPrjAddNet, *actPrjSetting, *actPrjDel,
      *actUpdateAllPrj, *actForceUpdateAllPrj, *actOpcUA, *muStartUA, *actOpenOpcFileDir, *actOpenAppDir,
      *actStopServer;
  QMenu* popPrjGroup;
  QSystemTrayIcon* Tray;
  QFileDialog* dlgOpen;
  QFileDialog* dlgSave;
  QTimer tmRunUA, tmRefresh, tmScan, tmCheckOpc;
  std::unique_ptr<TfrmAboutDlg> frmAbout;
  std::unique_ptr<TfrmNetPrjEditor> frmPrjEditor;
  std::unique_ptr<TfrmBaseDlg> frmBaseDlg;
  std::unique_ptr<TfrmOpcUA> frmOpcUA;

  // Node data: the image index of a node and the project it carries (nullptr for roots).
  static int NodeImage(const QTreeWidgetItem* node);
  static TOpcPrj* NodeProject(const QTreeWidgetItem* node);
  // The project of the selected project or summary node, nullptr for none or a root.
  TOpcPrj* SelectedProject() const;
  bool Refreshing() const { return tmScan.isActive(); }
  bool ServerPictureRunning() const { return serverRunningPic_; }

 protected:
  void changeEvent(QEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  void CreateActions();
  void CreateMenus();
  void CreatePanel();
  void CreateTray();
  void LockUi(bool locked);
  void ShowServerPicture(bool running);
  void HideToTray();
  void AnimateTray();
  void TreeContextMenu(const QPoint& pos);
  void TreeDoubleClick(QTreeWidgetItem* node);
  void PanelCtrlClick();

  void ImportCfg();
  void ExportCfg();
  void PrjAddNet();
  void PrjSetting();
  void PrjDel();
  void OpcUA();
  void OnRunUA();
  void OnRefresh();
  void OnScan();
  void OnCheckOpc();

  std::unique_ptr<TOpcCfgMgr> cfg_;
  TMgrWindowChannel channel_;
  QSocketNotifier* channelNotifier_ = nullptr;
  QTimer channelTimer_;  // serves requesters past their deadline
  QTimer trayAnim_;
  int trayFrame_ = 0;
  bool serverRunningPic_ = false;
};
