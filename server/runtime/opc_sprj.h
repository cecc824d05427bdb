// The server's project: the configured project plus its runtime variables, the write
// queue and the decisions when to read and write. Everything here runs on the main
// thread; no lock protects values or queues.
#pragma once
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "common/config/opc_prj.h"
#include "server/runtime/zel_var_item.h"


struct TWriteEntry {
  TZelVarItem* pVar = nullptr;
  double Value = 0;
  int64_t QueueTime = 0;  // link clock (SteadyMs)
};

inline constexpr size_t kWriteQueueCap = 512;
inline constexpr int64_t kWriteDelayMs = 200;

// Receives value pushes (the OPC UA bridge). Status good or bad.
class TValuePush {
 public:
  virtual ~TValuePush() = default;
  virtual void UpdateVar(TZelVarItem& var, bool bad) = 0;
};

// Asks the main window for a timed close (changed variable configuration).
class TCloseScheduler {
 public:
  virtual ~TCloseScheduler() = default;
  virtual void ScheduleClose(int seconds) = 0;
};

class TOpcSPrj : public TOpcPrj {
 public:
  TOpcSPrj() = default;
  ~TOpcSPrj() override = default;

  bool ApplyReadText(std::string_view section) override;
  bool ApplyReadBin(TNxMemStream& in) override;
  void ResetRuntime() override;
  bool IsReadDue(int64_t now) override;
  bool IsWriteDue(int64_t now) override;
  bool ApplyWriteResult(std::string_view section) override;
  void WritesUnanswered() override;
  std::string BuildWriteRequest() override;
  virtual void OnTick() {}
  virtual double GetValue(const TZelVarItem& var) const { return var.Value; }
  virtual void SetValue(TZelVarItem& var, double x);
  virtual void AppendStatusLines(std::vector<std::string>& list) const;

  // Builds one runtime variable per configured variable (start-up).
  void BuildVars();
  void ReadCompleted();

  std::deque<TWriteEntry> WriteQ;
  std::deque<TWriteEntry> SentQ;
  // Runtime variables, one per configured variable (TOpcPrj::Vars) in the same order.
  std::vector<std::unique_ptr<TZelVarItem>> Vars;
  uint64_t UaFolder = 0;

  // Where value pushes and timed closes go (the main object's; none in tests by default).
  TValuePush* Push = nullptr;
  TCloseScheduler* Closer = nullptr;

 private:
  // The entries in flight were answered: their write locks go.
  void ReleaseSent();
  void PushVar(TZelVarItem& v, bool bad) {
    if (Push) Push->UpdateVar(v, bad);
  }
};

// Good: the project is in ncsStartRW, ncsRunning or ncsReLogin and the variable is valid.
bool IsGood(const TZelVarItem& var);
// Shortest general form with up to 15 significant digits, '.' as separator ("1", "0.5").
std::string FormatWriteValue(double x);
