// Files and the well-known places of the programs on Windows. Paths inside the programs
// use '/', which every Win32 file function accepts; the data root is the shared documents
// folder (ZELOPC_DATA_ROOT overrides it, as on Linux, for tests).
#include <windows.h>
#include <shlobj.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "common/platform/paths.h"
#include "common/platform/win_text.h"

namespace {
std::string Slashes(std::string s) {
  for (char& c : s)
    if (c == '\\') c = '/';
  return s;
}
DWORD Attributes(const std::string& path) { return GetFileAttributesW(WideText(path).c_str()); }
std::string EnvText(const wchar_t* name) {
  wchar_t buf[32768];
  DWORD n = GetEnvironmentVariableW(name, buf, 32768);
  return n > 0 && n < 32768 ? NarrowText(std::wstring_view(buf, n)) : std::string();
}
}  // namespace

std::string ExecutablePath() {
  std::vector<wchar_t> buf(32768);
  DWORD n = GetModuleFileNameW(nullptr, buf.data(), DWORD(buf.size()));
  if (n == 0 || n >= buf.size()) return {};
  return Slashes(NarrowText(std::wstring_view(buf.data(), n)));
}

bool FileExists(const std::string& path) {
  DWORD a = Attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirExists(const std::string& path) {
  DWORD a = Attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool CreateDir(const std::string& path) {
  return CreateDirectoryW(WideText(path).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

// Modes have no meaning here: the folders inherit the parent's access list.
bool CreateDirPath(const std::string& path, int, int, std::string& error) {
  const std::string full = ExcludeTrailingSlash(path);
  if (full.empty()) {
    error = "no folder named";
    return false;
  }
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(WideText(full)), ec);
  if (ec || !DirExists(full)) {
    error = full + ": " + (ec ? ec.message() : std::string("exists and is not a folder"));
    return false;
  }
  return true;
}

bool ReadFileBytes(const std::string& path, std::string& out) {
  HANDLE h = CreateFileW(WideText(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  out.clear();
  char buf[65536];
  bool ok = true;
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(h, buf, sizeof buf, &n, nullptr)) {
      ok = false;
      break;
    }
    if (n == 0) break;
    out.append(buf, n);
  }
  CloseHandle(h);
  return ok;
}

void RemoveStaleTemporaries(const std::string& path, std::string_view marker) {
  const std::string dir = path.find('/') == std::string::npos ? std::string(".") : ExtractFileDir(path);
  const std::string prefix = ExtractFileName(path) + std::string(marker);
  WIN32_FIND_DATAW fd;
  HANDLE f = FindFirstFileW(WideText(IncludeTrailingSlash(dir) + prefix + "*").c_str(), &fd);
  if (f == INVALID_HANDLE_VALUE) return;
  std::vector<std::string> stale;
  do {
    const std::string name = NarrowText(fd.cFileName);
    const std::string_view digits = std::string_view(name).substr(std::min(prefix.size(), name.size()));
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string_view::npos) continue;
    const DWORD pid = DWORD(std::stoul(std::string(digits)));
    if (pid == GetCurrentProcessId()) continue;
    // A process that cannot be opened for its state may still run (another user): kept.
    HANDLE p = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (p) {
      DWORD code = 0;
      if (GetExitCodeProcess(p, &code) && code != STILL_ACTIVE) stale.push_back(name);
      CloseHandle(p);
    } else if (GetLastError() == ERROR_INVALID_PARAMETER) {
      stale.push_back(name);  // no such process
    }
  } while (FindNextFileW(f, &fd));
  FindClose(f);
  for (const std::string& name : stale) DeleteFileW(WideText(IncludeTrailingSlash(dir) + name).c_str());
}

bool WriteFileAtomic(const std::string& path, std::string_view bytes, int) {
  RemoveStaleTemporaries(path, ".tmp");
  const std::wstring tmp = WideText(path + ".tmp" + std::to_string(GetCurrentProcessId()));
  HANDLE h = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  while (ok && !bytes.empty()) {
    DWORD chunk = DWORD(std::min<size_t>(bytes.size(), 1u << 30)), n = 0;
    ok = WriteFile(h, bytes.data(), chunk, &n, nullptr) && n > 0;
    if (ok) bytes.remove_prefix(n);
  }
  ok = FlushFileBuffers(h) && ok;
  ok = CloseHandle(h) && ok;
  if (ok) ok = MoveFileExW(tmp.c_str(), WideText(path).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!ok) DeleteFileW(tmp.c_str());
  return ok;
}

bool CopyFileOver(const std::string& from, const std::string& to) {
  std::string bytes;
  if (!ReadFileBytes(from, bytes)) return false;
  return WriteFileAtomic(to, bytes);
}

bool DeleteFileAt(const std::string& path) { return DeleteFileW(WideText(path).c_str()); }

bool RenameFileOver(const std::string& from, const std::string& to) {
  return MoveFileExW(WideText(from).c_str(), WideText(to).c_str(), MOVEFILE_REPLACE_EXISTING);
}

std::string CurrentDir() {
  wchar_t buf[32768];
  DWORD n = GetCurrentDirectoryW(32768, buf);
  return n > 0 && n < 32768 ? Slashes(NarrowText(std::wstring_view(buf, n))) : std::string();
}

bool SetCurrentDir(const std::string& dir) { return SetCurrentDirectoryW(WideText(dir).c_str()); }

std::string SharedDocumentsDir() {
  if (std::string root = EnvText(L"ZELOPC_DATA_ROOT"); !root.empty()) return ExcludeTrailingSlash(Slashes(root));
  wchar_t buf[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_DOCUMENTS, nullptr, SHGFP_TYPE_CURRENT, buf))) return {};
  return ExcludeTrailingSlash(Slashes(NarrowText(buf)));
}

void AnchorDataRoot() {
  std::string v = EnvText(L"ZELOPC_DATA_ROOT");
  if (v.empty()) return;
  std::error_code ec;
  const auto abs = std::filesystem::absolute(std::filesystem::path(WideText(v)), ec);
  if (!ec) SetEnvironmentVariableW(L"ZELOPC_DATA_ROOT", abs.wstring().c_str());
}

std::string RuntimeDir() {
  wchar_t buf[MAX_PATH + 1] = {};
  DWORD n = GetTempPathW(MAX_PATH + 1, buf);
  return n > 0 ? ExcludeTrailingSlash(Slashes(NarrowText(std::wstring_view(buf, n)))) : std::string(".");
}
