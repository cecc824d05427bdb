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

void InitAppPaths() {
  assert(g_AppDir.empty() && "InitAppPaths called twice");
  // The platform's timer period needs no change here: Linux timers are precise already.
  g_AppDir = NormalizeAppDir(ExtractFileDir(ExecutablePath()));
  g_DataDir = SharedDocumentsDir() + "/ZelOPC3";
  CreateDir(g_DataDir);
  CreateDir(g_DataDir + "/cert");
  CreateDir(g_DataDir + "/cert/self");
  CreateDir(g_DataDir + "/cert/trust");
  g_PrjFileName = g_DataDir + "/ZelOpc.Dat";
  g_RegCacheFileName = g_DataDir + "/OpcRegCache.Dat";
  g_CfgFileName = g_DataDir + "/config.ini";
  std::srand(unsigned(MonotonicMs()));
  if (!FileExists(g_CfgFileName) && FileExists(g_AppDir + "/config.ini"))
    CopyFileOver(g_AppDir + "/config.ini", g_CfgFileName);
  LoadSysConfig(g_CfgFileName);
  if (!FileExists(g_PrjFileName) && FileExists(g_AppDir + "/ZelOpc.Dat"))
    CopyFileOver(g_AppDir + "/ZelOpc.Dat", g_PrjFileName);
  // The data-server manager joins here with the data link.
  g_UID = GetUID();
}

void ResetAppPathsForTest() {
  g_AppDir.clear();
  g_DataDir.clear();
  g_PrjFileName.clear();
  g_RegCacheFileName.clear();
  g_CfgFileName.clear();
  g_UID.clear();
}
