#include "manager/core/opc_cfg_mgr.h"

#include <algorithm>

#include "common/config/app_paths.h"
#include "common/config/reg_cache.h"
#include "common/link/data_server.h"
#include "common/link/link_state.h"
#include "common/link/login.h"
#include "common/log/link_texts.h"

void TOpcMPrj::ResetRuntime() {
  if (ErrCode == nceVarConfig) {
    NetState = ncsIdle;
    ErrCode = nceNone;
  }
}

std::unique_ptr<TOpcPrj> TOpcCfgMgr::NewPrj() {
  auto p = std::make_unique<TOpcMPrj>();
  p->Owner = this;
  return p;
}

bool TOpcCfgMgr::MarkRefresh(bool forced) {
  if (Prjs.empty()) return false;
  for (auto& p : Prjs) p->LinkMode = forced ? lmForceRefresh : lmRefresh;
  return true;
}

void TOpcCfgMgr::StartRefreshWork() {
  // The manager never retries on its own: what failed shows in the tree until the
  // next refresh.
  RetryList.clear();
  ReLoginList.clear();
  reLogged_.clear();
  std::vector<TOpcPrj*> login, marked;
  for (auto& p : Prjs) {
    if (p->LinkMode == lmNone) continue;
    marked.push_back(p.get());
    if (p->SID.empty()) login.push_back(p.get());
    else p->NetState = ncsEnum;
  }
  if (!login.empty()) LoginBatch(*this, login);
  AttachLoggedIn(*this, marked);
}

bool TOpcCfgMgr::ScanStep(int64_t now) {
  NowMs = now;
  if (g_DataServerMgr) g_DataServerMgr->Step(now);
  // A project whose session the cloud dropped waits in the re-login list, which only
  // the server works through; here it is logged in once more, and a second loss in the
  // same refresh fails it, so a refresh always ends.
  if (!ReLoginList.empty()) {
    std::vector<TOpcPrj*> again;
    for (TOpcPrj* p : ReLoginList) {
      if (std::find(reLogged_.begin(), reLogged_.end(), p) == reLogged_.end()) {
        reLogged_.push_back(p);
        again.push_back(p);
      } else {
        SetProjectError(*p, nceNetwork);
      }
    }
    ReLoginList.clear();
    if (!again.empty()) {
      LoginBatch(*this, again);
      AttachLoggedIn(*this, again);
    }
  }
  return AnyBusy();
}

bool TOpcCfgMgr::AnyBusy() const {
  return std::any_of(Prjs.begin(), Prjs.end(), [](const auto& p) {
    return p->NetState != ncsIdle && p->NetState != ncsDone && p->NetState != ncsError;
  });
}

bool TOpcCfgMgr::RemovePrj(const TOpcPrj* prj) {
  auto it = std::find_if(Prjs.begin(), Prjs.end(), [prj](const auto& p) { return p.get() == prj; });
  if (it == Prjs.end()) return false;
  // The lists below only refer to projects: none may keep the destroyed one.
  std::erase(RetryList, prj);
  std::erase(ReLoginList, prj);
  if (g_DataServerMgr) g_DataServerMgr->DetachProject(**it);
  Prjs.erase(it);
  return true;
}

void TOpcCfgMgr::SaveFiles() {
  RefreshRegCache(*this);
  SaveRegCacheFile(RegCache, g_RegCacheFileName);
  SavePrjFile(g_PrjFileName);
}

std::string RootNodeText(size_t prjCount) {
  std::string t = "ZelOpcServer";
  if (prjCount > 0) t += "(" + std::to_string(prjCount) + "设备)";
  return t;
}

std::string PrjNodeText(const TOpcPrj& prj) {
  std::string t = prj.DispName + "[" + prj.Name + "]";
  // ErrText adds "#" and the absolute HTTP code to the network error.
  if (prj.ErrCode > 0) t += "(" + ErrText(prj.ErrCode, prj.HttpCode) + ")";
  return t;
}

int PrjNodeImage(const TOpcPrj& prj) { return prj.ErrCode <= 0 ? imgPrj : imgPrjErr; }

std::string VarsNodeText(const TOpcPrj& prj) {
  if (prj.Vars.empty()) return {};
  return prj.DevName + "(" + std::to_string(prj.Vars.size()) + "个变量)";
}
