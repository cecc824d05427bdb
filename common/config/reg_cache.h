// The login cache: session data of logged-in projects, kept across restarts in
// OpcRegCache.Dat so that a restarted program can reuse fresh logins.
//
// File: one line per item, ended by CR LF: Name,time,ADDR,ADDRS,SID (time as a decimal
// NowMs value). Lines that do not split into exactly 5 fields at the commas are skipped.
// In memory the times are link-clock times (SteadyMs), like the projects' login times;
// load and save convert, so the file keeps wall-clock times across restarts.
// The file is readable by its owner only, since it holds session ids.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

class TOpcCfgFile;

struct TRegCacheItem {
  int64_t Time = 0;
  std::string Name;
  std::string ADDR;
  std::string ADDRS;
  std::string SID;
};

// Items sorted by Name, letter case significant.
class TRegCache {
 public:
  [[nodiscard]] const TRegCacheItem* Find(std::string_view name) const;
  // Updates the item of that name or adds one.
  void Put(const std::string& name, int64_t time, const std::string& addr, const std::string& addrs,
           const std::string& sid);
  // Adds only when the name is not present yet; true when added.
  bool Add(const TRegCacheItem& item);
  bool Delete(std::string_view name);
  void Clear() { items_.clear(); }
  size_t Count() const { return items_.size(); }
  const std::map<std::string, TRegCacheItem, std::less<>>& Items() const { return items_; }

 private:
  std::map<std::string, TRegCacheItem, std::less<>> items_;
};

// Refills the configuration's cache from its projects that hold a session, each with the
// later of its login and last read times.
void RefreshRegCache(TOpcCfgFile& cfg);
// Adds the file's items not older than notBefore (a NowMs time); the first line of a
// name wins.
void LoadRegCacheFile(TRegCache& cache, const std::string& path, int64_t notBefore);
// Replaces the file with the cache's items (mode 0600); false when it could not be written.
bool SaveRegCacheFile(const TRegCache& cache, const std::string& path);
