// Data servers: one per data-server URL, each with an HTTP session and two worker
// threads, a reader (enumeration and read batches) and a writer (write batches).
//
// Threads and hand-over (no lock; ownership passes by phases):
//   main thread, Busy == 0      prepares the batch (lines, projects, mode), then
//                               StartBatch: Busy = 1 (release) and signals the event;
//   worker, after the signal    posts the batch, writes Result/HttpStatus/ServerCode,
//                               resets its event, then Done = 1 (release);
//   main thread, Done == 1      (acquire) applies the result, then ResetBatch clears
//                               Done and Busy.
// The event is reset before Done is set, so a batch signalled right after the main
// thread saw Done cannot be lost. Only the session (thread-safe) and the log sender are
// touched by both sides at once.
//
// Everything else (decisions, parsing, state changes) runs on the main thread inside
// TDataServerMgr::Step. Every time here (`now`, NextRetry, project times) is link-clock
// milliseconds (SteadyMs), so a stepped wall clock never stalls or hurries the link.
#pragma once
#include <atomic>
#include <condition_variable>
#include <functional>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

class NxWinHTTP;
class TOpcPrj;

inline constexpr const char* kBatchPath = "/exmulti";
inline constexpr std::string_view kBatchMarker = "<[{#}]>\r\n";
inline constexpr int kLinesPerPost = 100;
inline constexpr int kTransportPauseMs = 2000;
inline constexpr const char* kCloudDomainSuffix = ".ZELCLOUD.EXAMPLE";

// "OPC_DS_" + kind + "_" + host: the URL upper-cased, without scheme, cloud domain suffix
// and port.
std::string DataThreadName(char kind, const std::string& url);

class TOpcDataThread {
 public:
  // onDone (may be empty) is called on the worker thread after each batch is done, so
  // the main loop can pick the result up at once instead of at its next tick.
  TOpcDataThread(NxWinHTTP& session, char kind, std::string url, std::function<void()> onDone = {});
  ~TOpcDataThread();  // asks the thread to end, wakes it and joins it
  TOpcDataThread(const TOpcDataThread&) = delete;
  TOpcDataThread& operator=(const TOpcDataThread&) = delete;

  // Main thread, while !IsBusy().
  void QueueOp(TOpcPrj& prj, std::string_view op, std::string_view payload);
  bool HasWork() const { return !Lines.empty(); }
  void StartBatch(bool binaryMode);
  void ResetBatch();
  bool IsBusy() const { return busy_.load(std::memory_order_acquire); }
  bool IsDone() const { return done_.load(std::memory_order_acquire); }

  const std::string& Name() const { return name_; }
  char Kind() const { return kind_; }
  int64_t RunCount() const { return runCount_.load(std::memory_order_relaxed); }

  // Batch data: written by the main thread while not busy, by the worker while busy and
  // not done, read by the main thread once done.
  std::vector<std::string> Lines;
  std::vector<TOpcPrj*> Projects;  // one per line, not owning
  std::string Result;              // the batch result: markers, sections, two zero bytes
  int32_t HttpStatus = 0;
  int32_t ServerCode = 0;
  bool BinaryMode = false;

  // Posts lines to url + "/exmulti" with the attempts and pauses of the data link;
  // `answer` holds the last answer; `serverCode` the code of its head. `stop` ends the
  // pauses early.
  static int32_t PostBatch(NxWinHTTP& session, const std::string& url, const std::vector<std::string>& lines,
                           size_t first, size_t count, std::string& answer, int32_t& serverCode,
                           const std::atomic<bool>* stop = nullptr);

 private:
  void Run();
  void RunBatch();
  bool PauseInterrupted(int ms);

  NxWinHTTP& session_;
  const char kind_;
  const std::string url_;
  const std::string name_;
  std::atomic<bool> busy_{false};
  std::atomic<bool> done_{false};
  std::atomic<bool> terminate_{false};
  std::atomic<int64_t> runCount_{0};
  const std::function<void()> onDone_;
  std::string answer_;  // worker only: the answer of one POST, kept for its capacity
  // Manual-reset event.
  std::mutex eventMutex_;
  std::condition_variable eventCv_;
  bool signalled_ = false;  // guarded by eventMutex_
  std::thread thread_;
};

class TOpcDataServer {
 public:
  explicit TOpcDataServer(std::string url, std::function<void()> onBatchDone = {});
  ~TOpcDataServer();
  TOpcDataServer(const TOpcDataServer&) = delete;
  TOpcDataServer& operator=(const TOpcDataServer&) = delete;

  // Attaches a project in ncsEnum (true; also when it is attached already). A project
  // that is not in ncsEnum, or whose display name another project holds here, is
  // refused (false) and left as it is.
  bool AddProject(TOpcPrj& prj);
  TOpcPrj* RemoveProject(const std::string& dispName);
  bool Has(const TOpcPrj& prj) const;
  // The attached project of that display name, or nullptr.
  TOpcPrj* Find(const std::string& dispName) const;
  // No project attached and no batch in flight: the data server may go.
  bool Unused() const { return projects_.empty() && !reader_->IsBusy() && !writer_->IsBusy(); }
  void Step(int64_t now);

  const std::string& Url() const { return url_; }
  NxWinHTTP& Session() { return *session_; }
  TOpcDataThread& Reader() { return *reader_; }
  TOpcDataThread& Writer() { return *writer_; }
  std::vector<TOpcPrj*> AttachedProjects() const;
  size_t ProjectCount() const { return projects_.size(); }
  int64_t NextRetry = 0;

  // The steps of one cycle (exposed for tests).
  void SendEnumsAndReads(int64_t now);
  void SendWrites(int64_t now);
  void ProcessReadResult(int64_t now);
  void ProcessWriteResult(int64_t now);
  void DevError_Retry();
  void FailBatch(const std::vector<TOpcPrj*>& projects, int32_t result);
  // The write entries of a batch that got no answer go back to their projects' queues.
  static void ReturnUnansweredWrites(const std::vector<TOpcPrj*>& projects);

 private:
  void ApplyTextItems(TOpcDataThread& t, int64_t now, bool writes);
  void ApplyBinary(TOpcDataThread& t, int64_t now);

  std::unique_ptr<NxWinHTTP> session_;
  std::string url_;
  std::map<std::string, TOpcPrj*> projects_;  // by DispName, not owning
  // Declared last: the threads end before the session and the project list go.
  std::unique_ptr<TOpcDataThread> reader_;
  std::unique_ptr<TOpcDataThread> writer_;
};

class TDataServerMgr {
 public:
  TDataServerMgr() = default;
  ~TDataServerMgr();  // stops every data server's threads, aborting transfers in progress
  TDataServerMgr(const TDataServerMgr&) = delete;
  TDataServerMgr& operator=(const TDataServerMgr&) = delete;

  // Finds or makes the data server of the project's DataUrl and attaches the project.
  // A project refused because another project of its data server has its display name
  // is put in the error state (nceDeviceId) with a log line naming both.
  bool AddProject(TOpcPrj& prj);
  // Removes the project (found by DispName) from the data server of its DataUrl; true
  // when the removed project was this one.
  bool DetachProject(TOpcPrj& prj);
  TOpcDataServer* FindServer(const std::string& url);
  // Steps every data server, then drops the ones no project uses any more.
  void Step(int64_t now);
  size_t Count() const { return servers_.size(); }
  // Called on a worker thread whenever a batch of a data server made from now on is done.
  void SetBatchDoneHook(std::function<void()> hook) { onBatchDone_ = std::move(hook); }
  // Ends every data server; transfers in progress are aborted first, all at once.
  void Clear();

 private:
  std::map<std::string, std::unique_ptr<TOpcDataServer>> servers_;  // by URL, owning
  std::function<void()> onBatchDone_;
};

// The process's data-server manager, made at start-up after the paths.
extern std::unique_ptr<TDataServerMgr> g_DataServerMgr;

// Project-side handling of answers (main thread).
bool ParseEnumReply(TOpcPrj& prj, const std::string& infoItem, const std::string& enumItem);
void ReplaceVarList(TOpcPrj& prj, const std::vector<std::string>& enumLines);
// Error item: code 8 -> ncsReLogin, else SetProjectError(MapServerCode). Always false.
bool ApplyErrorReply(TOpcPrj& prj, std::vector<std::string> lines);
void HandleReLogin(TOpcPrj& prj);
