// Checks ZelOpcServer3.exe as a local COM server (run under Wine by
// scripts/test-windows.sh after "-RegServer"): the ProgIDs lead to the server class,
// activation starts the server with "-Embedding", two server objects of one client are
// served by one process, which stays while one of them is held and ends by itself after
// the last release. Prints one line per failed
// check; the exit code is the number of failures.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "com/com_ptr.h"
#include "com/opc_da.h"
#include "tests/windows/check_count.h"
#include "common/platform/named_mutex.h"
#include "server/core/startup.h"
#include "server/opcda/type_library.h"

namespace {

int ServerWindows() {
  int n = 0;
  HWND w = nullptr;
  while ((w = FindWindowExW(nullptr, w, L"TfrmOpcServer3Main", nullptr)) != nullptr) ++n;
  return n;
}

// Runs this apartment's messages for a while (the proxies' calls need them).
void Pump(DWORD ms) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < ms) {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    Sleep(20);
  }
}

bool StatusRunning(IOPCServer* server) {
  OPCSERVERSTATUS* status = nullptr;
  if (FAILED(server->GetStatus(&status)) || !status) return false;
  const bool ok = status->dwServerState == OPC_STATUS_RUNNING && status->szVendorInfo != nullptr &&
                  status->szVendorInfo[0] != 0;
  CoTaskMemFree(status->szVendorInfo);
  CoTaskMemFree(status);
  return ok;
}

void Run() {
  CLSID byName{}, byShortName{};
  Check(SUCCEEDED(CLSIDFromProgID(L"ZelOpcServer3.ZELOPC", &byName)) && IsEqualCLSID(byName, CLSID_ZELOPC),
        "ProgID ZelOpcServer3.ZELOPC names the server class");
  Check(SUCCEEDED(CLSIDFromProgID(L"ZELOPC", &byShortName)) && IsEqualCLSID(byShortName, CLSID_ZELOPC),
        "ProgID ZELOPC names the server class");
  Check(ServerWindows() == 0, "no server runs before the activation");

  zelcom::ComPtr<IOPCServer> first, second;
  HRESULT hr = CoCreateInstance(CLSID_ZELOPC, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, first.ReceiveVoid());
  if (FAILED(hr)) {
    std::printf("FAILED: activation of the server class (0x%08lx)\n", static_cast<unsigned long>(hr));
    ++CheckFailures();
    return;
  }
  Check(StatusRunning(first.Get()), "first server object: status running with vendor text");
  Check(SUCCEEDED(CoCreateInstance(CLSID_ZELOPC, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                   second.ReceiveVoid())) &&
            StatusRunning(second.Get()),
        "second server object: status running");
  Check(ServerWindows() == 1, "one server process serves both objects");

  zelcom::ComPtr<IUnknown> group;
  OPCHANDLE hGroup = 0;
  DWORD rate = 0;
  Check(SUCCEEDED(second->AddGroup(L"check", TRUE, 1000, 1, nullptr, nullptr, 0x409, &hGroup, &rate,
                                   IID_IOPCItemMgt, group.Receive())) &&
            group,
        "AddGroup");
  // One client's release leaves the server to the other (the client count check runs
  // twice a second).
  first.Reset();
  Pump(2000);
  Check(ServerWindows() == 1 && NamedMutexHeld(kServerMutexName) && StatusRunning(second.Get()),
        "the server stays for the object still held");
  // The group first, then its server object, as clients do.
  group.Reset();
  second.Reset();

  // The end after the last release; bounded only so that a fault cannot hang the run.
  for (int i = 0; i < 600 && NamedMutexHeld(kServerMutexName); ++i) Pump(100);
  Check(!NamedMutexHeld(kServerMutexName) && ServerWindows() == 0, "the server ends after the last release");
}
}  // namespace

int main() {
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
    std::printf("FAILED: CoInitializeEx\n");
    return 1;
  }
  Run();
  CoUninitialize();
  return CheckFailures();
}
