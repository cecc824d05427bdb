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
#include "common/log/server_log.h"
#include "common/platform/named_mutex.h"
#include "server/core/command_line.h"
#include "server/core/startup.h"
#include "server/opcua/ua_server.h"
#include "server/run_window.h"
#include "server/shell/headless_shell.h"
#include "server/ui/desktop.h"
#include "server/ui/modbus_form.h"
#include "common/qtui/qt_boxes.h"
#include "server/ui/qt_shell.h"
#include "server/ui/server_app.h"

namespace {
std::unique_ptr<TUaServerHost> BuildUa(TZelMain& main) { return BuildUAServer(main); }

void RunServer(TComStartMode comMode) {
  THeadlessShell shell;
  RunWindow(shell, comMode, BuildUa);
}

// The desktop front-end: the main window, its tray icon and Qt message boxes.
void RunDesktopServer(TComStartMode comMode) {
  TfrmOpcServer3Main form;
  TQtShell shell(form, *gp_Main);
  RunWindow(shell, comMode, BuildUa, [&form](TMainWindow& window, TfrmModbusTCP& modbus) {
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
