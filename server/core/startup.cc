#include "server/core/startup.h"

#include <cassert>
#include <stdexcept>

#include "common/config/app_paths.h"
#include "common/helpers/message_boxes.h"
#include "common/log/server_log.h"
#include "common/settings/sys_config.h"
#include "server/core/command_line.h"
#include "server/core/opc_registration.h"
#include "server/runtime/zel_main.h"

bool StartServer(int argc, const char* const* argv) {
  g_ServerLog.Open(kLogSourceServer);
  LogSys("ZelOpcServer_V3 Start!");
  // TLS 1.2 needs no system setting on Linux: EnableTls12 reports "nothing to do".
  InitAppPaths();
  if (gp_Main) throw std::logic_error("gp_Main == NULL (UnitOpcServerMain, 211)");
  gp_Main = std::make_unique<TZelMain>();
  ParseCommandLine(argc, argv);

  if (g_RegServer) {
    RegisterOpc("ZELOPC", "ZELOPC");
    if (RegisteredServerDir().empty()) ErrorBox("ZelOpcServer V3 注册失败!");
    return false;
  }
  if (!g_Embedding && g_ModbusPort == 0 && TSysOP.Enable == 0) return false;
  // The OPC layer's log sink (level 4) joins with the OPC DA layer when LogOPC is set.

  // The login cache, the project archive, the runtime variables and the namespace hook
  // are loaded here as their subsystems arrive.

  RegisterOpc("ZELOPC", "ZELOPC");
  if (!RegisteredServerDir().empty()) return true;
  InfoBox("OPC未成功注册!");
  return false;
}
