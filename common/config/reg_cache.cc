// The login cache and its file.
#include "common/config/reg_cache.h"

#include <cerrno>
#include <cstdlib>

#include "common/config/cfg_file.h"
#include "common/helpers/strings.h"
#include "common/platform/clock.h"
#include "common/platform/paths.h"

const TRegCacheItem* TRegCache::Find(std::string_view name) const {
  auto it = items_.find(name);
  return it == items_.end() ? nullptr : &it->second;
}

void TRegCache::Put(const std::string& name, int64_t time, const std::string& addr, const std::string& addrs,
                    const std::string& sid) {
  TRegCacheItem& it = items_[name];
  it.Time = time;
  it.Name = name;
  it.ADDR = addr;
  it.ADDRS = addrs;
  it.SID = sid;
}

bool TRegCache::Add(const TRegCacheItem& item) { return items_.emplace(item.Name, item).second; }

bool TRegCache::Delete(std::string_view name) {
  auto it = items_.find(name);
  if (it == items_.end()) return false;
  items_.erase(it);
  return true;
}

void RefreshRegCache(TOpcCfgFile& cfg) {
  cfg.RegCache.Clear();
  for (const auto& p : cfg.Prjs) {
    if (p->SID.empty()) continue;
    cfg.RegCache.Put(p->Name, p->RegTime > p->LastRead ? p->RegTime : p->LastRead, p->ADDR, p->ADDRS, p->SID);
  }
}

namespace {
int64_t DecimalInt64(const std::string& s) {
  if (s.empty()) return -1;
  size_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
  if (i == s.size()) return -1;
  for (size_t j = i; j < s.size(); ++j)
    if (s[j] < '0' || s[j] > '9') return -1;
  errno = 0;
  long long v = std::strtoll(s.c_str(), nullptr, 10);
  return errno == ERANGE ? -1 : int64_t(v);
}
}  // namespace

void LoadRegCacheFile(TRegCache& cache, const std::string& path, int64_t notBefore) {
  std::string text;
  if (!ReadFileBytes(path, text)) return;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    std::string_view line(text.data() + pos, eol - pos);
    pos = eol + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::vector<std::string> f = SplitList(',', line);
    if (f.size() != 5) continue;
    const int64_t time = DecimalInt64(f[1]);
    if (time < notBefore) continue;
    cache.Add(TRegCacheItem{WallToSteadyMs(time), f[0], f[2], f[3], f[4]});
  }
}

bool SaveRegCacheFile(const TRegCache& cache, const std::string& path) {
  if (FileExists(path)) DeleteFileAt(path);
  std::string text;
  for (const auto& [name, it] : cache.Items())
    text += it.Name + "," + std::to_string(SteadyToWallMs(it.Time)) + "," + it.ADDR + "," + it.ADDRS + "," + it.SID +
            "\r\n";
  return WriteFileAtomic(path, text, 0600);
}
