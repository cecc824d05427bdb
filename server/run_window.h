// The server's life between start-up and end, the same on every front-end: the main
// window's logic, the Modbus window, the OPC UA bridge (when the build and the settings
// have it) and the COM class objects, run by a shell's message loop until the window
// closes. Used by the Linux and the Windows main of ZelOpcServer3.
#pragma once
#include <functional>
#include <memory>

#include "common/link/data_server.h"
#include "common/log/server_log.h"
#include "common/settings/sys_config.h"
#include "common/config/app_paths.h"
#include "server/core/command_line.h"
#include "server/core/main_window.h"
#include "server/core/opc_registration.h"
#include "server/modbus/modbus_window.h"
#include "server/opcda/da2.h"
#include "server/runtime/zel_main.h"

// Builds the OPC UA bridge for the runtime (null: none, by settings or by build).
using TUaServerFactory = std::function<std::unique_ptr<TUaServerHost>(TZelMain&)>;

// The window logic in a shell until the window closes. `created` runs after the window's
// creation, for a desktop window's own parts.
template <class Shell>
void RunWindow(Shell& shell, TComStartMode comMode, const TUaServerFactory& buildUa,
               const std::function<void(TMainWindow&, TfrmModbusTCP&)>& created = {}) {
  // OPC DA server objects point into the projects' variables: they go on every way out,
  // before the runtime (gp_Main) is destroyed at static destruction.
  struct TEndOpcServers {
    ~TEndOpcServers() { KillOPCServers(); }
  } endOpcServers;
  // The data servers end before the shell on every way out, a throwing start-up
  // included: their worker threads call the batch-done hook, which refers to the shell.
  struct TEndDataServers {
    ~TEndDataServers() { g_DataServerMgr.reset(); }
  } endDataServers;
  // A finished batch is applied at once, not up to one base tick later.
  if (g_DataServerMgr) g_DataServerMgr->SetBatchDoneHook([&shell] { shell.RequestBaseTick(); });
  TMainWindow window(*gp_Main, shell);
  // The OPC UA server is built with the window (when enabled) and goes with it.
  const TModbusOptions modbusOptions = LoadModbusOptions(g_CfgFileName);
  window.KeepModbusPort = modbusOptions.Enable;
  window.Create(buildUa ? buildUa(*gp_Main) : nullptr, !TSysOP.User.empty());
  // The Modbus window's register requests run as tasks of the main loop.
  TfrmModbusTCP modbus(*gp_Main, [&shell](std::function<void()> task) { shell.Post(std::move(task)); });
  if (!modbus.Create(g_ModbusPort, g_ModbusNoError != 0, modbusOptions)) g_StartHidden = false;
  if (!modbus.StartText.empty()) shell.SetMessageLabel(modbus.StartText);
  if (created) created(window, modbus);
  // The class objects; a COM-started process ends when its last object goes, as a quit
  // of the main loop (the window is destroyed as on any end: the login cache is saved).
  TOpcComServer comServer(comMode, [&shell, &window] {
    shell.Post([&window] {
      if (!ComServerInUse()) window.Destroy();
    });
  });
  shell.Run(window);
  // Data servers end first: their threads refer to the projects.
  g_DataServerMgr.reset();
  LogSys("ZelOpcServer_V3 Stop!");
}
