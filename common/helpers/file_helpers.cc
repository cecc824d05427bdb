#include "common/helpers/file_helpers.h"

#include <climits>
#include <cstdlib>
#ifdef _WIN32
#include <windows.h>

#include "common/platform/win_text.h"
#endif

#include "common/platform/paths.h"
#include "common/platform/text.h"

std::string LongPath(const std::string& path) {
  if (path.empty()) return {};
#ifdef _WIN32
  const std::wstring w = WideText(path);
  wchar_t buf[32768];
  DWORD n = GetLongPathNameW(w.c_str(), buf, 32768);
  if (n == 0 || n >= 32768) return path;
  std::string out = NarrowText(std::wstring_view(buf, n));
  for (char& c : out)
    if (c == '\\') c = '/';
  return out;
#else
  char buf[PATH_MAX];
  if (realpath(path.c_str(), buf)) return buf;
  return path;
#endif
}

std::string FileVersionText(const std::string& file) {
  if (!file.empty() && LongPath(file) != LongPath(ExecutablePath())) return {};
  return Format("%d.%d.%d.%d", ZEL_VERSION_MAJOR, ZEL_VERSION_MINOR, ZEL_VERSION_PATCH, ZEL_VERSION_TWEAK);
}
