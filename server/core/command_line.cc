#include "server/core/command_line.h"

#include "common/config/app_paths.h"
#include "common/platform/paths.h"
#include "common/platform/text.h"

bool g_RegServer = false;
bool g_Embedding = false;
bool g_KeepRunning = false;
bool g_StartHidden = false;
int32_t g_ModbusPort = 0;
int32_t g_ModbusNoError = 0;
bool g_LogToStderr = false;

const char* const kServerHelp =
    "Usage: ZelOpcServer3 [-REGSERVER] [-UNREGSERVER] [-EMBEDDING] [-K] [-H] [-M [port]] [-MBNOERROR] [-LOG]\n"
    "The ZEL OPC gateway: polls the configured devices of the vendor cloud and serves their\n"
    "variables over OPC UA, OPC DA and Modbus TCP.\n"
    "\n"
    "Options are also read one per line from OpcServerParam.ini beside the program; letter\n"
    "case does not matter, '/' works like '-', other options are ignored.\n"
    "  -REGSERVER  register the OPC DA server and end\n"
    "  -UNREGSERVER  remove that registration again and end\n"
    "  -EMBEDDING  started by COM for OPC DA clients: runs while they are connected and\n"
    "              ends when the last one has released its objects\n"
    "  -K          keep running (also without clients), as a service does\n"
    "  -H          start with the main window hidden\n"
    "  -M [port]   serve Modbus TCP on the port (502 when none is given)\n"
    "  -MBNOERROR  Modbus requests on failed or missing variables answer 0, not an exception\n"
    "  -LOG        every log line also on stderr with the journal's priority prefixes\n"
    "              (as under systemd, where JOURNAL_STREAM names stderr)\n"
    "  --help      this text\n"
    "  --version   the program's version\n"
    "\n"
    "Without -K, -EMBEDDING, a Modbus port or [OPCUA] Enable=1 in config.ini the process\n"
    "ends at once. SIGTERM or SIGINT end it cleanly.\n"
    "\n"
    "Environment:\n"
    "  ZELOPC_DATA_ROOT  the data directory is $ZELOPC_DATA_ROOT/ZelOPC3 (else\n"
    "                    $XDG_DATA_HOME/ZelOPC3, else ~/.local/share/ZelOPC3)\n"
    "  ZELOPC_LOG_PORT   UDP port of the log datagrams (910)\n"
    "  XDG_RUNTIME_DIR   where the instance lock and the window socket live (else /tmp)\n";

void ResetCommandLineFlags() {
  g_RegServer = g_Embedding = g_KeepRunning = g_StartHidden = false;
  g_ModbusPort = 0;
  g_ModbusNoError = 0;
  g_LogToStderr = false;
}

std::vector<std::string> BuildTokenList(const std::string& paramFile, int argc, const char* const* argv) {
  std::vector<std::string> tokens;
  std::string bytes;
  if (!paramFile.empty() && ReadFileBytes(paramFile, bytes)) {
    // Read as the INI files are: a mark is not part of the first option.
    bytes = DecodeTextFile(bytes);
    size_t pos = 0;
    while (pos < bytes.size()) {
      size_t end = bytes.find('\n', pos);
      if (end == std::string::npos) end = bytes.size();
      std::string line = bytes.substr(pos, end - pos);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      tokens.push_back(line);
      pos = end + 1;
    }
  }
  for (int i = 1; i < argc; ++i) tokens.emplace_back(argv[i]);
  return tokens;
}

void ApplyCommandTokens(const std::vector<std::string>& tokens) {
  for (size_t i = 0; i < tokens.size(); ++i) {
    std::string t = UpperCase(Trim(tokens[i]));
    if (t.empty() || (t[0] != '-' && t[0] != '/')) continue;
    std::string opt = t.substr(1);
    if (opt == "REGSERVER") {
      g_RegServer = true;
    } else if (opt == "EMBEDDING") {
      g_Embedding = true;
    } else if (opt == "K") {
      g_Embedding = true;
      g_KeepRunning = true;
    } else if (opt == "H") {
      g_StartHidden = true;
    } else if (opt == "M") {
      int32_t port = 502;
      if (i + 1 < tokens.size()) {
        // A number is consumed even when out of range; anything else stays a token.
        if (auto v = TryDecimalToInt(UpperCase(Trim(tokens[i + 1])))) {
          ++i;
          if (*v >= 0 && *v <= 65535) port = *v;
        }
      }
      g_ModbusPort = port;
    } else if (opt == "MBNOERROR") {
      g_ModbusNoError = 1;
    } else if (opt == "LOG") {
      g_LogToStderr = true;
    }
  }
}

std::vector<std::string> ProgramTokens(int argc, const char* const* argv) {
  return BuildTokenList(ExtractFileDir(ExecutablePath()) + "/OpcServerParam.ini", argc, argv);
}

void ParseCommandLine(int argc, const char* const* argv) {
  SetCurrentDir(ExtractFileDir(ExecutablePath()));
  ApplyCommandTokens(ProgramTokens(argc, argv));
}
