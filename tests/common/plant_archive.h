// The project archive a plant engineer would have after a first start on a cloudsim
// plant built by sim_plant.h: devices 1001.. with their passwords and display names,
// pointing at cloudsim, each with the given variable list and that list's fingerprint,
// so the server has nothing to relearn. No variables: no list and no fingerprint.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "common/config/cfg_file.h"
#include "tests/common/cloudsim_fixture.h"

inline bool WriteSimPlantArchive(const TCloudSim& sim, const std::string& file, int devices,
                                 const std::vector<TOpcCfgVar>& vars, std::string& error) {
  struct TCfg : TOpcCfgFile {
    std::unique_ptr<TOpcPrj> NewPrj() override { return std::make_unique<TOpcPrj>(); }
  } cfg;
  const std::string list = sim.Control("devices");
  for (int i = 1; i <= devices; ++i) {
    auto p = cfg.NewPrj();
    p->Name = std::to_string(1000 + i);
    p->Password = "pw" + std::to_string(i);
    p->DispName = "Dev" + std::to_string(i);
    p->CustServer = sim.LoginUrl();
    p->UseGroup = 1;
    if (!vars.empty()) {
      p->Vars = vars;
      size_t f = list.find("\"fingerprint\":\"", list.find("\"number\":\"" + p->Name + "\""));
      if (f == std::string::npos) {
        error = "no fingerprint for " + p->Name + " in " + list;
        return false;
      }
      f += 15;
      p->StrMD5 = list.substr(f, list.find('"', f) - f);
    }
    cfg.Prjs.push_back(std::move(p));
  }
  return cfg.SavePrjFileAs(file, ObjArFormat::BIN, error);
}
