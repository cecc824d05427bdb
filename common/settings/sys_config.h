// The settings record TSysOP, filled once at start from config.ini ([SYS] and [OPCUA]).
// Nothing re-reads it while a program runs: a changed config.ini counts at the next start.
#pragma once
#include <cstdint>
#include <string>

struct TSysOPRecord {
  int32_t ForceXML = 0;
  int32_t LogOPC = 0;
  int32_t LogWebR = 0;
  int32_t LogWebW = 0;
  int32_t LogWebErr = 0;
  int32_t WriteMaxLen = 0;
  int32_t RetryAttempts = 0;  // POST attempts of one batch, from [SYS] ErrorRetrySec
  int32_t Enable = 0;
  int32_t KeepUARun = 0;
  int32_t Port = 0;
  int32_t DispAddFolder = 0;
  int32_t LogLevel = 0;
  int32_t AutoTrust = 0;  // trust a new OPC UA client certificate on first use
  int32_t AllowNone = 1;  // 0: the OPC UA server offers and accepts no SecurityPolicy None
  std::string ClosePass;
  std::string User;
  std::string Pass;
};

// The one settings record of the process.
extern TSysOPRecord TSysOP;

// Fills `op` from the settings file (TSysOP when not given). A missing file leaves the
// record at the "no config" values: LogWebErr 1, RetryAttempts 21, WriteMaxLen 32.
void LoadSysConfig(const std::string& fileName, TSysOPRecord& op = TSysOP);

// ErrorRetrySec in seconds to POST attempts: 1 up to 20 s, else (s - 20) / 2 + 1.
int32_t RetryAttemptsFromSeconds(int32_t seconds);
