#include "common/config/app_paths.h"

#include <cassert>
#include <cstdlib>
#include <ctime>

#include "common/helpers/random_uid.h"
#include "common/platform/clock.h"
#include "common/platform/paths.h"
#include "common/settings/sys_config.h"

std::string g_AppDir;
std::string g_DataDir;
std::string g_PrjFileName;
std::string g_RegCacheFileName;
std::string g_CfgFileName;
std::string g_UID;

std::string NormalizeAppDir(const std::string& exeDir) {
  std::string d = exeDir;
  for (size_t p; (p = d.find("/./")) != std::string::npos;) d.erase(p, 2);
  if (d.size() >= 2 && d.compare(d.size() - 2, 2, "/.") == 0) d.erase(d.size() - 2);
  while (d.size() > 1 && d.back() == '/') d.pop_back();
  return d;
}

bool InitAppPaths(std::string* error) {
  assert(g_AppDir.empty() && "InitAppPaths called twice");
  // The platform's timer period needs no change here: Linux timers are precise already.
  g_AppDir = NormalizeAppDir(ExtractFileDir(ExecutablePath()));
  AnchorDataRoot();
  const std::string root = SharedDocumentsDir();
  g_DataDir = root + "/ZelOPC3";
  g_PrjFileName = g_DataDir + "/ZelOpc.Dat";
  g_RegCacheFileName = g_DataDir + "/OpcRegCache.Dat";
  g_CfgFileName = g_DataDir + "/config.ini";
  // A fresh account may lack ~/.local/share: the parents made here are private, as the
  // base-directory convention asks of the data home.
  std::string why = "no data root (ZELOPC_DATA_ROOT, XDG_DATA_HOME and HOME are unset)";
  if (root.empty() || !CreateDirPath(g_DataDir, 0700, 0755, why)) {
    if (error) *error = "cannot create the data directory " + g_DataDir + ": " + why;
    return false;
  }
  CreateDir(g_DataDir + "/cert");
  CreateDir(g_DataDir + "/cert/self");
  CreateDir(g_DataDir + "/cert/trust");
  CreateDir(g_DataDir + "/cert/issuers");
  CreateDir(g_DataDir + "/cert/rejected");
  std::srand(unsigned(MonotonicMs()));
  if (!FileExists(g_CfgFileName) && FileExists(g_AppDir + "/config.ini"))
    CopyFileOver(g_AppDir + "/config.ini", g_CfgFileName);
  LoadSysConfig(g_CfgFileName);
  if (!FileExists(g_PrjFileName) && FileExists(g_AppDir + "/ZelOpc.Dat"))
    CopyFileOver(g_AppDir + "/ZelOpc.Dat", g_PrjFileName);
  // The data-server manager joins here with the data link.
  g_UID = GetUID();
  return true;
}

void ResetAppPathsForTest() {
  g_AppDir.clear();
  g_DataDir.clear();
  g_PrjFileName.clear();
  g_RegCacheFileName.clear();
  g_CfgFileName.clear();
  g_UID.clear();
}
