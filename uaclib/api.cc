// The C API of uaclib.h over the Server class. Every entry point catches all
// exceptions: none crosses the C boundary, a failure becomes a Bad status code and the
// text of uasGetErrorInfo.
#include <algorithm>
#include <climits>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "uaclib/log.h"
#include "uaclib/server.h"
#include "uaclib/status_codes.h"
#include "uaclib/uaclib.h"

namespace {

// A certificate check of the C API as the server's verifier.
class CallbackVerifier final : public uaclib::CertificateVerifier {
 public:
  CallbackVerifier(uasCertCheckFun check, void* context) : check_(check), context_(context) {}
  uaclib::StatusCode VerifyChannelCertificate(std::span<const uint8_t> der) override {
    return Call(der, nullptr);
  }
  uaclib::StatusCode VerifyApplicationUri(std::span<const uint8_t> der,
                                          std::string_view applicationUri) override {
    std::string uri(applicationUri);
    return Call(der, uri.c_str());
  }

 private:
  uaclib::StatusCode Call(std::span<const uint8_t> der, const char* uri) {
    if (der.size() > INT32_MAX) return uaclib::status::BadCertificateInvalid;
    uint32_t sc = check_(context_, der.data(), int32_t(der.size()), uri);
    // Anything but Good or a Bad status counts as a refusal.
    if (sc != 0 && !uaclib::IsBad(sc)) return uaclib::status::BadSecurityChecksFailed;
    return sc;
  }
  uasCertCheckFun check_;
  void* context_;
};

}  // namespace

// The verifier is declared before the server: the server points at it while it lives.
struct uasServer {
  std::unique_ptr<CallbackVerifier> verifier;
  std::unique_ptr<uaclib::Server> server;
  std::string error;
};

namespace {

using uaclib::StatusCode;
namespace status = uaclib::status;

std::string Text(const char* s) { return s ? std::string(s) : std::string(); }

template <class F>
StatusCode Guarded(uasHandle h, F&& f) {
  if (!h || !h->server) return status::BadInvalidArgument;
  try {
    return f(*h->server);
  } catch (const std::bad_alloc&) {
    h->server->SetError("out of memory");
    return status::BadOutOfMemory;
  } catch (const std::exception& e) {
    h->server->SetError(std::string("internal error: ") + e.what());
    return status::BadInternalError;
  } catch (...) {
    h->server->SetError("internal error");
    return status::BadInternalError;
  }
}

}  // namespace

extern "C" {

uint32_t uaInitLib(uasLogFun log, int flags) {
  (void)flags;
  uaclib::SetLogCallback(log);
  return 0;
}

uasHandle uasNewServer(int port, const TuasServerConfig* config, uasWriteFun onWrite) {
  try {
    uaclib::ServerConfig cfg;
    if (config) {
      cfg.info.applicationUri = Text(config->applicationUri);
      cfg.info.productName = Text(config->productName);
      cfg.info.manufacturerName = Text(config->manufacturerName);
      cfg.info.softwareVersion = Text(config->softwareVersion);
      cfg.info.buildNumber = Text(config->buildNumber);
      cfg.info.buildDate = uaclib::OleDateToDateTime(config->buildDate);
      if (!cfg.info.manufacturerName.empty() || !cfg.info.productName.empty())
        cfg.info.productUri = "urn:" + cfg.info.manufacturerName + ":" + cfg.info.productName;
      if (config->userName && config->userName[0]) {
        cfg.hasUser = true;
        cfg.userName = config->userName;
        cfg.password = Text(config->password);
      }
      if (config->certificateFlag == 1) {
        if (config->certificate && config->certificateLength > 0)
          cfg.certificate.assign(reinterpret_cast<const char*>(config->certificate),
                                 size_t(config->certificateLength));
        if (config->privateKey && config->privateKeyLength > 0)
          cfg.privateKey.assign(reinterpret_cast<const char*>(config->privateKey),
                                size_t(config->privateKeyLength));
      }
    }
    auto* h = new uasServer;
    h->server = std::make_unique<uaclib::Server>(port, std::move(cfg), onWrite);
    return h;
  } catch (...) {
    return nullptr;
  }
}

uint32_t uasAddNameSpace(uasHandle h, TuasVarDef** defs, int defCount, TuasFolder** folders,
                         int folderCount) {
  return Guarded(h, [&](uaclib::Server& s) { return s.AddNamespace(defs, defCount, folders, folderCount); });
}

uint32_t uasRunStart(uasHandle h) {
  return Guarded(h, [](uaclib::Server& s) { return s.Start(); });
}

uint32_t uasRunIntv(uasHandle h, TuasRunStats* stats, int statsSize) {
  return Guarded(h, [&](uaclib::Server& s) { return s.RunOnce(stats, statsSize); });
}

uint32_t uasUpdateVar(uasHandle h, TuasUpdateItem** items, int count) {
  return Guarded(h, [&](uaclib::Server& s) { return s.Update(items, count); });
}

const char* uasGetErrorInfo(uasHandle h) {
  if (!h || !h->server) return "invalid server handle";
  try {
    h->error = h->server->LastError();
    return h->error.c_str();
  } catch (...) {
    return "out of memory";
  }
}

void uasDelServer(uasHandle h) {
  try {
    delete h;
  } catch (...) {
  }
}

uint32_t uasSetLimit(uasHandle h, const char* name, double value) {
  return Guarded(h, [&](uaclib::Server& s) {
    if (!name) return StatusCode(status::BadInvalidArgument);
    return s.SetLimit(name, value);
  });
}

uint32_t uasGetWaitInfo(uasHandle h, TuasWaitInfo* info, int infoSize) {
  return Guarded(h, [&](uaclib::Server& s) {
    if (!info || infoSize <= 0) return StatusCode(status::BadInvalidArgument);
    TuasWaitInfo w{};
    w.fd = s.WaitFd();
    // A timer further away than an int holds is as good as never.
    w.timeoutMs = int32_t(std::min<int64_t>(s.WaitTimeoutMs(), INT32_MAX));
    std::memcpy(info, &w, std::min(size_t(infoSize), sizeof w));
    return StatusCode(status::Good);
  });
}

int uasGetPort(uasHandle h) {
  if (!h || !h->server) return 0;
  return h->server->Port();
}

uint32_t uasSetAllowNone(uasHandle h, int allow) {
  return Guarded(h, [&](uaclib::Server& s) { return s.SetAllowNone(allow != 0); });
}

uint32_t uasSetCertificateCheck(uasHandle h, uasCertCheckFun check, void* context) {
  return Guarded(h, [&](uaclib::Server& s) {
    auto verifier = check ? std::make_unique<CallbackVerifier>(check, context) : nullptr;
    s.SetCertificateVerifier(verifier.get());
    h->verifier = std::move(verifier);
    return StatusCode(status::Good);
  });
}

}  // extern "C"
