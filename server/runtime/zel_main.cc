#include "server/runtime/zel_main.h"

#include "common/link/data_server.h"
#include "common/link/link_state.h"
#include "common/link/login.h"
#include "common/log/link_texts.h"
#include "common/log/server_log.h"
#include "common/settings/sys_config.h"

std::unique_ptr<TZelMain> gp_Main;

TZelMain::TZelMain() = default;

TZelMain::~TZelMain() {
  // The data servers refer to our projects: they stop before the projects go.
  if (g_DataServerMgr) g_DataServerMgr->Clear();
}

std::unique_ptr<TOpcPrj> TZelMain::NewPrj() {
  auto p = std::make_unique<TOpcSPrj>();
  // Projects made here belong to this object even before LoadPrjFile adopts them: the
  // data link files them in our RetryList and ReLoginList through this pointer.
  p->Owner = this;
  p->Push = push_;
  p->Closer = closer_;
  return p;
}

void TZelMain::SetPush(TValuePush* push) {
  push_ = push;
  for (size_t i = 0; i < PrjCount(); ++i) SPrj(i).Push = push;
}

void TZelMain::SetCloser(TCloseScheduler* closer) {
  closer_ = closer;
  for (size_t i = 0; i < PrjCount(); ++i) SPrj(i).Closer = closer;
}

void TZelMain::BuildRuntime() {
  for (size_t i = 0; i < PrjCount(); ++i) {
    TOpcSPrj& p = SPrj(i);
    p.NetState = ncsIdle;
    p.UaFolder = 0;
    p.BuildVars();
  }
}

void TZelMain::RunTick(int64_t now) {
  if (Prjs.empty()) return;
  std::vector<TOpcPrj*> all;
  if (firstTick_) {
    firstTick_ = false;
    TickNow = now;
    RetryDeadline = 0;
    for (auto& p : Prjs) {
      p->RunStart = TickNow;
      p->LinkMode = lmRun;
      all.push_back(p.get());
    }
    LoginBatch(*this, all);
    AttachLoggedIn(*this, all);
    if (!RetryList.empty() && TSysOP.LogWebErr) LogSys("InitRegError:ZEL=[" + ProjectListText(RetryList) + "]");
    return;
  }
  TickNow = now;
  if (!ReLoginList.empty()) {
    if (TSysOP.LogWebErr) LogSys("ReReg:ZEL=[" + ProjectListText(ReLoginList) + "]");
    std::vector<TOpcPrj*> list;
    list.swap(ReLoginList);
    LoginBatch(*this, list);
    AttachLoggedIn(*this, list);
  }
  if (!RetryList.empty()) {
    if (RetryDeadline == 0) {
      RetryDeadline = TickNow + kLoginRetryMs;
    } else if (TickNow >= RetryDeadline) {
      RetryDeadline = 0;
      if (TSysOP.LogWebErr) LogSys("ErrorRetryReg:ZEL=[" + ProjectListText(RetryList) + "]");
      std::vector<TOpcPrj*> list;
      list.swap(RetryList);
      LoginBatch(*this, list);
      AttachLoggedIn(*this, list);
    }
  }
  if (RetryList.empty()) RetryDeadline = 0;
  for (size_t i = 0; i < PrjCount(); ++i) SPrj(i).OnTick();
  if (g_DataServerMgr) g_DataServerMgr->Step(TickNow);
}

std::vector<std::string> TZelMain::StatusLines() const {
  std::vector<std::string> out;
  for (const auto& up : Prjs) {
    const auto& p = static_cast<const TOpcSPrj&>(*up);
    int good = 0;
    for (const auto& v : p.Vars) good += IsGood(*v) ? 1 : 0;
    std::string line = p.DispName + "\t" + p.Name + "\t" + StateText(p.NetState) + "\t" +
                       (p.ErrCode ? ErrText(p.ErrCode, p.HttpCode) : std::string()) + "\t" + p.DevName + "\t" +
                       "Vars=" + std::to_string(p.Vars.size()) + ",Good=" + std::to_string(good);
    std::vector<std::string> counters;
    p.AppendStatusLines(counters);
    for (const auto& c : counters) line += "," + c;
    out.push_back(line);
  }
  return out;
}

std::vector<std::string> TZelMain::ValueLines() const {
  std::vector<std::string> out;
  for (const auto& up : Prjs) {
    const auto& p = static_cast<const TOpcSPrj&>(*up);
    for (const auto& v : p.Vars)
      out.push_back(p.Name + "\t" + v->Name + "\t" + FormatWriteValue(v->Value) + "\t" + (IsGood(*v) ? "good" : "bad"));
  }
  return out;
}
