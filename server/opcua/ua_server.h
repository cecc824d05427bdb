// The OPC UA side of the server: builds the library's configuration, folder tree and
// variable definitions from the projects, drives its run step from the base tick,
// pushes value changes and routes client writes back to the projects. Main thread only.
#pragma once
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "server/core/main_window.h"
#include "server/runtime/opc_sprj.h"
#include "uaclib/trust_list.h"
#include "uaclib/uaclib.h"

class TZelMain;

inline constexpr uint32_t kUaBadCommunicationError = 0x80050000;
// A server certificate with fewer days left than this is reported at start.
inline constexpr int kCertExpiryWarnDays = 30;
inline constexpr double kUaBuildDate = 45261.0 + 10.0 / 24.0;  // 2023-12-01 10:00:00

// One folder of the tree: the library's record and the folder's children.
struct TUAGroup {
  TuasFolder Rec{};
  std::string Name;
  std::vector<TUAGroup*> Children;  // not owning
};

class TUAServer : public TUaServerHost, public TValuePush {
 public:
  explicit TUAServer(TZelMain& main);
  ~TUAServer() override;  // uasDelServer

  // Build steps 3..9: configuration, certificate, library server, namespace. False with
  // the box text in `error` when the program must end.
  [[nodiscard]] bool Build(std::string& error);
  // TUaServerHost. A failure has been shown in a box; the window then closes.
  bool Start() override;
  void RunStep() override;
  int ClientCount() override { return stats_.clients; }
  int Port() const override { return port_; }
  bool HasPendingUpdates() const override { return pending_; }
  TWait Wait() override;
  // TValuePush
  void UpdateVar(TZelVarItem& var, bool bad) override;

  const std::string& LastError() const { return lastError_; }
  const std::vector<std::unique_ptr<TUAGroup>>& Folders() const { return folders_; }
  const std::vector<TuasVarDef>& Defs() const { return defs_; }
  const TuasServerConfig& Config() const { return config_; }
  // The client certificate trust list over <data directory>/cert (null before Build, and
  // always in a build without secured channels).
  uaclib::TrustList* Trust() const { return trust_.get(); }
  uasHandle Handle() const { return handle_; }
  int ListeningPort() const { return handle_ ? uasGetPort(handle_) : 0; }

  // The write callback of the library.
  static void OnUAWrite(void* unused, void* context, double* value);

 private:
  TUAGroup* Folder(const std::string& name, TUAGroup* parent);
  const char* Keep(std::string s);
  void Fail(uint32_t rc);
  void FillConfig();
  // The self certificate (made when missing) and key into the configuration, and the
  // trust list; false with the error text.
  bool LoadCertificate(std::string& error);
  void BuildNamespace();
  void FlushUpdates();

  TZelMain& main_;
  // Texts handed to the library must stay at one address while it lives: a deque never
  // moves its elements.
  std::deque<std::string> texts_;
  uasHandle handle_ = nullptr;
  int port_ = 4866;
  bool pending_ = false;  // UpdateVar since the last run step
  // Changes since the last run step, each with its own copy of the value (a variable
  // that changes twice before the step passes both values on). They reach the library
  // in one uasUpdateVar call at the step: one look at the clock per batch instead of
  // two per value.
  std::vector<TuasUpdateItem> queued_;
  std::vector<double> queuedValues_;
  std::vector<TuasUpdateItem*> queuedPtrs_;
  TuasServerConfig config_{};
  TuasRunStats stats_{};
  std::string lastError_;
  std::string cert_, key_;  // DER bytes behind the config's pointers
  std::unique_ptr<uaclib::TrustList> trust_;
  std::string user_, pass_, version_;
  std::vector<std::unique_ptr<TUAGroup>> folders_;
  std::vector<TuasVarDef> defs_;
  std::vector<TuasUpdateItem> items_;
  std::vector<TZelVarItem*> vars_;
  // The box text of a failed build: Start shows it and fails, so that the program ends
  // through the window's close.
  std::string buildError_;
  friend std::unique_ptr<TUAServer> BuildUAServer(TZelMain& main);
};

// The start-up log line about the server certificate's end of validity: empty while
// more than kCertExpiryWarnDays days are left (or the bytes are no certificate).
std::string CertificateExpiryText(const std::string& der);

// BuildUAServer: the bridge when [OPCUA] Enable is set (null otherwise). After a failed
// build the bridge's Start shows the failure and fails, which closes the window.
std::unique_ptr<TUAServer> BuildUAServer(TZelMain& main);
