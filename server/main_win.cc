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

// Held from just before the class objects are registered: tells a process that COM started
// beside this one that the class is about to be served.
const std::string kClassesMarker = std::string(kServerMutexName) + ".Classes";

// The instance check. A process that COM started while another instance runs does not end
// at once: Wine starts one process per activating client while the class is not registered
// yet, and a client whose process ends before the class is served gets E_NOINTERFACE
// although the other instance is about to serve it. So such a process waits until the
// other instance serves (and a little longer, for its client to find the class) or ends
// (then it serves itself).
bool AcquireInstance(TNamedMutex& instance, bool startedByCom) {
  if (instance.Acquire(kServerMutexName)) return true;
  if (!startedByCom) return false;
  constexpr int kStepMs = 100, kMaxWaitMs = 30000, kGraceMs = 3000;
  for (int waited = 0; waited < kMaxWaitMs; waited += kStepMs) {
    if (NamedMutexHeld(kClassesMarker)) {
      for (int grace = 0; grace < kGraceMs; grace += kStepMs) {
        Sleep(kStepMs);
        if (instance.Acquire(kServerMutexName)) return true;
      }
      return false;
    }
    Sleep(kStepMs);
    if (instance.Acquire(kServerMutexName)) return true;
  }
  return false;
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
  const TComStartMode comMode = ComStartModeFromArgs(argc, argv.data());
  if (!AcquireInstance(instance, StartedByCom(comMode))) return 0;  // another instance runs
  EnableExceptionStackTracking();
  SetApplicationTitle("ZelOpcServer");
  try {
    // Decided before the first log line, which comes before the command line is parsed.
    ApplyCommandTokens(ProgramTokens(argc, argv.data()));
    g_ServerLog.SetStderrMirror(g_LogToStderr);
    if (!StartServer(argc, argv.data())) return 0;
    TWin32Shell shell;
    if (!shell.Created()) {
      LogSys("ZelOpcServer_V3: the main window could not be created");
      return 0;
    }
    static TNamedMutex classesMarker;
    RunWindow(shell, comMode, BuildUa,
              [](TMainWindow&, TfrmModbusTCP&) { (void)classesMarker.Acquire(kClassesMarker); });
  } catch (...) {
    // Nothing escapes the start: the process ends quietly, as a failed start must.
    return 0;
  }
  return 0;
}
