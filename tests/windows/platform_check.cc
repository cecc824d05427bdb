// Checks the Windows platform layer where it meets the real system (run under Wine by
// scripts/test-windows.sh): registry values and keys, the named mutex between two
// holders, files written atomically, the data root, random identifiers, process start
// with its output, and the main window found by class and caption answering message
// 1034. Prints one line per failed check; the exit code is the number of failures.
#include <windows.h>

#include <cstdio>
#include <string>
#include <thread>

#include "tests/windows/check_count.h"
#include "common/helpers/random_uid.h"
#include "common/helpers/run_capture.h"
#include "common/platform/named_mutex.h"
#include "common/platform/paths.h"
#include "common/platform/registry.h"
#include "common/platform/window_channel.h"

namespace {

void Registry() {
  const std::string key = "Software\\ZelPlatformCheck\\Sub";
  std::string v;
  Check(RegWriteString(TRegRoot::HKCU, key, "Name", "Wert \xC3\xA4\xE4\xB8\xAD"), "registry write");
  Check(RegReadString(TRegRoot::HKCU, key, "Name", v) && v == "Wert \xC3\xA4\xE4\xB8\xAD", "registry reads the UTF-8 text back");
  Check(RegWriteString(TRegRoot::HKCU, key, "", "default"), "registry default value");
  Check(RegValueNames(TRegRoot::HKCU, key).size() == 2, "registry lists both values");
  Check(RegDeleteValue(TRegRoot::HKCU, key, "Name") && !RegReadString(TRegRoot::HKCU, key, "Name", v),
        "registry value deleted");
  Check(RegDeleteKey(TRegRoot::HKCU, "Software\\ZelPlatformCheck") &&
            !RegKeyExists(TRegRoot::HKCU, "Software\\ZelPlatformCheck"),
        "registry key deleted with its sub keys");
  Check(!RegReadString(TRegRoot::HKCU, key, "Name", v), "registry read of a missing key fails");
}

void Mutex() {
  TNamedMutex first, second;
  Check(first.Acquire("ZelPlatformCheckMutex"), "first holder acquires");
  Check(NamedMutexHeld("ZelPlatformCheckMutex"), "mutex seen as held");
  bool other = true;
  // A second holder on another thread of the same process is refused as well.
  std::thread([&] { other = second.Acquire("ZelPlatformCheckMutex"); }).join();
  Check(!other, "second holder refused");
}

void Files() {
  const std::string dir = IncludeTrailingSlash(RuntimeDir()) + "zel check/sub dir";
  std::string error;
  Check(CreateDirPath(dir, 0755, 0755, error) && DirExists(dir), "folder path made");
  const std::string file = dir + "/a.txt";
  std::string back;
  Check(WriteFileAtomic(file, "one") && WriteFileAtomic(file, "two") && ReadFileBytes(file, back) && back == "two",
        "atomic write replaces the file");
  Check(ExtractFileName(file) == "a.txt" && ExtractFileExt(file) == ".txt", "path names with '/'");
  Check(ExecutablePath().find('\\') == std::string::npos && FileExists(ExecutablePath()),
        "executable path uses '/' and exists");
  Check(DeleteFileAt(file) && !FileExists(file), "file deleted");
  Check(!SharedDocumentsDir().empty(), "shared documents folder");
}

void RandomAndProcess() {
  TNxRandomUID a, b;
  Check(a.MakeUID().size() == 16 && a.MakeUID() != b.MakeUID(), "random identifiers");
  std::string out;
  Check(RunCapture("cmd.exe /c echo hello", out) && out.find("hello") != std::string::npos &&
            LastRunCaptureExitCode() == 0,
        "process output captured");
  Check(!RunCapture("Z:\\no\\such\\program.exe", out), "missing program fails");
}

void Window() {
  // A window of the main window's class answering 1034 with 7, on its own thread.
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread t([ready] {
    WNDCLASSW wc{};
    wc.lpfnWndProc = [](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
      if (m == 1034) {
        PostQuitMessage(0);
        return 7;
      }
      return DefWindowProcW(h, m, w, l);
    };
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TfrmOpcServer3Main";
    RegisterClassW(&wc);
    HWND h = CreateWindowW(L"TfrmOpcServer3Main", L"$ZEL_OPC_SERVER3$", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr,
                           nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!h) std::printf("window not made: error %lu\n", GetLastError());
    SetEvent(ready);
    MSG msg;
    while (h && GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    if (h) DestroyWindow(h);
  });
  WaitForSingleObject(ready, 10000);
  std::string answer;
  Check(FindWindowChannel("TfrmOpcServer3Main", "$ZEL_OPC_SERVER3$"), "window found by class and caption");
  Check(SendWindowMessage("TfrmOpcServer3Main", "$ZEL_OPC_SERVER3$", 1034, &answer, 10000) && answer == "7",
        "message 1034 answered");
  t.join();
  CloseHandle(ready);
  Check(!FindWindowChannel("TfrmOpcServer3Main", "other caption"), "other caption not found");
}
}  // namespace

int main() {
  Registry();
  Mutex();
  Files();
  RandomAndProcess();
  Window();
  std::printf("platform_check: %d failure(s)\n", CheckFailures());
  return CheckFailures();
}
