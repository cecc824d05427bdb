#include "server/core/server_info.h"

#include <algorithm>

#include "common/log/link_texts.h"
#include "common/platform/text.h"
#include "server/core/main_window.h"
#include "server/runtime/zel_main.h"

TServerInfoRow ServerInfoHeaders(const TmyLangString& lang) {
  TServerInfoRow h = {"ID", "设备名称信息", "服务器连接", "设备连接", "故障信息"};
  for (int i = 0; i < kServerInfoColumns; ++i)
    if (!lang.ColHeader[i].empty()) h[size_t(i)] = lang.ColHeader[i];
  return h;
}

int DerivedServerState(int netState, int errCode) {
  if (netState == ncsEnum || netState == ncsStartRW || netState == ncsReLogin) return ncsRunning;
  if (netState == ncsError && errCode >= nceTransparent) return ncsRunning;
  return netState;
}

std::vector<TServerInfoRow> ServerInfoRows(TZelMain& main) {
  std::vector<TServerInfoRow> rows;
  for (size_t i = 0; i < main.PrjCount(); ++i) {
    const TOpcSPrj& p = main.SPrj(i);
    TServerInfoRow r;
    r[0] = std::to_string(i + 1);
    r[1] = p.DispName + "[" + p.Name + "](" + p.DevName + ")";
    if (p.WriteOpt == 1) r[1] += "写优化:低";
    else if (p.WriteOpt == 2) r[1] += "写优化:无";
    const int derived = DerivedServerState(p.NetState, p.ErrCode);
    r[2] = StateText(derived);
    // A network or password failure leaves the device side unknown.
    if (!(derived == ncsError && (p.ErrCode == nceNetwork || p.ErrCode == ncePassword))) r[3] = StateText(p.NetState);
    r[4] = ErrText(p.ErrCode, p.HttpCode);
    rows.push_back(std::move(r));
  }
  return rows;
}

int ServerInfoMemoHeight(int contentHeight) { return contentHeight <= 400 ? contentHeight * 2 / 5 : 160; }

TServerInfoMenu ServerInfoMenuFor(const TOpcSPrj* selected) {
  TServerInfoMenu m;
  if (!selected || selected->NoSavePass == 0) return m;
  m.DeletePassword = true;
  m.EnterPassword = selected->NetState != ncsRunning;
  return m;
}

bool ServerInfoAsksPasswordOnDoubleClick(const TOpcSPrj* selected) {
  return selected && selected->NoSavePass != 0 && selected->ErrCode == ncePassword;
}

namespace {
constexpr size_t kPasswordUnits = 16;
}  // namespace

void EnterProjectPassword(TZelMain& main, TOpcSPrj& prj, const std::string& password) {
  prj.Password = Utf16Left(password, kPasswordUnits);
  prj.WriteRegPass(prj.Name, EncodePass(prj.Password));
  // A refused login waits up to 20 s for its retry round; a fresh password need not.
  auto& retry = main.RetryList;
  const auto it = std::find(retry.begin(), retry.end(), &prj);
  if (it == retry.end()) return;
  retry.erase(it);
  if (std::find(main.ReLoginList.begin(), main.ReLoginList.end(), &prj) == main.ReLoginList.end())
    main.ReLoginList.push_back(&prj);
}

void DeleteSavedPassword(TOpcSPrj& prj) { prj.DeleteRegPass(prj.Name); }

void ApplySavedPasswords(TZelMain& main) {
  for (size_t i = 0; i < main.PrjCount(); ++i) {
    TOpcSPrj& p = main.SPrj(i);
    if (p.NoSavePass == 0 || !p.Password.empty()) continue;
    const std::string kept = p.ReadRegPass(p.Name);
    if (!kept.empty()) p.Password = DecodePass(kept);
  }
}
