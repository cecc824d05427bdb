#include "server/runtime/opc_sprj.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "common/archive/obj_archive.h"
#include "common/helpers/result_codes.h"
#include "common/link/typed_value.h"
#include "common/link/data_server.h"
#include "common/link/link_state.h"
#include "common/link/login.h"
#include "common/log/link_texts.h"
#include "common/log/server_log.h"
#include "common/platform/clock.h"
#include "common/platform/text.h"
#include "common/settings/sys_config.h"

void SplitGroupPath(const std::string& group, bool useGroup, std::string& groupName, std::string& subGroupName) {
  groupName.clear();
  subGroupName.clear();
  if (!useGroup || group.empty()) return;
  size_t dot = group.find('.');
  groupName = group.substr(0, dot);
  if (dot != std::string::npos) subGroupName = group.substr(dot + 1);
}

bool IsGood(const TZelVarItem& var) {
  return var.Prj && var.Prj->NetState >= ncsStartRW && var.Prj->NetState <= ncsReLogin && var.Valid;
}

std::string FormatWriteValue(double x) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.15g", x);
  return buf;  // the C locale: '.' is the separator
}

void TOpcSPrj::BuildVars() {
  Vars.clear();
  const std::vector<TOpcCfgVar>& cfg = TOpcPrj::Vars;
  Vars.reserve(cfg.size());
  for (size_t j = 0; j < cfg.size(); ++j) {
    const TOpcCfgVar& c = cfg[j];
    auto v = std::make_unique<TZelVarItem>();
    v->Index = int32_t(j);
    v->Name = c.Name;
    v->DataType = int16_t(c.Type);
    v->ReadOnly = c.RW != 0;
    v->Prj = this;
    SplitGroupPath(c.Group, UseGroup != 0, v->GroupName, v->SubGroupName);
    Vars.push_back(std::move(v));
  }
}

void TOpcSPrj::SetValue(TZelVarItem& var, double x) {
  if (var.DataType == VAR_DISC && x != 0) x = 1.0;
  if (var.DataType == VAR_LONG) {
    // Truncation toward zero into 32 bits; values outside saturate instead of wrapping.
    double t = std::trunc(x);
    x = std::isnan(t) ? 0.0 : double(int32_t(std::clamp(t, -2147483648.0, 2147483647.0)));
  }
  if (WriteOpt < 2 && var.Value == x) return;
  const int64_t now = SteadyMs();
  if (WriteOpt == 0) {
    for (TWriteEntry& e : WriteQ) {
      if (e.pVar != &var) continue;
      var.Value = x;
      var.WriteTime = now;
      e.Value = x;
      PushVar(var, !IsGood(var));
      return;
    }
  }
  var.Value = x;
  var.WriteTime = now;
  ++var.WriteLock;
  WriteQ.push_back(TWriteEntry{&var, x, now});
  LastWrite = now;
  ++ClientWriteCount;
  if (WriteQ.size() > kWriteQueueCap) {
    TWriteEntry& oldest = WriteQ.front();
    --oldest.pVar->WriteLock;
    assert(oldest.pVar->WriteLock >= 0 && "WriteQ.front().pVar->WriteLock >= 0");
    WriteQ.pop_front();
  }
  PushVar(var, !IsGood(var));
}

bool TOpcSPrj::IsWriteDue(int64_t now) {
  return !WriteQ.empty() && SentQ.empty() && now - WriteQ.front().QueueTime >= kWriteDelayMs;
}

std::string TOpcSPrj::BuildWriteRequest() {
  if (WriteQ.empty() || !SentQ.empty()) return {};
  const int maxLen = TSysOP.WriteMaxLen;
  std::string lines;
  std::string pairs;
  int moved = 0;
  do {
    TWriteEntry e = WriteQ.front();
    WriteQ.pop_front();
    SentQ.push_back(e);
    ++moved;
    std::string value = FormatWriteValue(e.Value);
    lines += e.pVar->Name + "\r\n" + value + "\r\n";
    if (TSysOP.LogWebW > 1) pairs += e.pVar->Name + "=" + value + ";";
  } while (!WriteQ.empty() && moved < maxLen);
  if (TSysOP.LogWebW)
    LogWebWrite(LogTag(*this, "") + Format("[WriteVar][CNT=%d;WriteQ=%d]", moved, int(WriteQ.size())) + pairs);
  return std::to_string(moved) + "\r\n" + lines;
}

void TOpcSPrj::ReleaseSent() {
  for (TWriteEntry& e : SentQ)
    if (e.pVar->WriteLock > 0) --e.pVar->WriteLock;
  SentQ.clear();
}

void TOpcSPrj::WritesUnanswered() {
  if (SentQ.empty()) return;
  // Back to the front in their order, with their write locks: the next request sends
  // them first, and reads still leave their variables alone.
  WriteQ.insert(WriteQ.begin(), SentQ.begin(), SentQ.end());
  SentQ.clear();
}

// Answer of a "W" line: "OK", the count, then one result per entry (0 = written; other
// codes are the device's refusal of that write), or an error item "ERROR", code.
bool TOpcSPrj::ApplyWriteResult(std::string_view section) {
  std::vector<std::string> lines = SplitLines(section);
  if (lines.empty() || lines[0] != "OK") {
    int code = -1;
    if (lines.size() > 1)
      if (auto c = TryDecimalToInt(lines[1])) code = *c;
    const size_t n = SentQ.size();
    // An expired session refused nothing: the entries go out again after the re-login.
    // Any other error item is the cloud's answer to the write, which then ends.
    const bool keep = code == srSessionID;
    if (keep) WritesUnanswered();
    else ReleaseSent();
    if (TSysOP.LogWebErr)
      LogWebError(LogTag(*this, "") +
                  Format("[WriteFailed][Code=%d;CNT=%d;%s]", code, int(n), keep ? "Kept" : "Dropped"));
    return ApplyErrorReply(*this, std::move(lines));
  }
  if (TSysOP.LogWebErr) {
    // Results of single entries: each one answered, so none is sent again.
    std::string refused;
    for (size_t i = 0; i < SentQ.size() && i + 2 < lines.size(); ++i)
      if (lines[i + 2] != "0") refused += SentQ[i].pVar->Name + "=" + lines[i + 2] + ";";
    if (!refused.empty()) LogWebError(LogTag(*this, "[WriteRefused]") + refused);
  }
  ReleaseSent();
  if (TSysOP.LogWebW) LogWebWrite(LogTag(*this, "[WriteOK]"));
  if (!WriteQ.empty()) WriteQ.front().QueueTime = SteadyMs();
  return true;
}

bool TOpcSPrj::IsReadDue(int64_t now) {
  if (LastWrite != 0 && now - LastWrite < 60000)
    return now - LastRead > 2000 || now - LastRead > ReadIntervalMS;
  return now >= LastRead + ReadIntervalMS;
}

void TOpcSPrj::ReadCompleted() {
  if (NetState == ncsStartRW) {
    NetState = ncsRunning;
    LastError = 0;
    if (TSysOP.LogWebR) LogSys(LogTag(*this, "[ReadOK]"));
  } else if (TSysOP.LogWebR >= 2) {
    LogSys(LogTag(*this, "[ReadOK]"));
  }
}

bool TOpcSPrj::ApplyReadBin(TNxMemStream& in) {
  TTypedValue tv;
  if (!ReadTypedValue(in, tv) || tv.tag != kTagStatus) {
    SetProjectError(*this, nceNotSupported);
    return false;
  }
  if (int code = int(tv.AsInt()); code != 0) {
    if (code == 8) NetState = ncsReLogin;
    else SetProjectError(*this, MapServerCode(code));
    return false;
  }
  if (!ReadTypedValue(in, tv)) {
    SetProjectError(*this, nceNotSupported);
    return false;
  }
  const int64_t count = tv.AsInt();
  if (count != int64_t(Vars.size())) {
    if (TSysOP.LogWebErr)
      LogWebError(LogTag(*this, "") + Format("VarCountDiff,ReadCount=%d,CfgCount=%d,", int(count), int(Vars.size())));
    SetProjectError(*this, nceNotSupported);
    return false;
  }
  for (auto& v : Vars) {
    // A section that ends before its values does not make up values: the project fails
    // as with any malformed answer. (The data server checks a section's bounds first.)
    if (!ReadTypedValue(in, tv)) {
      SetProjectError(*this, nceNotSupported);
      return false;
    }
    if (v->WriteLock > 0) continue;
    if (tv.tag == kTagStatus) {
      v->Valid = false;
      PushVar(*v, true);
    } else {
      v->Value = tv.value;
      v->Valid = true;
      PushVar(*v, false);
    }
  }
  ReadCompleted();
  return true;
}

bool TOpcSPrj::ApplyReadText(std::string_view section) {
  std::vector<std::string> lines = SplitLines(section);
  if (lines.empty() || lines[0] != "OK") return ApplyErrorReply(*this, lines);
  auto n = lines.size() > 1 ? TryDecimalToInt(lines[1]) : std::nullopt;
  if ((n ? *n : 0) != int(Vars.size())) {
    SetProjectError(*this, nceVarConfig);
    return false;
  }
  // Fewer value lines than announced: the missing values count as "no value".
  for (size_t i = 0; i < Vars.size(); ++i) {
    TZelVarItem& v = *Vars[i];
    if (v.WriteLock > 0) continue;
    const std::string text = i + 2 < lines.size() ? lines[i + 2] : std::string("#");
    if (text.empty() || text[0] == '#') {
      v.Valid = false;
      PushVar(v, true);
      continue;
    }
    char* end = nullptr;
    double d = std::strtod(text.c_str(), &end);
    // A text that is not wholly a number reads as 0.0 (and the value counts as good).
    v.Value = (end == text.c_str() || *end != '\0') ? 0.0 : d;
    v.Valid = true;
    PushVar(v, false);
  }
  ReadCompleted();
  return true;
}

void TOpcSPrj::ResetRuntime() {
  // Accepted writes outlive a failed read, a lost session or a network fault: they are
  // dropped only when the variable list they were meant for is gone. Entries in flight
  // stay with their batch, which settles them when its answer is applied.
  const bool configGone = ErrCode == nceVarConfig;
  if (configGone) {
    WriteQ.clear();
    SentQ.clear();
  }
  for (auto& v : Vars) {
    v->Valid = false;
    if (configGone) v->WriteLock = 0;
    PushVar(*v, true);
  }
  if (configGone && Closer) Closer->ScheduleClose(10);
}

void TOpcSPrj::AppendStatusLines(std::vector<std::string>& list) const {
  AddCounterLines(*this, list);
  if (!WriteQ.empty()) list.push_back("WriteQ=" + std::to_string(WriteQ.size()));
}
