// The C API of uaclib.h (skeleton: every call answers, the server is not built yet).
#include "uaclib/uaclib.h"

namespace {
constexpr uint32_t kBadNotImplemented = 0x80400000u;
}

struct uasServer {
  int port = 0;
};

extern "C" {
uint32_t uaInitLib(uasLogFun, int) { return 0; }
uasHandle uasNewServer(int port, const TuasServerConfig*, uasWriteFun) {
  try {
    auto* s = new uasServer;
    s->port = port;
    return s;
  } catch (...) {
    return nullptr;
  }
}
uint32_t uasAddNameSpace(uasHandle, TuasVarDef**, int, TuasFolder**, int) { return 0; }
uint32_t uasRunStart(uasHandle) { return kBadNotImplemented; }
uint32_t uasRunIntv(uasHandle, TuasRunStats*, int) { return 0; }
uint32_t uasUpdateVar(uasHandle, TuasUpdateItem**, int) { return 0; }
const char* uasGetErrorInfo(uasHandle) { return "not implemented"; }
void uasDelServer(uasHandle h) { delete h; }
int uasGetPort(uasHandle) { return 0; }
}
