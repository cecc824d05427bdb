// Program and data directories, the data files and the installation identifier, fixed
// once at start by InitAppPaths. The data directory is <shared documents>/ZelOPC3, where
// shared documents is ZELOPC_DATA_ROOT, else $XDG_DATA_HOME, else ~/.local/share.
#pragma once
#include <string>

extern std::string g_AppDir;            // directory of the executable, no trailing '/'
extern std::string g_DataDir;           // <shared documents>/ZelOPC3
extern std::string g_PrjFileName;       // g_DataDir + "/ZelOpc.Dat"
extern std::string g_RegCacheFileName;  // g_DataDir + "/OpcRegCache.Dat"
extern std::string g_CfgFileName;       // g_DataDir + "/config.ini"
extern std::string g_UID;               // installation identifier, 16 hex digits

// Call once per process before anything reads a path or a setting: makes the data root
// absolute, sets the globals, creates the data folder (with any missing parents, 0700)
// and the certificate folders, seeds config.ini and ZelOpc.Dat from the program
// directory on first run and loads TSysOP. False when the data folder cannot be made,
// with the reason in error.
bool InitAppPaths(std::string* error = nullptr);
// The directory rule of g_AppDir: "/./" components dropped, no trailing '/'. Letter
// case is kept, since Linux paths are case-sensitive.
std::string NormalizeAppDir(const std::string& exeDir);
// Clears the globals so tests can run InitAppPaths again with another data root.
void ResetAppPathsForTest();
