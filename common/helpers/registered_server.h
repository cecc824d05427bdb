// Where the registered OPC DA server program lives, as the registry says: the default
// value of HKCR\ZelOpcServer3.ZELOPC\Clsid, then that class's LocalServer32 path. Both
// programs ask it (the server's start-up checks its own registration with it).
#pragma once
#include <string>

inline constexpr const char* kServerProgId = "ZelOpcServer3.ZELOPC";

// Directory of the registered server program (long form, no trailing separator), empty
// when none is registered. A quoted LocalServer32 path (one with a blank) is unquoted.
std::string RegisteredServerDir();
