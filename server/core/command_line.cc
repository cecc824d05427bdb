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

void ResetCommandLineFlags() {
  g_RegServer = g_Embedding = g_KeepRunning = g_StartHidden = false;
  g_ModbusPort = 0;
  g_ModbusNoError = 0;
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
    }
  }
}

void ParseCommandLine(int argc, const char* const* argv) {
  const std::string dir = ExtractFileDir(ExecutablePath());
  SetCurrentDir(dir);
  ApplyCommandTokens(BuildTokenList(dir + "/OpcServerParam.ini", argc, argv));
}
