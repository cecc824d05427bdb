#include "server/core/main_window.h"

#include <ctime>

#include "common/config/app_paths.h"
#include "common/config/reg_cache.h"
#include "common/helpers/message_boxes.h"
#include "common/log/exception_stack.h"
#include "common/log/link_texts.h"
#include "common/log/server_log.h"
#include "common/platform/ini_file.h"
#include "common/platform/paths.h"
#include "common/platform/text.h"
#include "common/settings/sys_config.h"
#include "server/core/command_line.h"
#include "server/namespace/nx_server.h"
#include "server/opcda/da2.h"
#include "server/runtime/zel_main.h"

bool g_TimersBlocked = true;

int GetServersCount() { return static_cast<int>(TNxBaseOPCServer::GetServersCount()); }

void TmyLangString::Load(const std::string& fileName) {
  TIniFile ini(fileName);
  auto read = [&](const char* key, std::string& field) { field = ini.ReadString("Lang", key, field); };
  read("CompName", CompName);
  read("ClientConn", ClientConn);
  read("ViewServerState", ViewServerState);
  read("Close", Close);
  read("Refresh", Refresh);
  read("NetConnInfo", NetConnInfo);
  read("IOCfgModify", IOCfgModify);
  read("SaveIOCfg", SaveIOCfg);
  for (int i = 0; i < kNetStateCount; ++i) {
    std::string t = ini.ReadString("Lang", "PrjState" + std::to_string(i), "");
    if (!t.empty()) SetStateText(i, t);
  }
  for (int i = 0; i < kNetErrorCount; ++i) {
    std::string t = ini.ReadString("Lang", "ErrorCode" + std::to_string(i), "");
    if (!t.empty()) SetErrText(i, t);
  }
  for (int i = 0; i < 6; ++i) ColHeader[i] = ini.ReadString("Lang", "ColHeader" + std::to_string(i), "");
}

// Substitutes the first "%d" only; the texts come from a file, so no printf on them.
static std::string FormatCount(const std::string& pattern, int n) {
  std::string s = pattern;
  size_t p = s.find("%d");
  if (p != std::string::npos) s.replace(p, 2, std::to_string(n));
  return s;
}

std::string TmyLangString::ClientText(int n) const {
  std::string pattern = ClientConn.find("%d") == std::string::npos ? "%d " + ClientConn : ClientConn;
  return FormatCount(pattern, n);
}

std::string TmyLangString::CountdownText(int seconds) const { return FormatCount(IOCfgModify, seconds); }

TMainWindow::TMainWindow(TZelMain& main, TMainShell& shell) : main_(main), shell_(shell) {}

TMainWindow::~TMainWindow() = default;

void TMainWindow::Create(std::unique_ptr<TUaServerHost> ua, bool hasUser) {
  CloseMode = 0;
  Lang.Load(g_AppDir + "/uiinfo.ini");
  if (!KeepModbusPort) g_ModbusPort = 0;  // the Modbus listener stays off
  main_.SetCloser(this);
  ua_ = std::move(ua);
  if (ua_) {
    std::string status = "OPCUA端口:" + std::to_string(ua_->Port());
    if (hasUser) status += "(User/Pass)";
    shell_.SetStatusText(status);
  }
  g_TimersBlocked = false;
}

void TMainWindow::BaseTick(int64_t now) {
  if (g_TimersBlocked || baseGuard_) return;
  baseGuard_ = true;
  // An exception below leaves the guard set: the base tick stays silent until the timed
  // close that the exception starts ends the process.
  if (g_StartHidden) g_StartHidden = false;
  if (ua_) {
    if (!uaStarted_) {
      uaStarted_ = true;
      if (!ua_->Start()) {
        baseGuard_ = false;
        RequestClose(2);  // the OPC UA server goes with the window
        return;
      }
      shell_.HideToTray();
    }
    ua_->RunStep();
  }
  main_.RunTick(now);
  // Values the tick applied go out to the clients now rather than one tick later.
  if (ua_ && uaStarted_ && ua_->HasPendingUpdates()) ua_->RunStep();
  baseGuard_ = false;
}

TUaServerHost::TWait TMainWindow::UaWait() {
  if (!ua_ || !uaStarted_ || g_TimersBlocked || Closed || baseGuard_) return {};
  return ua_->Wait();
}

void TMainWindow::UaEvent() {
  if (!ua_ || !uaStarted_ || g_TimersBlocked || Closed || baseGuard_) return;
  // Shares the base tick's guard: an exception leaves it set, as there.
  baseGuard_ = true;
  ++UaEventSteps;
  ua_->RunStep();
  baseGuard_ = false;
}

void TMainWindow::ScanTick() {
  if (g_TimersBlocked) return;
  ScanOPCServers();
}

void TMainWindow::ClientCountTick() {
  if (g_TimersBlocked || Closed) return;
  bool changed = false;
  int n = GetServersCount();
  if (n != LastDaCount) {
    LastDaCount = n;
    shell_.SetClientLabel(false, "OPCDA:" + Lang.ClientText(n));
    changed = true;
  }
  if (ua_) {
    int u = ua_->ClientCount();
    if (u != LastUaCount) changed = true;
    LastUaCount = u;
    shell_.SetClientLabel(true, "OPCUA:" + Lang.ClientText(u));
  }
  if (changed) return;
  if (g_KeepRunning || LastDaCount != 0 || ua_) return;
  LogSys("OpcNoClient_SysClose");
  RequestClose(2);
}

void TMainWindow::ScheduleClose(int seconds) {
  Countdown = seconds;
  shell_.EnableSecondTimer(true);
  shell_.SetMessageLabel("(" + Lang.CountdownText(Countdown) + ")");
}

void TMainWindow::SecondTick() {
  if (g_TimersBlocked || Closed) return;
  if (Countdown > 0) --Countdown;
  shell_.SetMessageLabel("(" + Lang.CountdownText(Countdown) + ")");
  if (Countdown == 0) {
    shell_.EnableSecondTimer(false);
    shell_.SetMessageLabel("(" + Lang.SaveIOCfg + ")");
    main_.SavePrjFile(g_PrjFileName);
    RequestClose(2);
  }
}

void TMainWindow::RequestClose(int mode) {
  CloseMode = mode;
  CloseQuery();
}

bool TMainWindow::CloseQuery() {
  if (Closed) return true;
  if (shell_.CtrlDown()) CloseMode = 2;
  if (CloseMode == 1) {
    if (TSysOP.ClosePass.empty()) {
      CloseMode = 2;
    } else {
      std::string answer;
      const bool confirmed = AskText("请输入退出密码", answer);
      // A desktop dialog runs the timers meanwhile: a close they made stands.
      if (Closed) return true;
      if (confirmed && answer == TSysOP.ClosePass) {
        CloseMode = 2;
      } else {
        CloseMode = 0;
        ErrorBox("密码错误!");
      }
    }
  }
  if (CloseMode != 2) {
    CloseMode = 0;
    shell_.HideToTray();
    return false;
  }
  ua_.reset();  // the OPC UA server goes with the window
  Destroy();
  return true;
}

void TMainWindow::Destroy() {
  if (Closed) return;
  Closed = true;
  RefreshRegCache(main_);
  SaveRegCacheFile(main_.RegCache, g_RegCacheFileName);
  shell_.Quit();
}

void TMainWindow::OnException(const std::string& what) {
  std::string msg = what + "\n" + LastExceptionStack();
  LogSys("Exception:" + msg);
  time_t t = time(nullptr);
  tm lt{};
#ifdef _WIN32
  localtime_s(&lt, &t);
#else
  localtime_r(&t, &lt);
#endif
  std::string entry = Format("[%04d-%02d-%02d,%02d:%02d:%02d]:\n", lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday,
                             lt.tm_hour, lt.tm_min, lt.tm_sec) +
                      msg;
  std::string old;
  ReadFileBytes(g_DataDir + "/ErrorLog.txt", old);
  WriteFileAtomic(g_DataDir + "/ErrorLog.txt", old + entry);
  ScheduleClose(20);
  ErrorBox(what);
}
