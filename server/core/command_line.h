// The server's command line: the lines of "OpcServerParam.ini" beside the program (one
// token per line), then the process arguments. Options start with '-' or '/', compare
// whole and without regard to letter case; flags once set stay set.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

extern bool g_RegServer;        // -REGSERVER: register and end
extern bool g_Embedding;        // -EMBEDDING or -K: started for COM, keep running
extern bool g_KeepRunning;      // -K: never close for lack of clients
extern bool g_StartHidden;      // -H
extern int32_t g_ModbusPort;    // -M [port]; 0 = no Modbus server
extern int32_t g_ModbusNoError; // -MBNOERROR
extern bool g_LogToStderr;      // -LOG (ours): log lines also on stderr for the journal

// Token list: the parameter file's lines (when it exists), then args[1..].
std::vector<std::string> BuildTokenList(const std::string& paramFile, int argc, const char* const* argv);
// Walks the tokens and sets the flags.
void ApplyCommandTokens(const std::vector<std::string>& tokens);
// Makes the program directory current and applies its "OpcServerParam.ini" and argv.
void ParseCommandLine(int argc, const char* const* argv);
// The tokens of ParseCommandLine without changing the current directory.
std::vector<std::string> ProgramTokens(int argc, const char* const* argv);
// The help text of --help (also the manual page's source).
extern const char* const kServerHelp;
// Back to the start values (tests).
void ResetCommandLineFlags();
