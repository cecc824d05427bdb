// Device login through the login server ("/exlog2"), batched 50 projects per POST, with
// reuse of fresh sessions from the login cache.
//
// Request body: per project "ZEL=<Name>\nPASS=<Password>\nSSL=1\nEXINFO=1\nXINFO=1\n
// APP=ZELOPC\nAPPVER=300\nUID=<g_UID>", each followed by kItemSeparator.
// Answer: items split at kItemSeparator; item 0 the batch status "OK", then one item per
// project: "OK" and KEY=value lines (XINFO, SID, ADDRS, ADDR), or a failure line and the
// server result code.
#pragma once
#include <string>
#include <string_view>
#include <vector>

class TOpcPrj;
class TOpcCfgFile;
class NxWinHTTP;

inline constexpr std::string_view kItemSeparator = "\r\n<[{#}]>\r\n";
inline constexpr const char* kLoginPath = "/exlog2";
inline constexpr const char* kDefaultLoginServer = "https://login.zelcloud.example:7443";
inline constexpr int kLoginsPerPost = 50;
inline constexpr int64_t kLoginCacheReuseMs = 420000;

// The login body of one project; also resets the project to ncsIdle without a session.
std::string DoReg(TOpcPrj& prj);
void LoginBatch(TOpcCfgFile& cfg, const std::vector<TOpcPrj*>& projects);
bool ParseLoginReply(TOpcPrj& prj, std::vector<std::string> lines);
void DevRegError(TOpcPrj& prj, int serverCode);
void ChooseDataUrl(TOpcPrj& prj);
// "host[:port]" with a host of letters, digits, '.', '-', '_' and a port 1..65535.
bool UsableDataAddress(std::string_view hostPort);
// The configuration object's login session, made on first use.
NxWinHTTP& LoginSession(TOpcCfgFile& cfg);
// Projects with a session go to their data server; the others, and those their data
// server refuses, to cfg.RetryList.
int AttachLoggedIn(TOpcCfgFile& cfg, const std::vector<TOpcPrj*>& projects);

// Splits a text at the item separator; a separator at the very end gives no empty item.
std::vector<std::string> SplitItems(std::string_view text);
// Lines ended by CR LF, a lone CR or a lone LF; no empty line after a final line end.
std::vector<std::string> SplitLines(std::string_view text);
