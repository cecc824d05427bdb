#include "tests/unit/opcua/fake_uaclib.h"

TFakeUa g_FakeUa;

namespace {
std::string Text(const char* s) { return s ? s : "<null>"; }
}  // namespace

extern "C" {
uint32_t uaInitLib(uasLogFun, int) {
  ++g_FakeUa.initCalls;
  return 0;
}
uasHandle uasNewServer(int port, const TuasServerConfig* c, uasWriteFun onWrite) {
  g_FakeUa.port = port;
  g_FakeUa.config = *c;
  g_FakeUa.user = Text(c->userName);
  g_FakeUa.pass = Text(c->password);
  g_FakeUa.manufacturer = Text(c->manufacturerName);
  g_FakeUa.product = Text(c->productName);
  g_FakeUa.uri = Text(c->applicationUri);
  g_FakeUa.version = Text(c->softwareVersion);
  g_FakeUa.onWrite = onWrite;
  return reinterpret_cast<uasHandle>(&g_FakeUa);
}
uint32_t uasAddNameSpace(uasHandle, TuasVarDef** defs, int n, TuasFolder** folders, int nf) {
  for (int i = 0; i < n; ++i) {
    defs[i]->node = uint64_t(1000 + i);
    g_FakeUa.defs.push_back(*defs[i]);
  }
  for (int i = 0; i < nf; ++i) {
    g_FakeUa.folders.push_back(*folders[i]);
    g_FakeUa.folderNames.push_back(Text(folders[i]->name));
  }
  return 0;
}
uint32_t uasRunStart(uasHandle) { return g_FakeUa.runStartResult; }
uint32_t uasRunIntv(uasHandle, TuasRunStats* stats, int) {
  ++g_FakeUa.runs;
  stats->clients = 2;
  return 0;
}
uint32_t uasUpdateVar(uasHandle, TuasUpdateItem** items, int n) {
  auto& call = g_FakeUa.updates.emplace_back();
  g_FakeUa.updateValues.clear();
  for (int i = 0; i < n; ++i) {
    call.emplace_back(items[i]->node, items[i]->status);
    g_FakeUa.updateValues.push_back(*items[i]->value);
  }
  return 0;
}
const char* uasGetErrorInfo(uasHandle) { return "fake"; }
void uasDelServer(uasHandle) { g_FakeUa.deleted = true; }
int uasGetPort(uasHandle) { return g_FakeUa.port; }
uint32_t uasSetAllowNone(uasHandle, int allow) {
  g_FakeUa.allowNone = allow;
  return 0;
}
uint32_t uasSetCertificateCheck(uasHandle, uasCertCheckFun check, void* context) {
  g_FakeUa.certCheck = check;
  g_FakeUa.certCheckContext = context;
  return 0;
}
uint32_t uasGetWaitInfo(uasHandle, TuasWaitInfo* info, int) {
  *info = g_FakeUa.wait;
  return 0;
}
}
