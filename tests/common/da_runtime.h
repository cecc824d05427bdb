// A small runtime for tests and fuzz targets of the OPC DA server objects: devices from a
// table, built as the server builds them, on request online with every value valid, and
// the item tree of each server object made while the runtime is the one served.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "common/config/opc_prj.h"
#include "common/log/link_texts.h"
#include "server/namespace/name_space.h"
#include "server/namespace/nx_server.h"
#include "server/runtime/zel_main.h"

struct TDaTestDevice {
  std::string dispName;
  int32_t useGroup = 0;
  std::vector<TOpcCfgVar> vars;  // name, group, type, read-only
};

class TDaTestRuntime {
 public:
  // online: every device linked (ncsRunning) and every value valid, as after a first read.
  explicit TDaTestRuntime(const std::vector<TDaTestDevice>& devices = {}, bool online = false) {
    for (const TDaTestDevice& d : devices) {
      auto p = main.NewPrj();
      p->DispName = d.dispName;
      p->UseGroup = d.useGroup;
      p->Vars = d.vars;
      main.Prjs.push_back(std::move(p));
    }
    main.BuildRuntime();
    for (size_t i = 0; online && i < main.PrjCount(); ++i) {
      main.SPrj(i).NetState = ncsRunning;
      for (auto& v : main.SPrj(i).Vars) v->Valid = true;
    }
  }
  TDaTestRuntime(const TDaTestRuntime&) = delete;
  TDaTestRuntime& operator=(const TDaTestRuntime&) = delete;
  // A runtime that goes away stops being served: no server object reads a dead one.
  ~TDaTestRuntime() {
    if (Served() != &main) return;
    g_PInitServer = nullptr;
    Served() = nullptr;
  }

  // Server objects made from now on build their item tree over this runtime.
  void Serve() {
    Served() = &main;
    g_PInitServer = &InitServer;
  }

  TZelMain main;

 private:
  // g_PInitServer takes no context: the served runtime is kept beside it.
  static TZelMain*& Served() {
    static TZelMain* served = nullptr;
    return served;
  }
  static void InitServer(TNxBaseOPCServer* s) { CreateOpcNameSpace(*Served(), *s); }
};
