// Start of the server process, up to the moment the main loop takes over.
#pragma once

#include <string_view>

// The OPC layer's log sink; null while OPC logging is off ([SYS] LogOPC).
using TOpcLogFun = void (*)(std::string_view text);
extern TOpcLogFun g_POpcLogFun;
// Called when an OPC DA server object initialises: builds its namespace. The argument is
// the server object (the OPC DA layer's type).
using TInitServerFun = void (*)(void* server);
extern TInitServerFun g_PInitServer;

inline constexpr const char* kServerMutexName = "ZEL_Net_Opc_Server_V3_App";

// Runs the start sequence. True: go on into the main loop; false: end the process with
// exit code 0 (registration run, nothing to serve, failed registration check).
[[nodiscard]] bool StartServer(int argc, const char* const* argv);
