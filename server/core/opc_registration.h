// Registration of the OPC DA server classes in the registry layer, and the check that
// start-up makes through "ZelOpcServer3.ZELOPC": its Clsid, then that class's
// LocalServer32 program path.
#pragma once
#include <string>

inline constexpr const char* kServerClassId = "{6B1D9A52-3C7E-4F0A-9E21-5A8C0D3F7B11}";
inline constexpr const char* kGroupClassId = "{6B1D9A52-3C7E-4F0A-9E21-5A8C0D3F7B12}";
inline constexpr const char* kTypeLibId = "{6B1D9A52-3C7E-4F0A-9E21-5A8C0D3F7B10}";
inline constexpr const char* kServerProgId = "ZelOpcServer3.ZELOPC";

// Writes the ProgID, CLSID and LocalServer32 entries for the running program. Reports
// nothing; a failure shows only through RegisteredServerDir.
void RegisterOpc(const std::string& progId, const std::string& description);
// Directory of the registered server program, empty when none is registered.
std::string RegisteredServerDir();
