// The registry of the programs on Windows: the system registry itself (string values).
// The Run key needs no mirror here, Windows reads it at logon.
#include <windows.h>

#include "common/platform/registry.h"
#include "common/platform/win_text.h"

namespace {
HKEY RootKey(TRegRoot root) {
  switch (root) {
    case TRegRoot::HKCR: return HKEY_CLASSES_ROOT;
    case TRegRoot::HKCU: return HKEY_CURRENT_USER;
    case TRegRoot::HKLM: return HKEY_LOCAL_MACHINE;
  }
  return HKEY_CURRENT_USER;
}

// An open key that closes itself.
struct TKey {
  HKEY h = nullptr;
  TKey() = default;
  TKey(const TKey&) = delete;
  TKey& operator=(const TKey&) = delete;
  ~TKey() {
    if (h) RegCloseKey(h);
  }
};

bool Open(TRegRoot root, std::string_view key, REGSAM access, TKey& out) {
  return RegOpenKeyExW(RootKey(root), WideText(key).c_str(), 0, access, &out.h) == ERROR_SUCCESS;
}
}  // namespace

std::string RegistryFileName() { return {}; }
std::string AutostartFileName(std::string_view) { return {}; }

bool RegReadString(TRegRoot root, std::string_view key, std::string_view name, std::string& value) {
  TKey k;
  if (!Open(root, key, KEY_QUERY_VALUE, k)) return false;
  const std::wstring wname = WideText(name);
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(k.h, wname.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  std::wstring buf(size / sizeof(wchar_t) + 1, L'\0');
  DWORD got = DWORD(buf.size() * sizeof(wchar_t));
  if (RegQueryValueExW(k.h, wname.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &got) != ERROR_SUCCESS)
    return false;
  buf.resize(std::min<size_t>(got / sizeof(wchar_t), buf.size()));
  // The stored text may or may not carry its terminator.
  while (!buf.empty() && buf.back() == L'\0') buf.pop_back();
  value = NarrowText(buf);
  return true;
}

bool RegKeyExists(TRegRoot root, std::string_view key) {
  TKey k;
  return Open(root, key, KEY_READ, k);
}

bool RegCreateKey(TRegRoot root, std::string_view key) {
  TKey k;
  return RegCreateKeyExW(RootKey(root), WideText(key).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k.h, nullptr) ==
         ERROR_SUCCESS;
}

bool RegWriteString(TRegRoot root, std::string_view key, std::string_view name, std::string_view value) {
  TKey k;
  if (RegCreateKeyExW(RootKey(root), WideText(key).c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &k.h, nullptr) !=
      ERROR_SUCCESS)
    return false;
  const std::wstring v = WideText(value);
  return RegSetValueExW(k.h, WideText(name).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                        DWORD((v.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool RegDeleteValue(TRegRoot root, std::string_view key, std::string_view name) {
  TKey k;
  if (!Open(root, key, KEY_SET_VALUE, k)) return false;
  return RegDeleteValueW(k.h, WideText(name).c_str()) == ERROR_SUCCESS;
}

bool RegDeleteKey(TRegRoot root, std::string_view key) {
  // With a sub key named, the tree call removes that key itself as well.
  return RegDeleteTreeW(RootKey(root), WideText(key).c_str()) == ERROR_SUCCESS;
}

std::vector<std::string> RegValueNames(TRegRoot root, std::string_view key) {
  std::vector<std::string> out;
  TKey k;
  if (!Open(root, key, KEY_QUERY_VALUE, k)) return out;
  for (DWORD i = 0;; ++i) {
    wchar_t name[16384];
    DWORD len = 16384;
    if (RegEnumValueW(k.h, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    out.push_back(NarrowText(std::wstring_view(name, len)));
  }
  return out;
}
