// ZelOpcServer3 on Windows: the gateway process with the hidden Win32 main window as its
// front-end. Its message loop is the main thread's single-threaded apartment, so the
// calls of OPC DA clients and the callbacks to them run there. Started by COM
// ("-Embedding") it ends after the last client released everything; "-RegServer" and
// "-UnRegServer" write or remove the system registry's entries and end. The command line
// is the Linux one.
#include <windows.h>
#include <shellapi.h>

#include <memory>
#include <string>
#include <vector>

#include "common/helpers/message_boxes.h"
#include "common/helpers/program_info.h"
#include "common/log/exception_stack.h"
#include "common/log/server_log.h"
#include "common/platform/named_mutex.h"
#include "common/platform/win_text.h"
#include "server/core/command_line.h"
#include "server/core/startup.h"
#include "server/run_window.h"
#include "server/shell/win32_shell.h"
#if ZEL_WITH_OPCUA
#include "server/opcua/ua_server.h"
#endif

namespace {
// The arguments as UTF-8: main's argv is in the ANSI code page, which cannot hold every
// path or project name.
std::vector<std::string> Utf8Arguments() {
  std::vector<std::string> out;
  int n = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &n);
  if (!wide) return out;
  for (int i = 0; i < n; ++i) out.push_back(NarrowText(wide[i]));
  LocalFree(wide);
  return out;
}

std::unique_ptr<TUaServerHost> BuildUa(TZelMain& main) {
#if ZEL_WITH_OPCUA
  return BuildUAServer(main);
#else
  (void)main;
  // This build has no OPC UA bridge (configured without it); the settings are kept.
  if (TSysOP.Enable != 0) LogSys("OPC UA: not part of this Windows build, [OPCUA] Enable ignored");
  return nullptr;
#endif
}
}  // namespace

int main() {
  const std::vector<std::string> args = Utf8Arguments();
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(args.size());

  // Answered before the instance check, so they work while the server runs.
  if (AnswerInfoOption(argc, argv.data(), "ZelOpcServer3", kServerHelp)) return 0;
  static TNamedMutex instance;
  if (!instance.Acquire(kServerMutexName)) return 0;  // another instance runs
  EnableExceptionStackTracking();
  SetApplicationTitle("ZelOpcServer");
  try {
    // Decided before the first log line, which comes before the command line is parsed.
    ApplyCommandTokens(ProgramTokens(argc, argv.data()));
    g_ServerLog.SetStderrMirror(g_LogToStderr);
    if (!StartServer(argc, argv.data())) return 0;
    const TComStartMode comMode = ComStartModeFromArgs(argc, argv.data());
    TWin32Shell shell;
    if (!shell.Created()) {
      LogSys("ZelOpcServer_V3: the main window could not be created");
      return 0;
    }
    RunWindow(shell, comMode, BuildUa);
  } catch (...) {
    // Nothing escapes the start: the process ends quietly, as a failed start must.
    return 0;
  }
  return 0;
}
