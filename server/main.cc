// ZelOpcServer3: the gateway process. One instance per machine and user session; it
// starts, then runs until a close request or a signal ends it.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>

#include <QApplication>

#include "common/helpers/message_boxes.h"
#include "common/helpers/program_info.h"
#include "common/log/exception_stack.h"
#include "common/link/data_server.h"
#include "common/log/server_log.h"
#include "common/platform/named_mutex.h"
#include "common/settings/sys_config.h"
#include "common/config/app_paths.h"
#include "server/core/command_line.h"
#include "server/core/main_window.h"
#include "server/core/opc_registration.h"
#include "server/core/startup.h"
#include "server/modbus/modbus_window.h"
#include "server/opcda/da2.h"
#include "server/opcua/ua_server.h"
#include "server/runtime/zel_main.h"
#include "server/shell/headless_shell.h"
#include "server/ui/desktop.h"
#include "server/ui/modbus_form.h"
#include "common/qtui/qt_boxes.h"
#include "server/ui/qt_shell.h"
#include "server/ui/server_app.h"

namespace {
// The window logic in a shell (headless or desktop) until the window closes. `created`
// runs after the window's creation, for the desktop window's own parts.
template <class Shell>
void RunWindow(Shell& shell, TComStartMode comMode,
               const std::function<void(TMainWindow&, TfrmModbusTCP&)>& created = {}) {
  // OPC DA server objects point into the projects' variables: they go on every way out,
  // before the runtime (gp_Main) is destroyed at static destruction.
  struct TEndOpcServers {
    ~TEndOpcServers() { KillOPCServers(); }
  } endOpcServers;
  // The data servers end before the shell on every way out, a throwing start-up
  // included: their worker threads call the batch-done hook, which refers to the shell.
  struct TEndDataServers {
    ~TEndDataServers() { g_DataServerMgr.reset(); }
  } endDataServers;
  // A finished batch is applied at once, not up to one base tick later.
  if (g_DataServerMgr) g_DataServerMgr->SetBatchDoneHook([&shell] { shell.RequestBaseTick(); });
  TMainWindow window(*gp_Main, shell);
  // The OPC UA server is built with the window (when enabled) and goes with it.
  const TModbusOptions modbusOptions = LoadModbusOptions(g_CfgFileName);
  window.KeepModbusPort = modbusOptions.Enable;
  window.Create(BuildUAServer(*gp_Main), !TSysOP.User.empty());
  // The Modbus window's register requests run as tasks of the main loop.
  TfrmModbusTCP modbus(*gp_Main, [&shell](std::function<void()> task) { shell.Post(std::move(task)); });
  if (!modbus.Create(g_ModbusPort, g_ModbusNoError != 0, modbusOptions)) g_StartHidden = false;
  if (!modbus.StartText.empty()) shell.SetMessageLabel(modbus.StartText);
  if (created) created(window, modbus);
  // The class objects; a COM-started process ends when its last object goes, as a quit
  // of the main loop (the window is destroyed as on any end: the login cache is saved).
  TOpcComServer comServer(comMode, [&shell, &window] { shell.Post([&window] { window.Destroy(); }); });
  shell.Run(window);
  // Data servers end first: their threads refer to the projects.
  g_DataServerMgr.reset();
  LogSys("ZelOpcServer_V3 Stop!");
}

void RunServer(TComStartMode comMode) {
  THeadlessShell shell;
  RunWindow(shell, comMode);
}

// The desktop front-end: the main window, its tray icon and Qt message boxes.
void RunDesktopServer(TComStartMode comMode) {
  TfrmOpcServer3Main form;
  TQtShell shell(form, *gp_Main);
  RunWindow(shell, comMode, [&form](TMainWindow& window, TfrmModbusTCP& modbus) {
    // The Modbus window shows only where a listener was asked for (its start or failure).
    if (g_ModbusPort != 0) form.PlaceModbus(new TModbusPanel(modbus));
    form.ApplyCreate(window.Lang, window.Ua() != nullptr);
    // Created visible but minimised, unless "-H" asked for a hidden start.
    if (!g_StartHidden) form.showMinimized();
  });
}
}  // namespace

int main(int argc, char** argv) {
  // Answered before the instance check, so they work while the server runs.
  if (AnswerInfoOption(argc, argv, "ZelOpcServer3", kServerHelp)) return 0;
  // Signals are taken by the main loop, never by a handler on a random thread.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  static TNamedMutex instance;
  if (!instance.Acquire(kServerMutexName)) return 0;  // another instance runs
  EnableExceptionStackTracking();
  SetApplicationTitle("ZelOpcServer");
  // Qt aborts without a display, so the choice comes before any Qt object.
  std::unique_ptr<TServerApplication> app;
  if (UseDesktopShell(argc, argv)) {
    app = std::make_unique<TServerApplication>(argc, argv);
    SetMessageBoxes(std::make_unique<TQtBoxes>());
  }
  try {
    // Decided before the first log line, which comes before the command line is parsed;
    // parsing it again later sets the same flags.
    ApplyCommandTokens(ProgramTokens(argc, argv));
    g_ServerLog.SetStderrMirror(g_LogToStderr || StderrIsJournal(std::getenv("JOURNAL_STREAM")));
    if (!StartServer(argc, argv)) return 0;
    const TComStartMode comMode = ComStartModeFromArgs(argc, argv);
    if (app) RunDesktopServer(comMode);
    else RunServer(comMode);
  } catch (...) {
    // Nothing escapes the start: the process ends quietly, as a failed start must.
    return 0;
  }
  return 0;
}
