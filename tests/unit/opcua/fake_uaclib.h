// A recording stand-in for the OPC UA library, linked into the bridge's unit tests in its
// place: it keeps what the bridge hands over and lets a test play the client's write.
#pragma once
#include <string>
#include <vector>

#include "uaclib/uaclib.h"

struct TFakeUa {
  int initCalls = 0;
  int port = -1;
  TuasServerConfig config{};
  std::string user, pass, manufacturer, product, uri, version;
  uasWriteFun onWrite = nullptr;
  std::vector<TuasVarDef> defs;       // as handed over, node filled in
  std::vector<TuasFolder> folders;
  std::vector<std::string> folderNames;
  std::vector<std::vector<std::pair<uint64_t, uint32_t>>> updates;  // per call: node, status
  std::vector<double> updateValues;   // values of the last call
  uint32_t runStartResult = 0;  // what uasRunStart answers
  int runs = 0;
  TuasWaitInfo wait{-1, -1, {0, 0}};  // what uasGetWaitInfo answers
  bool deleted = false;
  uasCertCheckFun certCheck = nullptr;  // as installed, with its context
  void* certCheckContext = nullptr;
  int allowNone = -1;  // last uasSetAllowNone; -1: never called
};
extern TFakeUa g_FakeUa;
