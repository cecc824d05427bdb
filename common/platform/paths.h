// File-system helpers and the well-known places of the programs on Linux: the executable,
// the data root (ZELOPC_DATA_ROOT, else $XDG_DATA_HOME, else ~/.local/share) and the
// runtime directory for locks and local sockets ($XDG_RUNTIME_DIR, else /tmp).
#pragma once
#include <string>
#include <string_view>

std::string ExecutablePath();
std::string ExtractFileDir(std::string_view path);   // without trailing '/'
std::string ExtractFileName(std::string_view path);
std::string ExtractFileExt(std::string_view path);   // with the dot, "" when none
std::string ChangeFileExt(std::string_view path, std::string_view ext);
std::string IncludeTrailingSlash(std::string_view dir);
std::string ExcludeTrailingSlash(std::string_view dir);

bool FileExists(const std::string& path);
bool DirExists(const std::string& path);
bool CreateDir(const std::string& path);                    // one level
// Creates path with every missing parent: new parents get parentMode, path itself mode.
// False with the folder that could not be made and the system's reason in error.
bool CreateDirPath(const std::string& path, int parentMode, int mode, std::string& error);
bool CopyFileOver(const std::string& from, const std::string& to);
bool DeleteFileAt(const std::string& path);
bool RenameFileOver(const std::string& from, const std::string& to);
bool ReadFileBytes(const std::string& path, std::string& out);
// Writes a file beside the target and renames it over the target once complete.
bool WriteFileAtomic(const std::string& path, std::string_view bytes, int mode = 0644);
// Saves write "<path><marker><pid>" and rename it over path. A save killed halfway
// leaves that file behind; this removes the ones of path whose process has ended (the
// temporary of a save running in another process stays).
void RemoveStaleTemporaries(const std::string& path, std::string_view marker);
std::string CurrentDir();
bool SetCurrentDir(const std::string& dir);

// Shared documents folder of the design: the data directory is this + "/ZelOPC3".
std::string SharedDocumentsDir();
// Rewrites the variable that names the data root, when it is relative, to its absolute
// form against the current directory. Called once at start, before anything changes the
// working directory, so that every later reader (the registry, child processes) finds
// the same folder.
void AnchorDataRoot();
std::string RuntimeDir();
