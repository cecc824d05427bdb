// The registry of the programs: one file-backed store with the roots HKCR, HKCU and HKLM,
// kept at <data root>/ZelOPC3.registry so both programs (and every test with its own
// ZELOPC_DATA_ROOT) share one. Key paths use '\' and compare without regard to letter
// case; the default value of a key has the empty name. Every change is read-modify-write
// under a file lock and lands by atomic rename, so a reader never sees half a file.
// Values of HKCU\Software\Microsoft\Windows\CurrentVersion\Run are mirrored as XDG
// autostart entries, so start at logon happens on Linux desktops too.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
// The system headers name their wide functions by macros of these names; undone here,
// whatever is included first, so every file means the same functions below.
#include <windows.h>
#undef RegCreateKey
#undef RegDeleteKey
#undef RegDeleteValue
#endif

enum class TRegRoot { HKCR, HKCU, HKLM };

std::string RegistryFileName();

[[nodiscard]] bool RegReadString(TRegRoot root, std::string_view key, std::string_view name, std::string& value);
[[nodiscard]] bool RegKeyExists(TRegRoot root, std::string_view key);
bool RegCreateKey(TRegRoot root, std::string_view key);
bool RegWriteString(TRegRoot root, std::string_view key, std::string_view name, std::string_view value);
bool RegDeleteValue(TRegRoot root, std::string_view key, std::string_view name);
bool RegDeleteKey(TRegRoot root, std::string_view key);  // with its sub keys
std::vector<std::string> RegValueNames(TRegRoot root, std::string_view key);

// Where the autostart mirror of a Run value goes ($XDG_CONFIG_HOME or ~/.config).
std::string AutostartFileName(std::string_view valueName);
