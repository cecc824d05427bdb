// Project serialization, password scrambling and the project's status lines.
#include "common/config/opc_prj.h"

#include "common/log/link_texts.h"
#include "common/log/server_log.h"
#include "common/platform/clock.h"
#include "common/platform/registry.h"
#include "common/platform/text.h"
#include "common/settings/sys_config.h"

namespace {
// The scrambling key, 16 little-endian words; both programs must carry the same one.
constexpr uint16_t kPassKey[16] = {0x5A3C, 0x91E7, 0x2B64, 0xC70F, 0x3D82, 0xE459, 0x7A16, 0x0BD3,
                                   0x96AE, 0x4F21, 0xD8C5, 0x137B, 0x6E90, 0xA24D, 0x58F6, 0xBC38};
constexpr const char* kRegPassKey = "Software\\KTVRM\\OSR";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}
}  // namespace

std::string EncodePass(std::string_view password) {
  std::u16string p = Utf8ToUtf16(password);
  uint16_t w[16];
  for (int i = 0; i < 16; ++i) w[i] = kPassKey[i];
  for (size_t i = 0; i < p.size() && i < 16; ++i) w[i] = uint16_t(w[i] + p[i]);
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(64);
  for (uint16_t x : w) {
    for (uint8_t b : {uint8_t(x & 0xFF), uint8_t(x >> 8)}) {
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 15]);
    }
  }
  return out;
}

std::string DecodePass(std::string_view hex) {
  uint8_t bytes[32] = {};
  for (size_t i = 0; i < 32 && 2 * i + 1 < hex.size(); ++i) {
    int hi = HexDigit(hex[2 * i]), lo = HexDigit(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) break;
    bytes[i] = uint8_t(hi << 4 | lo);
  }
  std::u16string out;
  for (int i = 0; i < 16; ++i) {
    uint16_t w = uint16_t(uint16_t(bytes[2 * i] | bytes[2 * i + 1] << 8) - kPassKey[i]);
    if (w == 0) break;
    out.push_back(char16_t(w));
  }
  return Utf16ToUtf8(out);
}

void TOpcPrj::Serialize(CNxObjAr& ar) {
  const bool store = ar.IsStoring();
  if (store) {
    ar.WriteString("Name", Name);
    ar.WriteInt("NoSavePass", NoSavePass);
    if (NoSavePass == 0) ar.WriteString("EPass", EncodePass(Password));
    ar.WriteString("DispName", DispName);
    ar.WriteString("CustServer", CustServer);
    ar.WriteInt("Server_RefreshDelayMS", Server_RefreshDelayMS);
    ar.WriteInt("WriteOpt", WriteOpt);
    ar.EnterNode("IO0");
    ar.WriteString("Name", DevName);
    ar.WriteString("StrMD5", StrMD5);
    ar.WriteInt("UseGroup", UseGroup);
    ar.WriteInt("Count", int32_t(Vars.size()));
    TIndexedName node;
    for (size_t i = 0; i < Vars.size(); ++i) {
      const TOpcCfgVar& v = Vars[i];
      ar.EnterNode(node.Of("V", i));
      ar.WriteString("Name", v.Name);
      ar.WriteString("Group", v.Group);
      ar.WriteInt("Type", v.Type);
      ar.WriteInt("RW", v.RW);
      ar.LeaveNode();
    }
    ar.LeaveNode();
    return;
  }
  Name = ar.ReadString("Name", "");
  NoSavePass = ar.ReadInt("NoSavePass", 0);
  Password.clear();
  if (NoSavePass == 0) {
    std::string e = ar.ReadString("EPass", "");
    Password = e.empty() ? ar.ReadString("Password", "") : DecodePass(e);
  }
  DispName = ar.ReadString("DispName", "");
  CustServer = ar.ReadString("CustServer", "");
  Server_RefreshDelayMS = ar.ReadInt("Server_RefreshDelayMS", 0);
  WriteOpt = ar.ReadInt("WriteOpt", 0);
  if (WriteOpt > 2) WriteOpt = 0;
  if (!ar.HasNode("IO0") || !ar.EnterNode("IO0")) return;
  DevName = ar.ReadString("Name", "");
  StrMD5 = ar.ReadString("StrMD5", "");
  UseGroup = ar.ReadInt("UseGroup", 0);
  const int32_t n = ar.ReadInt("Count", 0);
  // The list takes the variables the file holds, in order, up to the count. A variable
  // node that is counted but missing ends the list there and clears the fingerprint, so
  // the next enumeration replaces the list; a forged count never claims memory.
  Vars.clear();
  if (n > 0) Vars.reserve(size_t(n < 65536 ? n : 65536));
  TIndexedName node;
  bool complete = true;
  for (int32_t i = 0; i < n; ++i) {
    if (!ar.EnterNode(node.Of("V", uint64_t(i)))) {
      complete = false;
      break;
    }
    TOpcCfgVar& v = Vars.emplace_back();
    v.Name = ar.ReadString("Name", "");
    v.Group = ar.ReadString("Group", "");
    v.Type = ar.ReadInt("Type", 0);
    v.RW = ar.ReadInt("RW", 0);
    ar.LeaveNode();
  }
  // No variables (a count of 0, or a negative one in a damaged file): the fingerprint is
  // unknown too, so the next enumeration accepts the device's list.
  if (!complete || n <= 0) StrMD5.clear();
  ar.LeaveNode();
}

bool TOpcPrj::ApplyReadText(std::string_view) { return true; }
bool TOpcPrj::ApplyReadBin(TNxMemStream&) { return true; }
void TOpcPrj::ResetRuntime() {}
bool TOpcPrj::IsReadDue(int64_t nowMs) { return nowMs >= LastRead + ReadIntervalMS; }
bool TOpcPrj::IsWriteDue(int64_t) { return false; }
bool TOpcPrj::ApplyWriteResult(std::string_view) { return true; }
std::string TOpcPrj::BuildWriteRequest() { return {}; }

std::string TOpcPrj::ReadRegPass(const std::string& valueName) {
  std::string value;
  if (!RegKeyExists(TRegRoot::HKLM, kRegPassKey)) return {};
  if (!RegReadString(TRegRoot::HKLM, kRegPassKey, valueName, value)) return {};
  return value;
}

void TOpcPrj::WriteRegPass(const std::string& valueName, const std::string& text) {
  RegCreateKey(TRegRoot::HKLM, kRegPassKey);
  RegWriteString(TRegRoot::HKLM, kRegPassKey, valueName, text);
}

void TOpcPrj::DeleteRegPass(const std::string& valueName) {
  if (RegKeyExists(TRegRoot::HKLM, kRegPassKey)) RegDeleteValue(TRegRoot::HKLM, kRegPassKey, valueName);
}

void AddStateLines(const TOpcPrj& prj, std::vector<std::string>& lines) {
  lines.push_back("ErrCode=" + ErrText(prj.ErrCode, prj.HttpCode));
  lines.push_back("State=" + StateText(prj.NetState));
}

std::string CounterTimeText(int64_t ms) {
  if (ms == 0) return "00-00-00,00:00:00.000";
  std::string t = ObjArDateTimeText(MsToDateTime(ms));  // yyyy-mm-dd hh:nn:ss.zzz
  if (t.size() < 23) return t;
  t = t.substr(t.size() - 21);
  t[8] = ',';
  return t;
}

void AddCounterLines(const TOpcPrj& prj, std::vector<std::string>& lines) {
  lines.push_back("ReadAll=" + std::to_string(prj.ReadCount));
  lines.push_back("Write=" + std::to_string(prj.ClientWriteCount));
  if (prj.LastRead != 0) lines.push_back("LastRead=" + CounterTimeText(SteadyToWallMs(prj.LastRead)));
  if (prj.LastWrite != 0) lines.push_back("LastWrite=" + CounterTimeText(SteadyToWallMs(prj.LastWrite)));
  if (prj.LastError != 0) lines.push_back("LastError=" + CounterTimeText(SteadyToWallMs(prj.LastError)));
}

std::string LogTag(const TOpcPrj& prj, std::string_view tag) {
  return LogTagText(tag, prj.DispName, prj.Name, prj.NetState, prj.ErrCode, prj.HttpCode);
}

void LogProjectError(const TOpcPrj& prj, std::string_view tag) {
  if (TSysOP.LogWebErr) LogWebError(LogTag(prj, tag));
}
