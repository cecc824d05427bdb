#include "common/helpers/registered_server.h"

#include "common/helpers/file_helpers.h"
#include "common/platform/paths.h"
#include "common/platform/registry.h"

std::string RegisteredServerDir() {
  std::string clsid, exe;
  if (!RegReadString(TRegRoot::HKCR, std::string(kServerProgId) + "\\Clsid", "", clsid) || clsid.empty())
    return {};
  if (!RegReadString(TRegRoot::HKCR, "CLSID\\" + clsid + "\\LocalServer32", "", exe) || exe.empty()) return {};
  if (exe.size() >= 2 && exe.front() == '"' && exe.back() == '"') exe = exe.substr(1, exe.size() - 2);
  // The system's form uses '\\'; the program's paths use '/'.
  for (char& c : exe)
    if (c == '\\') c = '/';
  return LongPath(ExcludeTrailingSlash(ExtractFileDir(exe)));
}
