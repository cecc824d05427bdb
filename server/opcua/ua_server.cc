#include "server/opcua/ua_server.h"

#include <cmath>

#include "common/cert/base64.h"
#include "common/cert/der_file.h"
#include "common/cert/self_cert.h"
#include "common/config/app_paths.h"
#include "common/helpers/file_helpers.h"
#include "common/helpers/message_boxes.h"
#include "common/log/server_log.h"
#include "common/platform/paths.h"
#include "common/settings/sys_config.h"
#include "server/runtime/zel_main.h"
#include "uaclib/crypto.h"

const char* TUAServer::Keep(std::string s) {
  texts_.push_back(std::move(s));
  return texts_.back().c_str();
}

TUAServer::TUAServer(TZelMain& main) : main_(main) {}

TUAServer::~TUAServer() {
  main_.SetPush(nullptr);
  if (handle_) uasDelServer(handle_);
  handle_ = nullptr;
}

void TUAServer::Fail(uint32_t rc) {
  const char* t = handle_ ? uasGetErrorInfo(handle_) : nullptr;
  lastError_ = t ? t : ("0x" + std::to_string(rc));
}

void TUAServer::FillConfig() {
  port_ = TSysOP.Port == 0 ? 4866 : TSysOP.Port;
  version_ = FileVersionText();
  config_ = TuasServerConfig{};
  config_.dispAddFolder = TSysOP.DispAddFolder ? 1 : 0;
  if (!TSysOP.User.empty()) {
    user_ = TSysOP.User;
    pass_ = TSysOP.Pass;
    config_.userName = user_.c_str();
    config_.password = pass_.c_str();
  }
  config_.buildDate = kUaBuildDate;
  config_.softwareVersion = version_.c_str();
  config_.manufacturerName = "Tarnwell";
  config_.productName = "ZelOpcServer3";
  config_.applicationUri = "urn:ZelOpcServer3";
  config_.buildNumber = version_.c_str();
}

TUAGroup* TUAServer::Folder(const std::string& name, TUAGroup* parent) {
  if (parent)
    for (TUAGroup* c : parent->Children)
      if (c->Name == name) return c;
  auto g = std::make_unique<TUAGroup>();
  g->Name = name;
  g->Rec.name = Keep(name);
  g->Rec.number = int32_t(folders_.size() + 1);
  g->Rec.parent = parent ? parent->Rec.number : 0;
  TUAGroup* raw = g.get();
  if (parent) parent->Children.push_back(raw);
  folders_.push_back(std::move(g));
  return raw;
}

void TUAServer::BuildNamespace() {
  const bool disp = TSysOP.DispAddFolder != 0;
  size_t total = 0;
  for (size_t i = 0; i < main_.PrjCount(); ++i) total += main_.SPrj(i).Vars.size();
  defs_.reserve(total);
  vars_.reserve(total);
  for (size_t i = 0; i < main_.PrjCount(); ++i) {
    TOpcSPrj& p = main_.SPrj(i);
    TUAGroup* top = Folder(p.DispName, nullptr);
    p.UaFolder = uint64_t(top->Rec.number);
    for (auto& up : p.Vars) {
      TZelVarItem& v = *up;
      std::string full = p.DispName + ".";
      std::string prefix = p.DispName + "_";
      TUAGroup* f = top;
      // A second group level without a first is ignored.
      if (!v.GroupName.empty()) {
        f = Folder(v.GroupName, f);
        full += v.GroupName + ".";
        prefix += v.GroupName + "_";
        if (!v.SubGroupName.empty()) {
          f = Folder(v.SubGroupName, f);
          full += v.SubGroupName + ".";
          prefix += v.SubGroupName + "_";
        }
      }
      TuasVarDef d{};
      d.fullName = Keep(full + v.Name);
      d.browseName = Keep(v.Name);
      d.displayName = disp ? Keep(prefix + v.Name) : d.browseName;
      d.context = &v;
      d.folder = f->Rec.number;
      d.typeCode = int32_t(uint16_t(v.DataType));
      d.access = v.ReadOnly ? 'R' : 'W';
      defs_.push_back(d);
      vars_.push_back(&v);
    }
  }
}

bool TUAServer::LoadCertificate(std::string& error) {
  const std::string certFile = g_DataDir + "/cert/self/localhost_cert.der";
  const std::string keyFile = g_DataDir + "/cert/self/localhost_key.der";
  if (!FileExists(certFile) || !FileExists(keyFile)) (void)CreateSelfCertificate();
  config_.certificateFlag = 1;
  const std::string cert64 = ReadDerFileBase64(certFile);
  const std::string key64 = ReadDerFileBase64(keyFile);
  if (cert64.empty() || key64.empty()) {
    error = "本程序自身的OPCUA证书文件错误!";
    return false;
  }
  if (!Base64Decode(cert64, cert_) || !Base64Decode(key64, key_)) {
    error = "本程序自身的OPCUA证书文件错误!";
    return false;
  }
  if (std::string warn = CertificateExpiryText(cert_); !warn.empty()) LogSys(warn);
  // Client certificates are judged against the folders beside the server's own.
  uaclib::TrustListOptions trustOptions;
  trustOptions.pkiDir = g_DataDir + "/cert";
  trustOptions.autoTrust = TSysOP.AutoTrust != 0;
  trust_ = std::make_unique<uaclib::TrustList>(trustOptions);
  config_.certificate = reinterpret_cast<const uint8_t*>(cert_.data());
  config_.certificateLength = int32_t(cert_.size());
  config_.privateKey = reinterpret_cast<const uint8_t*>(key_.data());
  config_.privateKeyLength = int32_t(key_.size());

  return true;
}

bool TUAServer::Build(std::string& error) {
  FillConfig();
  // A build without RSA (Windows) secures no channel: no certificate is made or read and
  // no trust list kept; the server serves SecurityPolicy None only, so AllowNone=0 would
  // leave it without a single endpoint and is refused instead.
  if (!uaclib::SecuredChannelsAvailable()) {
    if (!TSysOP.AllowNone) {
      error = "OPCUA初始化错误:ERROR! AllowNone=0";
      return false;
    }
    config_.certificateFlag = 0;
    LogSys("OPCUA: SecurityPolicy None only (no certificate support in this build)");
  } else if (!LoadCertificate(error)) {
    return false;
  }

  handle_ = uasNewServer(port_, &config_, &TUAServer::OnUAWrite);
  if (!handle_) {
    error = "OPCUA初始化错误:ERROR!";
    return false;
  }
  // [OPCUA] AllowNone=0: only signed and encrypted channels. Client certificates are
  // judged by the trust list.
  uint32_t rc = uasSetAllowNone(handle_, TSysOP.AllowNone ? 1 : 0);
  if (rc == 0 && trust_) rc = uasSetCertificateCheck(handle_, uaclib::TrustListCertCheck, trust_.get());
  if (rc != 0) {
    Fail(rc);
    error = "OPCUA初始化错误:ERROR!" + lastError_;
    return false;
  }
  BuildNamespace();
  std::vector<TuasVarDef*> defPtrs;
  defPtrs.reserve(defs_.size());
  for (auto& d : defs_) defPtrs.push_back(&d);
  std::vector<TuasFolder*> folderPtrs;
  for (auto& f : folders_) folderPtrs.push_back(&f->Rec);
  rc = uasAddNameSpace(handle_, defPtrs.data(), int(defPtrs.size()), folderPtrs.data(), int(folderPtrs.size()));
  if (rc != 0) {
    Fail(rc);
    error = "OPCUA初始化错误:ERROR!" + lastError_;
    return false;
  }
  items_.resize(defs_.size());
  for (size_t i = 0; i < defs_.size(); ++i) {
    items_[i] = TuasUpdateItem{defs_[i].node, &vars_[i]->Value, kUaBadCommunicationError, 0};
    vars_[i]->UaNode = uint64_t(i + 1);
  }
  main_.SetPush(this);
  return true;
}

bool TUAServer::Start() {
  if (!buildError_.empty()) {
    ErrorBox(buildError_);
    return false;
  }
  uint32_t rc = uasRunStart(handle_);
  if (rc != 0) {
    Fail(rc);
    ErrorBox("OPCUA初始化错误:" + lastError_);
    return false;
  }
  rc = uasRunIntv(handle_, &stats_, int(sizeof stats_));
  if (rc & 0xFFFF0000u) {
    Fail(rc);
    ErrorBox("OPCUA运行错误:" + lastError_);
    return false;
  }
  // Every variable starts bad until its first value arrives; nothing pushed before this
  // outlives it.
  queued_.clear();
  queuedValues_.clear();
  std::vector<TuasUpdateItem*> all;
  all.reserve(items_.size());
  for (auto& it : items_) {
    it.status = kUaBadCommunicationError;
    all.push_back(&it);
  }
  rc = all.empty() ? 0 : uasUpdateVar(handle_, all.data(), int(all.size()));
  if (rc != 0) {
    Fail(rc);
    ErrorBox("OPCUA运行错误:" + lastError_);
    return false;
  }
  return true;
}

void TUAServer::RunStep() {
  if (!handle_) return;
  FlushUpdates();
  pending_ = false;
  uint32_t rc = uasRunIntv(handle_, &stats_, int(sizeof stats_));
  if (rc & 0xFFFF0000u) Fail(rc);
  // Values that the write callbacks pushed during the step are sampled now, not a step
  // later.
  FlushUpdates();
}

void TUAServer::FlushUpdates() {
  if (queued_.empty()) return;
  queuedPtrs_.clear();
  for (size_t i = 0; i < queued_.size(); ++i) {
    queued_[i].value = &queuedValues_[i];
    queuedPtrs_.push_back(&queued_[i]);
  }
  uint32_t rc = uasUpdateVar(handle_, queuedPtrs_.data(), int(queuedPtrs_.size()));
  queued_.clear();
  queuedValues_.clear();
  if (rc != 0) Fail(rc);
}

TUaServerHost::TWait TUAServer::Wait() {
  TuasWaitInfo info{};
  if (!handle_ || uasGetWaitInfo(handle_, &info, int(sizeof info)) != 0) return {};
  return {info.fd, info.timeoutMs};
}

void TUAServer::UpdateVar(TZelVarItem& var, bool bad) {
  if (!handle_ || var.UaNode == 0 || var.UaNode > items_.size()) return;
  // Without run steps (timers blocked) the queue stays bounded: at two changes per
  // variable it goes to the library at once.
  if (queued_.size() >= 2 * items_.size()) FlushUpdates();
  queued_.push_back(TuasUpdateItem{items_[var.UaNode - 1].node, nullptr, bad ? kUaBadCommunicationError : 0u, 0});
  queuedValues_.push_back(var.Value);
  pending_ = true;
}

void TUAServer::OnUAWrite(void*, void* context, double* value) {
  auto* v = static_cast<TZelVarItem*>(context);
  // uaclib refuses these already; a device must never be sent "nan" whatever the caller.
  if (!v || !value || !std::isfinite(*value) || !v->Prj || v->DataType == VAR_STR) return;
  v->Prj->SetValue(*v, *value);
}

std::string CertificateExpiryText(const std::string& der) {
  int days = 0;
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(der.data()), der.size());
  if (!uaclib::CertificateDaysLeft(bytes, days) || days >= kCertExpiryWarnDays) return {};
  if (days < 0) return "OPCUA证书已过期 (" + std::to_string(-days) + " 天前): " + SelfCertDerPath();
  return "OPCUA证书将在 " + std::to_string(days) + " 天后过期: " + SelfCertDerPath();
}

std::unique_ptr<TUAServer> BuildUAServer(TZelMain& main) {
  if (TSysOP.Enable == 0) return nullptr;
  if (TSysOP.LogLevel > 0) uaInitLib([](int c, int l, const char* t) { OnUALog(c, l, t); }, 1);
  auto ua = std::make_unique<TUAServer>(main);
  std::string error;
  if (!ua->Build(error)) ua->buildError_ = error.empty() ? std::string("OPCUA初始化错误:ERROR!") : error;
  return ua;
}
