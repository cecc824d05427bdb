#include "common/link/login.h"

#include "common/config/app_paths.h"
#include "common/config/cfg_file.h"
#include "common/config/opc_prj.h"
#include "common/config/reg_cache.h"
#include "common/http/win_http_client.h"
#include "common/link/data_server.h"
#include "common/link/link_state.h"
#include "common/log/link_texts.h"
#include "common/log/server_log.h"
#include "common/platform/clock.h"
#include "common/platform/text.h"
#include "common/settings/sys_config.h"

std::vector<std::string> SplitItems(std::string_view text) {
  std::vector<std::string> items;
  size_t start = 0;
  while (start < text.size()) {
    size_t p = text.find(kItemSeparator, start);
    if (p == std::string_view::npos) {
      items.emplace_back(text.substr(start));
      break;
    }
    items.emplace_back(text.substr(start, p - start));
    start = p + kItemSeparator.size();
  }
  return items;
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\r' && c != '\n') continue;
    lines.emplace_back(text.substr(start, i - start));
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

std::string DoReg(TOpcPrj& prj) {
  SetNetState(prj, ncsIdle);
  if (TSysOP.LogWebR) LogWebRead(LogTag(prj, "[DoReg]"));
  // The body holds the password: it is never logged.
  return Format("ZEL=%s\nPASS=%s\nSSL=1\nEXINFO=1\nXINFO=1\nAPP=ZELOPC\nAPPVER=%d\nUID=%s", prj.Name.c_str(),
                prj.Password.c_str(), 300, g_UID.c_str());
}

void ChooseDataUrl(TOpcPrj& prj) {
  if (prj.ADDRS.empty() || (!prj.CustServer.empty() && prj.CustServer.find("https:") == std::string::npos))
    prj.DataUrl = "http://" + prj.ADDR;
  else
    prj.DataUrl = "https://" + prj.ADDRS;
  prj.NetState = ncsEnum;
  prj.ErrCode = nceNone;
}

void DevRegError(TOpcPrj& prj, int serverCode) {
  SetNetState(prj, ncsError);
  prj.ErrCode = MapServerCode(serverCode);
  if (TSysOP.LogWebErr)
    LogWebError(Format("[DevRegError]%s:%s,ErrorCode=%d", prj.DispName.c_str(), prj.Name.c_str(), prj.ErrCode));
}

bool UsableDataAddress(std::string_view hostPort) {
  std::string_view host = hostPort, port;
  if (size_t colon = hostPort.rfind(':'); colon != std::string_view::npos) {
    host = hostPort.substr(0, colon);
    port = hostPort.substr(colon + 1);
    if (port.empty() || port.size() > 5) return false;
    uint32_t n = 0;
    for (char c : port) {
      if (c < '0' || c > '9') return false;
      n = n * 10 + uint32_t(c - '0');
    }
    if (n == 0 || n > 65535) return false;
  }
  if (host.empty() || host.size() > 255) return false;
  for (char c : host)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
          c == '_'))
      return false;
  return true;
}

static std::string KeyValue(const std::vector<std::string>& lines, std::string_view key) {
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    size_t eq = l.find('=');
    if (eq != std::string::npos && SameText(std::string_view(l).substr(0, eq), key)) return l.substr(eq + 1);
  }
  return {};
}

bool ParseLoginReply(TOpcPrj& prj, std::vector<std::string> lines) {
  if (lines.size() < 2) {
    if (lines.empty()) lines.emplace_back("ERROR");
    lines.emplace_back("17");
  }
  if (lines[0] != "OK") {
    auto code = TryDecimalToInt(lines[1]);
    DevRegError(prj, code ? *code : 17);
    return false;
  }
  std::string x = KeyValue(lines, "XINFO");
  if (x.empty()) {
    DevRegError(prj, 5);
    return false;
  }
  std::string first = x.substr(0, x.find(','));
  // Characters 4 to 6 (from 1) name device families without this function.
  if (first.size() >= 6 && (first.compare(3, 3, "718") == 0 || first.compare(3, 3, "748") == 0)) {
    DevRegError(prj, 5);
    return false;
  }
  prj.SID = KeyValue(lines, "SID");
  prj.ADDRS = LowerCase(KeyValue(lines, "ADDRS"));
  prj.ADDR = LowerCase(KeyValue(lines, "ADDR"));
  ChooseDataUrl(prj);
  // An item cut short (no session, no data-server address, or half of one) is no login:
  // it would make a data server for a garbled address. It fails like an invalid answer.
  const std::string& url = prj.DataUrl;
  if (prj.SID.empty() || !UsableDataAddress(std::string_view(url).substr(url.find("//") + 2))) {
    if (TSysOP.LogWebErr)
      LogWebError(Format("[DevRegError]%s:%s,BadLoginItem,DataUrl=%s", prj.DispName.c_str(), prj.Name.c_str(),
                         url.c_str()));
    SetNetState(prj, ncsIdle);
    SetProjectError(prj, nceNetwork);
    prj.HttpCode = -int32_t(kWhErrInvalidServerResponse);
    return false;
  }
  return true;
}

NxWinHTTP& LoginSession(TOpcCfgFile& cfg) {
  if (!cfg.LoginHttp) {
    cfg.LoginHttp = std::unique_ptr<NxWinHTTP, void (*)(NxWinHTTP*)>(new NxWinHTTP("ZelHTTP", false),
                                                                      [](NxWinHTTP* s) { delete s; });
    // Logins run on the main thread, which takes the stop signals: a login the cloud
    // holds back must not hold back the program's end.
    cfg.LoginHttp->SetStopOnPendingSignal(true);
  }
  return *cfg.LoginHttp;
}

void LoginBatch(TOpcCfgFile& cfg, const std::vector<TOpcPrj*>& projects) {
  const int64_t limit = SteadyMs() - kLoginCacheReuseMs;
  std::vector<TOpcPrj*> todo;
  for (TOpcPrj* p : projects) {
    const TRegCacheItem* item = cfg.RegCache.Find(p->Name);
    // A damaged cache line with an unusable address is no reusable login either.
    if (item && item->Time >= limit && !item->SID.empty() && UsableDataAddress(item->ADDR) &&
        (item->ADDRS.empty() || UsableDataAddress(item->ADDRS))) {
      p->SID = item->SID;
      p->ADDR = item->ADDR;
      p->ADDRS = item->ADDRS;
      p->RegTime = item->Time;
      ChooseDataUrl(*p);
    } else {
      todo.push_back(p);
    }
  }
  if (todo.empty()) return;
  if (todo.size() > size_t(kLoginsPerPost)) {
    for (size_t i = 0; i < todo.size(); i += kLoginsPerPost) {
      std::vector<TOpcPrj*> piece(todo.begin() + long(i),
                                  todo.begin() + long(std::min(todo.size(), i + kLoginsPerPost)));
      LoginBatch(cfg, piece);
    }
    return;
  }
  std::string body;
  for (TOpcPrj* p : todo) {
    body += DoReg(*p);
    body += kItemSeparator;
  }
  std::string server = todo.front()->CustServer.empty() ? std::string(kDefaultLoginServer) : todo.front()->CustServer;
  TwhParsedURL url(server + kLoginPath);
  int32_t result;
  std::string answer;
  if (!url.Valid()) {
    result = -int32_t(url.Error());  // the parser has logged the rejected URL already
  } else {
    NxWinHTTP& session = LoginSession(cfg);
    TwhConnect conn(session, url);
    result = PostText(session, conn, url, body, "text/plain", answer);
  }
  if (result != 200) {
    for (TOpcPrj* p : todo) {
      p->HttpCode = result;
      SetProjectError(*p, nceNetwork);
    }
    return;
  }
  std::vector<std::string> items = SplitItems(answer);
  // A batch whose status item is not "OK" answers for none of its projects: they stay
  // idle without a session and go to the retry list, like projects without an item.
  if (items.empty() || Trim(items[0]) != "OK") {
    if (TSysOP.LogWebErr)
      LogWebError("[LoginBatch]" + server + ",status=" + (items.empty() ? std::string() : Trim(items[0])));
    return;
  }
  for (size_t n = 0; n + 1 < items.size() && n < todo.size(); ++n) {
    todo[n]->HttpCode = 0;
    if (ParseLoginReply(*todo[n], SplitLines(items[n + 1]))) todo[n]->RegTime = SteadyMs();
  }
}

int AttachLoggedIn(TOpcCfgFile& cfg, const std::vector<TOpcPrj*>& projects) {
  int attached = 0;
  for (TOpcPrj* p : projects) {
    // A project its data server refuses (display name taken) waits for the retry too.
    if (!p->SID.empty() && g_DataServerMgr && g_DataServerMgr->AddProject(*p)) {
      ++attached;
    } else {
      AppendUnique(cfg.RetryList, p);
    }
  }
  return attached;
}
