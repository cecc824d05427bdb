// Start at user logon through the Run values of the current user.
#include "manager/core/autostart.h"

#include "common/config/app_paths.h"
#include "common/platform/paths.h"
#include "common/platform/registry.h"

std::string ServerRunData() { return g_AppDir + "/ZelOpcServer3"; }
std::string MgrRunData() { return g_AppDir + "/ZelOpcMgr3"; }

bool IsAutoStartSet() {
  if (!RegCreateKey(TRegRoot::HKCU, kRunKey)) return false;
  std::string data;
  // The desktop's own start-up settings may have removed the entry file: then nothing
  // starts at logon, and the box shows it, so that confirming it writes the entry again.
  return RegReadString(TRegRoot::HKCU, kRunKey, kRunServerName, data) && data == ServerRunData() &&
         FileExists(AutostartFileName(kRunServerName));
}

namespace {
bool HasValue(const char* name) {
  std::string data;
  return RegReadString(TRegRoot::HKCU, kRunKey, name, data);
}

// A change counts once the registry holds it and the desktop's autostart entry agrees.
bool Write(const char* name, const std::string& data) {
  return RegWriteString(TRegRoot::HKCU, kRunKey, name, data) && FileExists(AutostartFileName(name));
}
bool Delete(const char* name) {
  return RegDeleteValue(TRegRoot::HKCU, kRunKey, name) && !FileExists(AutostartFileName(name));
}
}  // namespace

bool SetAutoStart(bool autostart, bool keep) {
  try {
    if (!RegCreateKey(TRegRoot::HKCU, kRunKey)) return false;
    if (!(autostart && keep) && HasValue(kRunMgrName) && !Delete(kRunMgrName)) return false;
    if (!autostart) return Delete(kRunServerName);
    return Write(kRunServerName, ServerRunData()) && (!keep || Write(kRunMgrName, MgrRunData()));
  } catch (...) {
    return false;
  }
}
