// The path-name helpers of both platforms: paths inside the programs use '/' (the
// Windows build turns the system's '\' into '/' where a path enters).
#include "common/platform/paths.h"

std::string ExtractFileDir(std::string_view path) {
  size_t p = path.rfind('/');
  if (p == std::string_view::npos) return {};
  if (p == 0) return "/";
  return std::string(path.substr(0, p));
}

std::string ExtractFileName(std::string_view path) {
  size_t p = path.rfind('/');
  return std::string(p == std::string_view::npos ? path : path.substr(p + 1));
}

std::string ExtractFileExt(std::string_view path) {
  std::string name = ExtractFileName(path);
  size_t p = name.rfind('.');
  return p == std::string::npos ? std::string() : name.substr(p);
}

std::string ChangeFileExt(std::string_view path, std::string_view ext) {
  std::string ext0 = ExtractFileExt(path);
  std::string base(path.substr(0, path.size() - ext0.size()));
  return base + std::string(ext);
}

std::string IncludeTrailingSlash(std::string_view dir) {
  std::string d(dir);
  if (d.empty() || d.back() != '/') d.push_back('/');
  return d;
}

std::string ExcludeTrailingSlash(std::string_view dir) {
  std::string d(dir);
  while (d.size() > 1 && d.back() == '/') d.pop_back();
  return d;
}
