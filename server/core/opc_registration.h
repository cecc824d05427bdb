// Registration of the OPC DA server classes: the five creatable classes with their class
// factories, their registry entries (under HKCR, or HKCU\Software\Classes for the
// per-user forms), the type library's records, the OPC DA 2.0 component category, and the
// check that start-up makes through "ZelOpcServer3.ZELOPC": its Clsid, then that class's
// LocalServer32 program path. Written against the registry layer and the COM API only, so
// the same code serves the system registry on Windows.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "common/helpers/registered_server.h"
#include "common/platform/registry.h"
#include "server/opcda/com_server.h"

inline constexpr const char* kServerClassId = "{6B1D9A52-3C7E-4F0A-9E21-5A8C0D3F7B11}";
inline constexpr const char* kGroupClassId = "{6B1D9A52-3C7E-4F0A-9E21-5A8C0D3F7B12}";
inline constexpr const char* kTypeLibId = "{6B1D9A52-3C7E-4F0A-9E21-5A8C0D3F7B10}";
inline constexpr const char* kOpcDa20CategoryText = "OPC Data Access Servers Version 2.0";

// Where class entries go: HKCR itself, or a per-user classes key.
struct TClassesRoot {
  TRegRoot Root = TRegRoot::HKCR;
  std::string Prefix;  // "" or "Software\\Classes\\"
  static TClassesRoot Machine() { return {}; }
  static TClassesRoot PerUser() { return {TRegRoot::HKCU, "Software\\Classes\\"}; }
};

// The server, group and the three enumerator classes, in that order.
const std::vector<TComClassInfo>& OpcClasses();
std::string ClassProgId(const TComClassInfo& c);

// The registration of the running program (ProgID and Description: "ZELOPC" at start-up).
// Reports nothing; a failure shows only through RegisteredServerDir.
void RegisterOpc(const std::string& progId, const std::string& description);
// The same for a given program path (tests, and the path rule for spaces).
void RegisterOpcAt(const std::string& progId, const std::string& description, const std::string& exePath);

// The class runtime's own update: every class's entries and the type library's records;
// false at the first failed write (what was written stays).
bool UpdateClassRegistry(const std::string& exePath, const TClassesRoot& where);
// Removes what registration wrote for this program: the classes' and the type library's
// entries, and the "ZELOPC" ProgID when it names our server class. The OPC DA 2.0
// category itself stays: other servers on the machine are listed in it.
void UnregisterOpc(const TClassesRoot& where);
// Runs the registry part of a -REGSERVER/-UNREGSERVER start mode (per-user forms included).
void ApplyRegistrationMode(TComStartMode mode);

// LocalServer32 text for a program path: its short form where the platform has one, and
// quoted when it still holds a blank, so the path cannot be read as a shorter program
// with arguments.
std::string LocalServerText(const std::string& exePath);

// The program as a running COM server, from the main loop's start to its end: the class
// objects of OpcClasses() registered and resumed, and the lifetime of the start mode
// (onLastRelease: a COM-started process's last object went).
class TOpcComServer {
 public:
  TOpcComServer(TComStartMode mode, std::function<void()> onLastRelease);
  ~TOpcComServer();
  TOpcComServer(const TOpcComServer&) = delete;
  TOpcComServer& operator=(const TOpcComServer&) = delete;
  size_t ClassObjects() const { return objects_.Count(); }

 private:
  TComClassObjects objects_;
};
