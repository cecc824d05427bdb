// ZelOpcServer3: the gateway process. One instance per machine and user session; it
// starts, then runs until a close request or a signal ends it.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>

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
#include "server/core/startup.h"
#include "server/modbus/modbus_window.h"
#include "server/opcda/da2.h"
#include "server/opcua/ua_server.h"
#include "server/runtime/zel_main.h"
#include "server/shell/headless_shell.h"

namespace {
// The main loop: the window logic in the headless shell until the window closes.
void RunServer() {
  THeadlessShell shell;
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
  shell.Run(window);
  // Data servers end first: their threads refer to the projects.
  g_DataServerMgr.reset();
  LogSys("ZelOpcServer_V3 Stop!");
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
  try {
    // Decided before the first log line, which comes before the command line is parsed;
    // parsing it again later sets the same flags.
    ApplyCommandTokens(ProgramTokens(argc, argv));
    g_ServerLog.SetStderrMirror(g_LogToStderr || StderrIsJournal(std::getenv("JOURNAL_STREAM")));
    if (!StartServer(argc, argv)) return 0;
    RunServer();
  } catch (...) {
    // Nothing escapes the start: the process ends quietly, as a failed start must.
    return 0;
  }
  return 0;
}
