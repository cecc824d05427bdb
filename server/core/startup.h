// Start of the server process, up to the moment the main loop takes over.
#pragma once

inline constexpr const char* kServerMutexName = "ZEL_Net_Opc_Server_V3_App";

// Runs the start sequence. True: go on into the main loop; false: end the process with
// exit code 0 (registration run, nothing to serve, failed registration check).
[[nodiscard]] bool StartServer(int argc, const char* const* argv);
