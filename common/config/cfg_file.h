// The configuration object: the ordered project list persisted as ZelOpc.Dat, the login
// cache and the lists of projects the data link retries. Each program derives its own
// class and makes its own project class in NewPrj.
//
// ZelOpc.Dat as an archive tree:
//   root:  PRJ0, PRJ1, ... (one node per project), int Count
//   PRJi:  Name, int NoSavePass, EPass (only when NoSavePass is 0), DispName,
//          CustServer, int Server_RefreshDelayMS, int WriteOpt, node IO0
//   IO0:   Name (device name), StrMD5, int UseGroup, int Count, V0, V1, ...
//   Vi:    Name, Group, int Type, int RW
#pragma once
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/archive/obj_archive.h"
#include "common/config/opc_prj.h"
#include "common/config/reg_cache.h"

// The HTTP session of the logins, defined by the HTTP client.
class NxWinHTTP;

class TOpcCfgFile : public CNxLoadStoreAble {
 public:
  std::vector<std::unique_ptr<TOpcPrj>> Prjs;
  bool LoadedFromXML = false;
  // Session used only for logins (agent "ZelHTTP", no proxy). Made by the login code,
  // which also supplies the deleter, so this header needs only the declaration.
  std::unique_ptr<NxWinHTTP, void (*)(NxWinHTTP*)> LoginHttp{nullptr, nullptr};
  TRegCache RegCache;
  std::vector<TOpcPrj*> RetryList;    // logins that failed, retried every 20 s; not owning
  std::vector<TOpcPrj*> ReLoginList;  // projects that lost their session; not owning

  TOpcCfgFile() = default;
  TOpcCfgFile(const TOpcCfgFile&) = delete;
  TOpcCfgFile& operator=(const TOpcCfgFile&) = delete;

  void Serialize(CNxObjAr& ar) override;
  // A new, empty project of the program's own class.
  [[nodiscard]] virtual std::unique_ptr<TOpcPrj> NewPrj() = 0;
  ~TOpcCfgFile() override;

  // True when an archive of any format could be opened; the list is replaced.
  [[nodiscard]] bool LoadPrjFile(const std::string& path);
  // XML unless large (more than 20 projects or 2000 variables) and ForceXML is 0. The
  // new file is written beside the old one and renamed over it only when complete;
  // failures are shown in an error box.
  void SavePrjFile(const std::string& path);
  // The format SavePrjFile chooses for the current list.
  [[nodiscard]] ObjArFormat SaveFormat() const;
  // Index of the first project with exactly that Name, -1 when none.
  [[nodiscard]] int FindPrj(std::string_view name) const;

  // Writes through a given format (tools, conversions); false with a reason on failure.
  [[nodiscard]] bool SavePrjFileAs(const std::string& path, ObjArFormat format, std::string& error);
};
