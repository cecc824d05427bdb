#include "tools/cloudsim/gateway_config.h"

#include "common/config/cfg_file.h"

namespace {
class TPlantCfg : public TOpcCfgFile {
 public:
  std::unique_ptr<TOpcPrj> NewPrj() override { return std::make_unique<TOpcPrj>(); }
};
}  // namespace

bool WriteGatewayConfig(const std::vector<TSimDevice>& devices, const std::string& loginUrl, const std::string& path,
                        std::string& error) {
  TPlantCfg cfg;
  for (const TSimDevice& d : devices) {
    auto p = cfg.NewPrj();
    p->Name = d.number;
    p->Password = d.password;
    p->DispName = d.name;
    p->CustServer = loginUrl;
    p->StrMD5 = d.fingerprint;
    for (const TSimVar& v : d.vars) {
      // The gateway's type codes: 1 discrete, 2 integer, 3 analog; RW 1 is read-only.
      p->Vars.push_back({v.name, v.group, v.type == 'B' ? 1 : v.type == 'I' ? 2 : 3, v.access == 'R' ? 1 : 0});
      if (!v.group.empty()) p->UseGroup = 1;
    }
    cfg.Prjs.push_back(std::move(p));
  }
  return cfg.SavePrjFileAs(path, cfg.SaveFormat(), error);
}
