#include "common/platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <map>

#include "common/platform/paths.h"
#include "common/platform/text.h"

// File layout, UTF-8 text, one key per block:
//   [HKCR\CLSID\{...}\LocalServer32]
//   @="/opt/zel/bin/ZelOpcServer3"
//   "Vendor"="ZELOPC"
// '\' and '"' inside values are escaped with '\'; "\n" stands for a line break.
namespace {

struct TRegValue {
  std::string name, value;
};
struct TRegKey {
  std::string path;                        // as first written
  std::map<std::string, TRegValue> values;  // by lower-cased name
};
using TRegMap = std::map<std::string, TRegKey>;  // by lower-cased full path

const char* RootName(TRegRoot r) {
  switch (r) {
    case TRegRoot::HKCR: return "HKCR";
    case TRegRoot::HKCU: return "HKCU";
    case TRegRoot::HKLM: return "HKLM";
  }
  return "HKCR";
}

std::string FullPath(TRegRoot root, std::string_view key) {
  std::string k(key);
  while (!k.empty() && k.back() == '\\') k.pop_back();
  while (!k.empty() && k.front() == '\\') k.erase(0, 1);
  std::string p = RootName(root);
  if (!k.empty()) p += "\\" + k;
  return p;
}

std::string Escape(std::string_view s) {
  std::string o;
  for (char c : s) {
    if (c == '\\' || c == '"') o.push_back('\\'), o.push_back(c);
    else if (c == '\n') o += "\\n";
    else if (c == '\r') o += "\\r";
    else o.push_back(c);
  }
  return o;
}

// Reads a quoted text starting at s[i] == '"'; returns the position after the closing quote.
size_t Unquote(std::string_view s, size_t i, std::string& out) {
  out.clear();
  for (++i; i < s.size(); ++i) {
    char c = s[i];
    if (c == '"') return i + 1;
    if (c == '\\' && i + 1 < s.size()) {
      char n = s[++i];
      out.push_back(n == 'n' ? '\n' : n == 'r' ? '\r' : n);
    } else {
      out.push_back(c);
    }
  }
  return std::string_view::npos;
}

TRegMap Load() {
  TRegMap map;
  std::string bytes;
  if (!ReadFileBytes(RegistryFileName(), bytes)) return map;
  TRegKey* cur = nullptr;
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t end = bytes.find('\n', pos);
    if (end == std::string::npos) end = bytes.size();
    std::string_view line(bytes.data() + pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      std::string path(line.substr(1, line.size() - 2));
      TRegKey& k = map[LowerCase(path)];
      if (k.path.empty()) k.path = path;
      cur = &k;
      continue;
    }
    if (!cur || line.empty()) continue;
    std::string name, value;
    size_t after;
    if (line[0] == '@') {
      after = 1;
    } else if (line[0] == '"') {
      after = Unquote(line, 0, name);
      if (after == std::string_view::npos) continue;
    } else {
      continue;
    }
    if (after >= line.size() || line[after] != '=' || after + 1 >= line.size() || line[after + 1] != '"') continue;
    if (Unquote(line, after + 1, value) == std::string_view::npos) continue;
    cur->values[LowerCase(name)] = TRegValue{name, value};
  }
  return map;
}

bool Store(const TRegMap& map) {
  std::string out;
  for (const auto& [lower, key] : map) {
    out.append("[").append(key.path).append("]\n");
    for (const auto& [ln, v] : key.values) {
      if (v.name.empty()) out.append("@");
      else out.append("\"").append(Escape(v.name)).append("\"");
      out.append("=\"").append(Escape(v.value)).append("\"\n");
    }
    out.append("\n");
  }
  return WriteFileAtomic(RegistryFileName(), out);
}

// Serialises writers of both programs; readers rely on the atomic rename.
class TRegLock {
 public:
  TRegLock() {
    fd_ = open((RegistryFileName() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ >= 0) flock(fd_, LOCK_EX);
  }
  ~TRegLock() {
    if (fd_ >= 0) close(fd_);
  }
  TRegLock(const TRegLock&) = delete;
  TRegLock& operator=(const TRegLock&) = delete;

 private:
  int fd_ = -1;
};

constexpr std::string_view kRunKey = "hkcu\\software\\microsoft\\windows\\currentversion\\run";

// The Exec line of a Run value, which is a command line. A value that names an existing
// file as a whole is that one program, and is quoted when its path holds a character the
// desktop's command-line rules reserve (a folder with a blank or a '$' in its name);
// anything else is taken as written. Then the string escapes of desktop entries and '%'
// doubled.
std::string DesktopExec(const std::string& value) {
  constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
  std::string arg;
  if (value.find_first_of(kReserved) == std::string::npos || !FileExists(value)) {
    arg = value;
  } else {
    arg = "\"";
    for (char c : value) {
      if (c == '"' || c == '`' || c == '$' || c == '\\') arg.push_back('\\');
      arg.push_back(c);
    }
    arg.push_back('"');
  }
  std::string out;
  for (char c : arg) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\t') out += "\\t";
    else if (c == '%') out += "%%";
    else out.push_back(c);
  }
  return out;
}

void MirrorAutostart(const std::string& lowerPath, std::string_view name, const std::string* value) {
  if (lowerPath != kRunKey || name.empty()) return;
  std::string file = AutostartFileName(name);
  if (!value) {
    DeleteFileAt(file);
    return;
  }
  std::string dir = ExtractFileDir(file);
  CreateDir(ExtractFileDir(dir));
  CreateDir(dir);
  std::string text = "[Desktop Entry]\nType=Application\nName=" + std::string(name) + "\nExec=" + DesktopExec(*value) +
                     "\nX-GNOME-Autostart-enabled=true\n";
  WriteFileAtomic(file, text);
}

}  // namespace

std::string RegistryFileName() { return SharedDocumentsDir() + "/ZelOPC3.registry"; }

std::string AutostartFileName(std::string_view valueName) {
  std::string base;
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x) base = x;
  else if (const char* h = std::getenv("HOME"); h && *h) base = std::string(h) + "/.config";
  else base = "/tmp";
  return base + "/autostart/" + std::string(valueName) + ".desktop";
}

bool RegReadString(TRegRoot root, std::string_view key, std::string_view name, std::string& value) {
  TRegMap map = Load();
  auto k = map.find(LowerCase(FullPath(root, key)));
  if (k == map.end()) return false;
  auto v = k->second.values.find(LowerCase(name));
  if (v == k->second.values.end()) return false;
  value = v->second.value;
  return true;
}

bool RegKeyExists(TRegRoot root, std::string_view key) {
  TRegMap map = Load();
  return map.count(LowerCase(FullPath(root, key))) != 0;
}

bool RegCreateKey(TRegRoot root, std::string_view key) {
  TRegLock lock;
  TRegMap map = Load();
  std::string path = FullPath(root, key);
  TRegKey& k = map[LowerCase(path)];
  if (!k.path.empty()) return true;
  k.path = path;
  return Store(map);
}

bool RegWriteString(TRegRoot root, std::string_view key, std::string_view name, std::string_view value) {
  TRegLock lock;
  TRegMap map = Load();
  std::string path = FullPath(root, key);
  std::string lower = LowerCase(path);
  TRegKey& k = map[lower];
  if (k.path.empty()) k.path = path;
  k.values[LowerCase(name)] = TRegValue{std::string(name), std::string(value)};
  if (!Store(map)) return false;
  std::string v(value);
  MirrorAutostart(lower, name, &v);
  return true;
}

bool RegDeleteValue(TRegRoot root, std::string_view key, std::string_view name) {
  TRegLock lock;
  TRegMap map = Load();
  std::string lower = LowerCase(FullPath(root, key));
  auto k = map.find(lower);
  if (k == map.end() || k->second.values.erase(LowerCase(name)) == 0) return false;
  if (!Store(map)) return false;
  MirrorAutostart(lower, name, nullptr);
  return true;
}

bool RegDeleteKey(TRegRoot root, std::string_view key) {
  TRegLock lock;
  TRegMap map = Load();
  std::string lower = LowerCase(FullPath(root, key));
  bool found = false;
  for (auto it = map.begin(); it != map.end();) {
    if (it->first == lower || it->first.rfind(lower + "\\", 0) == 0) {
      it = map.erase(it);
      found = true;
    } else {
      ++it;
    }
  }
  return found && Store(map);
}

std::vector<std::string> RegValueNames(TRegRoot root, std::string_view key) {
  std::vector<std::string> names;
  TRegMap map = Load();
  auto k = map.find(LowerCase(FullPath(root, key)));
  if (k != map.end())
    for (const auto& [l, v] : k->second.values) names.push_back(v.name);
  return names;
}
