// Link states and project error codes with their texts, shown in the status display and
// in the head of project log lines. The server may replace the texts at start from its
// user-interface text file; the tables are written only then, before other threads run.
#pragma once
#include <string>

enum TNetState : int {
  ncsIdle = 0,
  ncsDone = 1,
  ncsError = 2,
  ncsEnum = 3,
  ncsStartRW = 4,
  ncsRunning = 5,
  ncsReLogin = 6,
};

enum TNetError : int {
  nceNone = 0,
  nceNetwork = 1,
  nceDeviceId = 2,
  ncePassword = 3,
  nceVarConfig = 4,
  nceNotSupported = 5,
  nceTransparent = 6,
  nceTooManyConn = 7,
  nceDeviceConn = 8,
};

// What the data link does for a project.
enum TLinkMode : int {
  lmNone = 0,
  lmRefresh = 1,       // the manager's refresh: enumerate, then idle
  lmForceRefresh = 2,  // the same, replacing the variable list even when unchanged
  lmRun = 3,           // the server: read and write after enumeration, retry after errors
};

constexpr int kNetStateCount = 7;
constexpr int kNetErrorCount = 9;

// "#ERROR" outside 0..6.
std::string StateText(int state);
// "#错误" outside 0..8; nceNetwork adds "#" and |httpCode| when httpCode is not 0.
std::string ErrText(int errCode, int httpCode = 0);

// Replacements from the user-interface text file (index in range only).
void SetStateText(int state, const std::string& text);
void SetErrText(int errCode, const std::string& text);
