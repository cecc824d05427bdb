// Start at user logon: the server's and the manager's Run values of the current user. The
// registry layer mirrors each Run value as an XDG autostart entry, which is what starts
// the programs on a Linux desktop.
#pragma once
#include <string>

inline constexpr const char* kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr const char* kRunServerName = "ZelOpcServerUA";   // starts the server
inline constexpr const char* kRunMgrName = "ZelOpcServerUA_Mgr";  // starts the manager too

std::string ServerRunData();  // g_AppDir + "/ZelOpcServer3"
std::string MgrRunData();     // g_AppDir + "/ZelOpcMgr3"

// True when the Run key (created when missing) holds the server's value with exactly
// ServerRunData() and its autostart entry exists; false when the key cannot be made.
bool IsAutoStartSet();

// Writes or deletes the two values: the manager's only with both `autostart` and `keep`.
// False when the key cannot be made, a change cannot be stored or its autostart entry
// did not follow, and when autostart is switched off while the server's value is missing.
bool SetAutoStart(bool autostart, bool keep);
