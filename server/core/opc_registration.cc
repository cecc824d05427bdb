#include "server/core/opc_registration.h"

#include "common/helpers/file_helpers.h"
#include "common/platform/paths.h"
#include "common/platform/registry.h"

namespace {
constexpr const char* kServerDescription = "Zel Net OPC Server 3";

// The entries the class factory writes for the server class (and the group class).
bool RegisterFactory(const std::string& progId, const std::string& clsid, const std::string& description,
                     const std::string& exe) {
  const std::string key = "CLSID\\" + clsid;
  bool ok = RegWriteString(TRegRoot::HKCR, key, "", description);
  ok = RegWriteString(TRegRoot::HKCR, key + "\\LocalServer32", "", exe) && ok;
  ok = RegWriteString(TRegRoot::HKCR, progId, "", description) && ok;
  ok = RegWriteString(TRegRoot::HKCR, progId + "\\Clsid", "", clsid) && ok;
  ok = RegWriteString(TRegRoot::HKCR, key + "\\ProgID", "", progId) && ok;
  ok = RegWriteString(TRegRoot::HKCR, key + "\\Version", "", "3.0") && ok;
  ok = RegWriteString(TRegRoot::HKCR, key + "\\TypeLib", "", kTypeLibId) && ok;
  return ok;
}
}  // namespace

void RegisterOpc(const std::string& progId, const std::string& description) {
  const std::string exe = ExecutablePath();
  const std::string serverKey = std::string("CLSID\\") + kServerClassId;
  bool ok = RegWriteString(TRegRoot::HKCR, progId, "", description);
  ok = RegWriteString(TRegRoot::HKCR, progId + "\\CLSID", "", kServerClassId) && ok;
  ok = RegWriteString(TRegRoot::HKCR, progId + "\\OPC", "Vendor", "ZELOPC") && ok;
  ok = RegWriteString(TRegRoot::HKCR, serverKey, "", description) && ok;
  ok = RegWriteString(TRegRoot::HKCR, serverKey + "\\ProgID", "", progId) && ok;
  if (!ok) return;
  // The OPC DA 2.0 component category entry; the class factories' own entries follow
  // and leave the server class with its final description and ProgID.
  RegWriteString(TRegRoot::HKCR, serverKey + "\\Implemented Categories\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}", "",
                 "");
  RegisterFactory(kServerProgId, kServerClassId, kServerDescription, exe);
  RegisterFactory("ZelOpcServer3.OPCGroup", kGroupClassId, "", exe);
}

std::string RegisteredServerDir() {
  std::string clsid, exe;
  if (!RegReadString(TRegRoot::HKCR, std::string(kServerProgId) + "\\Clsid", "", clsid) || clsid.empty())
    return {};
  if (!RegReadString(TRegRoot::HKCR, "CLSID\\" + clsid + "\\LocalServer32", "", exe) || exe.empty()) return {};
  return LongPath(ExcludeTrailingSlash(ExtractFileDir(exe)));
}
