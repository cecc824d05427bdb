#include "server/core/startup.h"

#include <cassert>
#include <stdexcept>

#include "common/config/app_paths.h"
#include "common/config/reg_cache.h"
#include "common/link/data_server.h"
#include "common/platform/clock.h"
#include "common/platform/paths.h"
#include "common/helpers/message_boxes.h"
#include "common/log/server_log.h"
#include "common/settings/sys_config.h"
#include "server/core/command_line.h"
#include "server/core/opc_registration.h"
#include "server/core/server_info.h"
#include "server/modbus/modbus_window.h"
#include "server/namespace/name_space.h"
#include "server/opcda/opc_util.h"
#include "server/runtime/zel_main.h"

namespace {
constexpr int64_t kCacheLoadAgeMs = 360000;

void InitServerNamespace(TNxBaseOPCServer* server) {
  if (!gp_Main) throw std::logic_error("gp_Main != NULL (UnitOpcServerMain, 478)");
  InitServerFromMain(server);
}
}  // namespace

bool StartServer(int argc, const char* const* argv) {
  g_ServerLog.Open(kLogSourceServer);
  LogSys("ZelOpcServer_V3 Start!");
  // TLS 1.2 needs no system setting on Linux: EnableTls12 reports "nothing to do".
  if (std::string error; !InitAppPaths(&error)) {
    ErrorBox(error);
    return false;
  }
  if (!g_DataServerMgr) g_DataServerMgr = std::make_unique<TDataServerMgr>();
  if (gp_Main) throw std::logic_error("gp_Main == NULL (UnitOpcServerMain, 211)");
  gp_Main = std::make_unique<TZelMain>();
  ParseCommandLine(argc, argv);
  // [MODBUS] Enable=1 (our addition) gives a port as "-M" would; NoError=1 as "-MBNOERROR".
  ApplyModbusOptions(LoadModbusOptions(g_CfgFileName), g_ModbusPort, g_ModbusNoError);

  if (g_RegServer) {
    RegisterOpc("ZELOPC", "ZELOPC");
    if (RegisteredServerDir().empty()) ErrorBox("ZelOpcServer V3 注册失败!");
    return false;
  }
  // The class runtime's own registry modes end here in every configuration, before a
  // normal start would register the program once more.
  const TComStartMode comMode = ComStartModeFromArgs(argc, argv);
  if (comMode != TComStartMode::Normal && !StartedByCom(comMode)) {
    ApplyRegistrationMode(comMode);
    return false;
  }
  if (!g_Embedding && g_ModbusPort == 0 && TSysOP.Enable == 0) return false;
  if (TSysOP.LogOPC) g_POpcLogFun = [](const std::string& text) { LogWebRead(text); };
  if (FileExists(g_RegCacheFileName)) LoadRegCacheFile(gp_Main->RegCache, g_RegCacheFileName, NowMs() - kCacheLoadAgeMs);
  if (FileExists(g_PrjFileName)) (void)gp_Main->LoadPrjFile(g_PrjFileName);
  ApplySavedPasswords(*gp_Main);
  gp_Main->BuildRuntime();
  g_PInitServer = InitServerNamespace;

  RegisterOpc("ZELOPC", "ZELOPC");
  if (!RegisteredServerDir().empty()) return true;
  InfoBox("OPC未成功注册!");
  return false;
}
