#include "common/settings/sys_config.h"

#include "common/platform/ini_file.h"
#include "common/platform/paths.h"
#include "common/platform/text.h"

TSysOPRecord TSysOP;

int32_t RetryAttemptsFromSeconds(int32_t seconds) { return seconds <= 20 ? 1 : (seconds - 20) / 2 + 1; }

void LoadSysConfig(const std::string& fileName, TSysOPRecord& op) {
  op = TSysOPRecord{};
  TIniFile ini(fileName);
  if (!ini.Exists()) {
    op.LogWebErr = 1;
    op.RetryAttempts = 21;
    op.WriteMaxLen = 32;
    return;
  }
  op.LogOPC = ini.ReadInteger("SYS", "LogOPC", 0);
  op.LogWebR = ini.ReadInteger("SYS", "LogWebR", 0);
  op.LogWebW = ini.ReadInteger("SYS", "LogWebW", 0);
  op.LogWebErr = ini.ReadInteger("SYS", "LogWebErr", 1);
  op.ForceXML = ini.ReadInteger("SYS", "ForceXML", 0);
  op.WriteMaxLen = ini.ReadInteger("SYS", "WriteMaxLen", 32);
  op.RetryAttempts = RetryAttemptsFromSeconds(ini.ReadInteger("SYS", "ErrorRetrySec", 60));
  op.LogLevel = ini.ReadInteger("OPCUA", "LogLevel", 0);
  op.Enable = ini.ReadInteger("OPCUA", "Enable", 0);
  op.Port = ini.ReadInteger("OPCUA", "Port", 0);
  op.KeepUARun = ini.ReadInteger("OPCUA", "KeepUARun", 0);
  op.ClosePass = ini.ReadString("OPCUA", "ClosePass", "");
  op.DispAddFolder = ini.ReadInteger("OPCUA", "DispAddFolder", 1);
  op.AutoTrust = ini.ReadInteger("OPCUA", "AutoTrust", 0) != 0 ? 1 : 0;
  op.AllowNone = ini.ReadInteger("OPCUA", "AllowNone", 1) != 0 ? 1 : 0;
  if (op.Port == 0) op.Port = 4866;
  // The close password is at most 8 characters and must be a decimal number.
  if (Utf16Length(op.ClosePass) > 8) op.ClosePass = Utf16Left(op.ClosePass, 8);
  if (!op.ClosePass.empty() && !TryDecimalToInt(op.ClosePass)) op.ClosePass.clear();
  op.User = ini.ReadString("OPCUA", "User", "");
  op.Pass = ini.ReadString("OPCUA", "Pass", "");
}
