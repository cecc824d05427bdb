// The main window's logic without its widgets: the four timer handlers, the ways the
// server closes itself, the user-interface texts of "uiinfo.ini" and the exception path.
// A front-end (the headless shell, or the desktop window) owns the timers and the
// message loop and implements TMainShell; tests drive the handlers directly.
#pragma once
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "server/runtime/opc_sprj.h"

class TZelMain;

inline constexpr const char* kMainWindowClass = "TfrmOpcServer3Main";
inline constexpr const char* kMainWindowCaption = "$ZEL_OPC_SERVER3$";
inline constexpr int kMsgCloseServer = 1034;  // the first user message number + 10

// What the window logic needs from its front-end.
class TMainShell {
 public:
  virtual ~TMainShell() = default;
  virtual void SetMessageLabel(const std::string& text) = 0;
  virtual void SetStatusText(const std::string& text) = 0;  // status bar panel 0
  virtual void SetClientLabel(bool ua, const std::string& text) = 0;
  virtual void EnableSecondTimer(bool on) = 0;
  virtual void HideToTray() = 0;
  virtual bool CtrlDown() const { return false; }
  virtual void Quit() = 0;  // the close was allowed: leave the message loop
};

// The OPC UA server as the window sees it (built at window creation when enabled).
class TUaServerHost {
 public:
  virtual ~TUaServerHost() = default;
  // False when the server cannot run: the window closes through its usual path, which
  // saves the login cache and ends the main loop.
  virtual bool Start() = 0;
  virtual void RunStep() = 0;
  virtual int ClientCount() = 0;
  virtual int Port() const = 0;
  // Values were pushed since the last run step (they go out with the next one).
  virtual bool HasPendingUpdates() const { return false; }
  // What the shell waits on beside its own timers so that a request is answered at once
  // rather than at the next base tick: a descriptor that turns readable when a client's
  // request arrives (-1: none) and the milliseconds until the server's next timer (-1:
  // none, the base tick serves it).
  struct TWait {
    int fd = -1;
    int timeoutMs = -1;
  };
  virtual TWait Wait() { return {}; }
};

// The texts of "uiinfo.ini" [Lang] with their defaults.
struct TmyLangString {
  std::string CompName;
  std::string ClientConn = "有%d个客户端连接";
  std::string ViewServerState;
  std::string Close = "关闭";
  std::string Refresh = "刷新状态";
  std::string NetConnInfo = "网络连接信息:";
  std::string IOCfgModify = "IO变量配置已修改,程序将在%d秒钟后关闭";
  std::string SaveIOCfg = "正在保存IO变量...";
  std::string ColHeader[6];
  // Reads the file (a missing file keeps the defaults) and applies the state and error
  // text replacements.
  void Load(const std::string& fileName);
  // ClientConn with n; a text without "%d" gets "%d " in front.
  std::string ClientText(int n) const;
  std::string CountdownText(int seconds) const;
};

class TMainWindow : public TCloseScheduler {
 public:
  TMainWindow(TZelMain& main, TMainShell& shell);
  ~TMainWindow() override;

  // Window creation: texts, Modbus off, the OPC UA server (when one is given), status.
  void Create(std::unique_ptr<TUaServerHost> ua = nullptr, bool hasUser = false);

  void BaseTick(int64_t now);
  // The OPC UA server's descriptor and timer for the shell's wait ({-1, -1} while the
  // server is not running or the timers are blocked), and the run step the shell calls
  // when either fires; the base tick's work stays with BaseTick.
  TUaServerHost::TWait UaWait();
  void UaEvent();
  void ScanTick();
  void ClientCountTick();
  void SecondTick();

  void RequestClose(int mode);
  void ScheduleClose(int seconds) override;
  // The close query; true when the window may close (then it has been destroyed).
  bool CloseQuery();
  // Window destruction: the login cache refreshed and saved.
  void Destroy();
  // An exception escaped a handler: log, "ErrorLog.txt", 20 s timed close, message box.
  void OnException(const std::string& what);

  // [MODBUS] Enable=1 (our addition): creation keeps the Modbus port instead of clearing it.
  bool KeepModbusPort = false;
  int CloseMode = 0;
  int Countdown = 0;
  bool Closed = false;
  int LastDaCount = -1;
  int LastUaCount = -1;
  int64_t UaEventSteps = 0;  // OPC UA run steps started by UaEvent (not by the base tick)
  TmyLangString Lang;
  TUaServerHost* Ua() { return ua_.get(); }

 private:
  TZelMain& main_;
  TMainShell& shell_;
  std::unique_ptr<TUaServerHost> ua_;
  bool uaStarted_ = false;
  bool baseGuard_ = false;
};

// While true every timer handler returns at once: from program load until the window's
// creation finishes.
extern bool g_TimersBlocked;

// Number of OPC DA server objects alive: one per connected OPC DA client.
int GetServersCount();
