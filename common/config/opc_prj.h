// One project (one remote device) with its persisted settings, its variable list and the
// runtime fields the data link keeps, plus the helpers that show a project's state.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/archive/obj_archive.h"

class TOpcCfgFile;

// One variable definition, copied by value inside a project's list.
struct TOpcCfgVar {
  std::string Name;
  std::string Group;  // may be empty, may contain commas
  int32_t Type = 0;   // 1 discrete, 2 integer, 3 analog (4 double, 5 text at runtime)
  int32_t RW = 0;     // 1 read-only, 0 readable and writable
};

// The project base class; the server and the manager derive their own project classes.
// Owned by its configuration object; every other list of projects only refers to them.
class TOpcPrj : public CNxLoadStoreAble {
 public:
  int32_t NetState = 0;
  std::string Name;       // device number, login name, key of the login cache
  std::string DispName;   // display name, key inside its data server
  int32_t UseGroup = 0;
  int32_t WriteOpt = 0;   // 0 merge all writes, 1 merge identical writes, 2 no merging
  int32_t NoSavePass = 0;
  int32_t LinkMode = 0;   // lmNone .. lmRun
  int32_t Server_RefreshDelayMS = 0;
  int32_t HttpCode = 0;
  std::string Password;   // at most 16 UTF-16 units survive the archive
  std::string CustServer;
  TOpcCfgFile* Owner = nullptr;  // not owning
  int32_t ErrCode = 0;
  std::string SID;
  std::string ADDR;
  std::string ADDRS;
  std::string DataUrl;
  int64_t ReadCount = 0;
  int64_t WriteReqCount = 0;
  int64_t ClientWriteCount = 0;
  std::string DevName;
  std::string StrMD5;
  int32_t ReadIntervalMS = 0;
  std::vector<TOpcCfgVar> Vars;
  // Link-clock times (SteadyMs; 0 = never): intervals and deadlines are reckoned from
  // them, status lines show them as wall-clock times.
  int64_t RegTime = 0;
  int64_t LastRead = 0;
  int64_t LastWrite = 0;
  int64_t RunStart = 0;
  int64_t LastError = 0;

  void Serialize(CNxObjAr& ar) override;
  [[nodiscard]] virtual bool ApplyReadText(std::string_view item);
  [[nodiscard]] virtual bool ApplyReadBin(TNxMemStream& section);
  virtual void ResetRuntime();
  [[nodiscard]] virtual bool IsReadDue(int64_t nowMs);
  [[nodiscard]] virtual bool IsWriteDue(int64_t nowMs);
  // The write answer of this project's entries in flight; false when it was an error.
  [[nodiscard]] virtual bool ApplyWriteResult(std::string_view item);
  // The entries in flight got no answer (transport failure, an answer cut short): they
  // are kept to go out again.
  virtual void WritesUnanswered() {}
  [[nodiscard]] virtual std::string BuildWriteRequest();
  // A value of HKLM\Software\KTVRM\OSR (empty when the key or value is missing).
  [[nodiscard]] virtual std::string ReadRegPass(const std::string& valueName);
  virtual void WriteRegPass(const std::string& valueName, const std::string& text);
  // Removes the value (ours: the status window forgets a device password with it).
  virtual void DeleteRegPass(const std::string& valueName);
  ~TOpcPrj() override = default;
};

// Reversible scrambling of a password with a fixed key: 64 upper-case hex digits.
// Only the first 16 UTF-16 units of a longer password are kept.
[[nodiscard]] std::string EncodePass(std::string_view password);
[[nodiscard]] std::string DecodePass(std::string_view hex);

// "ErrCode=<error text>", "State=<state text>".
void AddStateLines(const TOpcPrj& prj, std::vector<std::string>& lines);
// "ReadAll=", "Write=", then "LastRead=", "LastWrite=", "LastError=" for times that are set.
void AddCounterLines(const TOpcPrj& prj, std::vector<std::string>& lines);
// NowMs time as "yy-mm-dd,hh:nn:ss.zzz"; 0 gives "00-00-00,00:00:00.000". The counter
// lines convert the project's link-clock times first.
std::string CounterTimeText(int64_t ms);

// Head of a project's log lines, and that head sent as an error line when LogWebErr is on.
std::string LogTag(const TOpcPrj& prj, std::string_view tag);
void LogProjectError(const TOpcPrj& prj, std::string_view tag);
