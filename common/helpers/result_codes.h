// The server result codes that login and data servers send in error answers.
#pragma once
#include <string>

enum TServerResult : int {
  srOK = 0, srZelID = 1, srPassBlank = 2, srPassError = 3, srRsvd4 = 4, srNotSupport = 5,
  srSysDisable = 6, srIODevError = 7, srSessionID = 8, srNoInfo = 9, srModeTrans = 10,
  srModeNonTrans = 11, srWrite = 12, srWriteValue = 13, srNoConn = 14, srClientCount = 15,
  srParamError = 16, srInternalError = 17, srPassLocked = 18, srPassDisable = 19,
  srPriDisable = 20, srGroupNameError = 21, srAlarmGroupNameError = 22, srNoChange = 23,
  srDeviceBusy = 24, srUnknown = 25,
};

// User text of a code: 4096..8190 give "#InternalERROR#%04X"; other codes above 25 or
// below 0 count as 25 ("#UNKNOWN_ERROR").
std::string ResultText(int code);
// Name of a code ("OK", "ZelID", ..., "#ERROR#").
std::string ResultName(int code);
