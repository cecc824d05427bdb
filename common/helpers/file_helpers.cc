#include "common/helpers/file_helpers.h"

#include <climits>
#include <cstdlib>

#include "common/platform/paths.h"
#include "common/platform/text.h"

std::string LongPath(const std::string& path) {
  if (path.empty()) return {};
  char buf[PATH_MAX];
  if (realpath(path.c_str(), buf)) return buf;
  return path;
}

std::string FileVersionText(const std::string& file) {
  if (!file.empty() && LongPath(file) != LongPath(ExecutablePath())) return {};
  return Format("%d.%d.%d.%d", ZEL_VERSION_MAJOR, ZEL_VERSION_MINOR, ZEL_VERSION_PATCH, ZEL_VERSION_TWEAK);
}
