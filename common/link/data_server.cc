#include "common/link/data_server.h"

#include <pthread.h>

#include <algorithm>
#include <cmath>

#include "common/archive/obj_archive.h"
#include "common/config/cfg_file.h"
#include "common/config/opc_prj.h"
#include "common/config/reg_cache.h"
#include "common/helpers/result_codes.h"
#include "common/http/win_http_client.h"
#include "common/link/typed_value.h"
#include "common/link/link_state.h"
#include "common/link/login.h"
#include "common/log/link_texts.h"
#include "common/log/server_log.h"
#include "common/platform/clock.h"
#include "common/platform/text.h"
#include "common/settings/sys_config.h"

std::unique_ptr<TDataServerMgr> g_DataServerMgr;

namespace {

constexpr int64_t kFirstRetryMs = 20000;
constexpr int64_t kRetryEveryMs = 10000;

std::string StripPrefix(std::string s, std::string_view prefix) {
  if (s.compare(0, prefix.size(), prefix) == 0) s.erase(0, prefix.size());
  return s;
}

// Projects of a batch without repeats (an enumerated project has two lines), in order.
std::vector<TOpcPrj*> Distinct(const std::vector<TOpcPrj*>& list) {
  std::vector<TOpcPrj*> out;
  for (TOpcPrj* p : list) AppendUnique(out, p);
  return out;
}

// A project name for the "HttpError:[" line: quoted when it holds a blank, comma or quote.
std::string QuoteListEntry(const std::string& s) {
  if (s.find_first_of(" ,\"") == std::string::npos) return s;
  std::string q = "\"";
  for (char c : s) {
    if (c == '"') q += '"';
    q += c;
  }
  return q + "\"";
}

}  // namespace

std::string DataThreadName(char kind, const std::string& url) {
  std::string host = UpperCase(url);
  host = StripPrefix(host, "HTTPS://");
  host = StripPrefix(host, "HTTP://");
  size_t suffix = host.find(kCloudDomainSuffix);
  if (suffix != std::string::npos) host.erase(suffix, std::string_view(kCloudDomainSuffix).size());
  host = host.substr(0, host.find(':'));
  return Format("OPC_DS_%c_%s", kind, host.c_str());
}

// ---------------------------------------------------------------------------------------
// TOpcDataThread

TOpcDataThread::TOpcDataThread(NxWinHTTP& session, char kind, std::string url, std::function<void()> onDone)
    : session_(session), kind_(kind), url_(std::move(url)), name_(DataThreadName(kind, url_)),
      onDone_(std::move(onDone)) {
  thread_ = std::thread([this] { Run(); });
  // The platform keeps 15 bytes of a thread name: "DS<kind>_" and the end of the host,
  // which tells data servers apart best (addresses differ at their end).
  std::string host = name_.substr(9);
  std::string shortName = std::string("DS") + kind + "_" + (host.size() > 11 ? host.substr(host.size() - 11) : host);
  pthread_setname_np(thread_.native_handle(), shortName.c_str());
}

TOpcDataThread::~TOpcDataThread() {
  terminate_.store(true, std::memory_order_release);
  {
    std::lock_guard lock(eventMutex_);
    signalled_ = true;
  }
  eventCv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void TOpcDataThread::QueueOp(TOpcPrj& prj, std::string_view op, std::string_view payload) {
  Lines.push_back("OP=" + std::string(op) + "&SID=" + prj.SID + "\r\n" + std::string(payload));
  Projects.push_back(&prj);
  if (op == "W") ++prj.WriteReqCount;
  else if (op != "E") ++prj.ReadCount;  // an "I"+"E" pair counts once
}

void TOpcDataThread::StartBatch(bool binaryMode) {
  BinaryMode = binaryMode;
  busy_.store(true, std::memory_order_release);
  {
    std::lock_guard lock(eventMutex_);
    signalled_ = true;
  }
  eventCv_.notify_one();
}

void TOpcDataThread::ResetBatch() {
  Lines.clear();
  Projects.clear();
  Result.clear();
  HttpStatus = 0;
  ServerCode = 0;
  done_.store(false, std::memory_order_relaxed);
  busy_.store(false, std::memory_order_release);
}

bool TOpcDataThread::PauseInterrupted(int ms) {
  std::unique_lock lock(eventMutex_);
  eventCv_.wait_for(lock, std::chrono::milliseconds(ms),
                    [this] { return terminate_.load(std::memory_order_acquire); });
  return terminate_.load(std::memory_order_acquire);
}

void TOpcDataThread::Run() {
  for (;;) {
    if (terminate_.load(std::memory_order_acquire)) return;
    {
      std::unique_lock lock(eventMutex_);
      eventCv_.wait(lock, [this] { return signalled_; });
    }
    if (terminate_.load(std::memory_order_acquire)) {
      LogSys("ThreadExit:" + name_);
      return;
    }
    runCount_.fetch_add(1, std::memory_order_relaxed);
    RunBatch();
    {
      std::lock_guard lock(eventMutex_);
      signalled_ = false;
    }
    done_.store(true, std::memory_order_release);
    if (onDone_) onDone_();
  }
}

int32_t TOpcDataThread::PostBatch(NxWinHTTP& session, const std::string& url, const std::vector<std::string>& lines,
                                  size_t first, size_t count, std::string& answer, int32_t& serverCode,
                                  const std::atomic<bool>* stop) {
  std::string body;
  for (size_t i = first; i < first + count; ++i) {
    if (i > first) body += kItemSeparator;
    body += lines[i];
  }
  serverCode = 0;
  TwhParsedURL purl(url + kBatchPath);
  // The parser has logged the rejected URL already.
  if (!purl.Valid()) return -int32_t(purl.Error());
  int32_t result = 0;
  const int attempts = std::max(1, TSysOP.RetryAttempts);
  for (int a = 0; a < attempts; ++a) {
    answer.clear();
    TwhConnect conn(session, purl);
    result = PostStream(session, conn, purl, body, answer, "text/plain", "Accept-Encoding:gzip");
    if (result == 200) {
      if (answer.compare(0, 7, "ERROR\r\n") == 0) {
        auto code = answer.size() >= 10 ? TryDecimalToInt(std::string_view(answer).substr(7, 3)) : std::nullopt;
        serverCode = code ? *code : srParamError;
      }
      break;
    }
    if (stop && stop->load(std::memory_order_acquire)) break;
    if (result < 0 && a + 1 < attempts) {
      // A transport failure waits before the next attempt; the wait ends early when the
      // program stops.
      auto until = MonotonicMs() + kTransportPauseMs;
      while (MonotonicMs() < until && !(stop && stop->load(std::memory_order_acquire)))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  return result;
}

void TOpcDataThread::RunBatch() {
  Result.clear();
  HttpStatus = 0;
  ServerCode = 0;
  for (size_t first = 0; first < Lines.size(); first += kLinesPerPost) {
    size_t count = std::min(Lines.size() - first, size_t(kLinesPerPost));
    int32_t code = 0;
    int32_t r = PostBatch(session_, url_, Lines, first, count, answer_, code, &terminate_);
    HttpStatus = r;
    if (r != 200 || code != 0) {
      ServerCode = code;
      Result.clear();
      break;
    }
    Result.append(answer_, std::min<size_t>(4, answer_.size()));
  }
  Result.append(2, '\0');
}

// ---------------------------------------------------------------------------------------
// TOpcDataServer

TOpcDataServer::TOpcDataServer(std::string url, std::function<void()> onBatchDone)
    : session_(std::make_unique<NxWinHTTP>("ZelHTTP", false)), url_(std::move(url)) {
  reader_ = std::make_unique<TOpcDataThread>(*session_, 'R', url_, onBatchDone);
  writer_ = std::make_unique<TOpcDataThread>(*session_, 'W', url_, onBatchDone);
  NextRetry = SteadyMs() + kFirstRetryMs;
  if (TSysOP.LogWebR) LogSys("NewOpcDataServer(" + url_ + ")");
}

TOpcDataServer::~TOpcDataServer() {
  // A transfer in progress is aborted rather than waited for (up to the time-outs).
  session_->Cancel();
  // Threads first: they use the session.
  reader_.reset();
  writer_.reset();
}

bool TOpcDataServer::AddProject(TOpcPrj& prj) {
  if (Has(prj)) return true;
  if (prj.NetState != ncsEnum || projects_.count(prj.DispName)) return false;
  projects_[prj.DispName] = &prj;
  if (TSysOP.LogWebR) LogSys("OpcDataServer(" + url_ + "),AddZEL=" + prj.Name);
  return true;
}

TOpcPrj* TOpcDataServer::RemoveProject(const std::string& dispName) {
  auto it = projects_.find(dispName);
  if (it == projects_.end()) return nullptr;
  TOpcPrj* p = it->second;
  projects_.erase(it);
  return p;
}

bool TOpcDataServer::Has(const TOpcPrj& prj) const {
  auto it = projects_.find(prj.DispName);
  return it != projects_.end() && it->second == &prj;
}

TOpcPrj* TOpcDataServer::Find(const std::string& dispName) const {
  auto it = projects_.find(dispName);
  return it == projects_.end() ? nullptr : it->second;
}

std::vector<TOpcPrj*> TOpcDataServer::AttachedProjects() const {
  std::vector<TOpcPrj*> v;
  v.reserve(projects_.size());
  for (auto& [name, p] : projects_) v.push_back(p);
  return v;
}

void TOpcDataServer::Step(int64_t now) {
  if (now > NextRetry) {
    DevError_Retry();
    NextRetry = now + kRetryEveryMs;
  }
  if (projects_.empty()) {
    // Nobody is left to read for: a finished read is stale and would fail whichever
    // project attaches next. A finished write still settles its entries.
    if (reader_->IsDone()) reader_->ResetBatch();
    if (writer_->IsDone()) ProcessWriteResult(now);
    return;
  }
  if (!reader_->IsBusy()) SendEnumsAndReads(now);
  else if (reader_->IsDone()) ProcessReadResult(now);
  if (!writer_->IsBusy()) SendWrites(now);
  else if (writer_->IsDone()) ProcessWriteResult(now);
}

void TOpcDataServer::DevError_Retry() {
  for (auto& [name, p] : projects_) {
    if (p->NetState != ncsError) continue;
    if (TSysOP.LogWebErr) LogWebError(LogTag(*p, "[DevError_Retry]"));
    p->NetState = ncsEnum;
  }
}

void TOpcDataServer::SendEnumsAndReads(int64_t now) {
  TOpcDataThread& t = *reader_;
  for (auto& [name, p] : projects_) {
    if (p->NetState != ncsEnum) continue;
    if (TSysOP.LogWebR) LogWebRead(LogTag(*p, "[DoEnum]"));
    t.QueueOp(*p, "I", "");
    t.QueueOp(*p, "E", "NTRG");
  }
  if (t.HasWork()) {
    t.StartBatch(false);
    return;
  }
  for (auto& [name, p] : projects_) {
    if (p->NetState == ncsStartRW) {
      if (TSysOP.LogWebR) LogWebRead(LogTag(*p, "[DoRead1]"));
    } else if (p->NetState == ncsRunning && p->IsReadDue(now)) {
      if (TSysOP.LogWebR >= 2) LogWebRead(LogTag(*p, "[DoRead]"));
    } else {
      continue;
    }
    t.QueueOp(*p, "RA", p->StrMD5);
  }
  if (t.HasWork()) t.StartBatch(true);
}

void TOpcDataServer::SendWrites(int64_t now) {
  // Writes go out once the enumeration has confirmed the variable list; writes kept
  // through a failure wait for that after the re-login.
  auto ready = [](const TOpcPrj& p) { return p.NetState == ncsStartRW || p.NetState == ncsRunning; };
  bool due = false;
  for (auto& [name, p] : projects_)
    if (ready(*p) && p->IsWriteDue(now)) {
      due = true;
      break;
    }
  if (!due) return;
  TOpcDataThread& t = *writer_;
  for (auto& [name, p] : projects_) {
    if (!ready(*p)) continue;
    std::string payload = p->BuildWriteRequest();
    if (!payload.empty()) t.QueueOp(*p, "W", payload);
  }
  if (t.HasWork()) t.StartBatch(false);
}

void TOpcDataServer::FailBatch(const std::vector<TOpcPrj*>& projects, int32_t result) {
  std::vector<TOpcPrj*> list = Distinct(projects);
  std::string names;
  for (TOpcPrj* p : list) {
    if (!names.empty()) names += ",";
    names += QuoteListEntry(p->DispName + ":" + p->Name);
    SetNetState(*p, ncsError);
    SetProjectError(*p, nceNetwork);
    p->HttpCode = result;
    if (Has(*p)) {
      RemoveProject(p->DispName);
      if (p->LinkMode == lmRun && p->Owner) AppendUnique(p->Owner->RetryList, p);
      else p->NetState = ncsIdle;
    }
  }
  LogWebError("HttpError:[" + names + "]," + HttpResultText(result));
}

void TOpcDataServer::ReturnUnansweredWrites(const std::vector<TOpcPrj*>& projects) {
  for (TOpcPrj* p : Distinct(projects)) p->WritesUnanswered();
}

// Walks a text batch result: item k belongs to entry k.
void TOpcDataServer::ApplyTextItems(TOpcDataThread& t, int64_t now, bool writes) {
  std::string_view body(t.Result);
  body.remove_prefix(std::min(body.size(), kBatchMarker.size()));
  body = body.substr(0, body.find('\0'));
  std::vector<std::string> items = SplitItems(body);
  const size_t entries = t.Projects.size();
  size_t k = 0;
  while (k < entries) {
    TOpcPrj* p = t.Projects[k];
    if (writes) {
      if (k >= items.size()) break;
      if (!p->ApplyWriteResult(items[k])) {
        if (TSysOP.LogWebErr) LogWebError(LogTag(*p, "[WriteError]"));
        HandleReLogin(*p);
      }
      ++k;
      continue;
    }
    if (p->NetState == ncsEnum && k + 1 < entries && t.Projects[k + 1] == p) {
      if (k + 1 >= items.size()) break;
      p->LastRead = now;
      bool ok = ParseEnumReply(*p, items[k], items[k + 1]);
      k += 2;
      if (p->LinkMode != lmRun) {
        // The manager's refresh ends here.
        p->NetState = ncsIdle;
        if (Has(*p)) RemoveProject(p->DispName);
      } else if (ok) {
        p->NetState = ncsStartRW;
      } else {
        if (TSysOP.LogWebErr) LogWebError(LogTag(*p, "[EnumError]"));
        HandleReLogin(*p);
      }
    } else if (p->NetState == ncsStartRW || p->NetState == ncsRunning) {
      if (k >= items.size()) break;
      p->LastRead = now;
      if (!p->ApplyReadText(items[k])) {
        if (TSysOP.LogWebErr) LogWebError(LogTag(*p, "[ReadError]"));
        HandleReLogin(*p);
      }
      ++k;
    } else {
      // The project left the expected states since the batch was made (another failure
      // in between): its entry and item are passed over, one item per entry.
      ++k;
    }
  }
  // Entries without an item fail as a malformed answer would.
  if (k < entries) {
    std::vector<TOpcPrj*> rest(t.Projects.begin() + long(k), t.Projects.end());
    if (writes) ReturnUnansweredWrites(rest);
    FailBatch(rest, 500);
  }
}

// A binary batch result, the "OK\r\n" head of each POST's answer left out:
//   per entry: marker "<[{#}]>\r\n", then the entry's section
//   section:   status (tag 12); when it is 0, the count and that many typed values
//   at the end: two zero bytes (added by the worker)
// Sections carry no length: one ends where the next marker starts, the last one at the
// two zero bytes. A section that does not hold what its head announces inside those
// bounds fails its project; its values are never taken from the bytes after it.
void TOpcDataServer::ApplyBinary(TOpcDataThread& t, int64_t now) {
  // The bytes go back to the thread afterwards, so its next batch result reuses them.
  TNxMemStream in;
  in.Bytes().swap(t.Result);
  const std::string_view bytes(in.Bytes().data(), in.Bytes().size() >= 2 ? in.Bytes().size() - 2 : 0);
  size_t k = 0;
  for (; k < t.Projects.size(); ++k) {
    const size_t at = in.Position();
    if (bytes.substr(at, kBatchMarker.size()) != kBatchMarker) break;
    const size_t begin = at + kBatchMarker.size();
    const size_t end = std::min(bytes.find(kBatchMarker, begin), bytes.size());
    TOpcPrj* p = t.Projects[k];
    // A project that left the read states since the batch was made (a failed write, a
    // re-login) is passed over: the answer belongs to its old session.
    if (p->NetState == ncsStartRW || p->NetState == ncsRunning) {
      p->LastRead = now;
      in.Seek(begin);
      if (!ReadSectionComplete(bytes.substr(begin, end - begin))) {
        if (TSysOP.LogWebErr) LogWebError(LogTag(*p, "[ReadError]") + "SectionCutShort");
        SetProjectError(*p, nceNotSupported);
      } else if (!p->ApplyReadBin(in)) {
        if (TSysOP.LogWebErr) LogWebError(LogTag(*p, "[ReadError]"));
        HandleReLogin(*p);
      }
    }
    in.Seek(end);
  }
  // Entries without a section fail as a malformed answer would.
  if (k < t.Projects.size()) {
    LogSys("ReadBin_FormatError!");
    FailBatch(std::vector<TOpcPrj*>(t.Projects.begin() + long(k), t.Projects.end()), 500);
  }
  t.Result.swap(in.Bytes());
}

void TOpcDataServer::ProcessReadResult(int64_t now) {
  TOpcDataThread& t = *reader_;
  if (t.HttpStatus == 200 && t.ServerCode != 0) {
    LogSys("[ServerReadRet]" + url_ + "," + ResultText(t.ServerCode));
    FailBatch(t.Projects, 200);
  } else if (t.HttpStatus == 200) {
    if (t.Result.size() <= kBatchMarker.size()) FailBatch(t.Projects, 500);
    else if (t.BinaryMode) ApplyBinary(t, now);
    else ApplyTextItems(t, now, false);
  } else if (t.HttpStatus < 0) {
    FailBatch(AttachedProjects(), t.HttpStatus);
  } else {
    FailBatch(t.Projects, t.HttpStatus);
  }
  t.ResetBatch();
}

void TOpcDataServer::ProcessWriteResult(int64_t now) {
  TOpcDataThread& t = *writer_;
  // Entries of a batch that was not answered line by line are kept: they go out again.
  if (t.HttpStatus == 200 && t.ServerCode != 0) {
    LogSys("[ServerWriteRet]" + url_ + "," + ResultText(t.ServerCode));
    ReturnUnansweredWrites(t.Projects);
    FailBatch(t.Projects, 200);
  } else if (t.HttpStatus == 200) {
    if (t.Result.size() <= kBatchMarker.size()) {
      ReturnUnansweredWrites(t.Projects);
      FailBatch(t.Projects, 500);
    } else {
      ApplyTextItems(t, now, true);
    }
  } else if (t.HttpStatus < 0) {
    ReturnUnansweredWrites(t.Projects);
    FailBatch(AttachedProjects(), t.HttpStatus);
  } else {
    ReturnUnansweredWrites(t.Projects);
    FailBatch(t.Projects, t.HttpStatus);
  }
  t.ResetBatch();
}

// ---------------------------------------------------------------------------------------
// TDataServerMgr

TDataServerMgr::~TDataServerMgr() { Clear(); }

void TDataServerMgr::Clear() {
  // Every session is cancelled before the first thread is joined, so the transfers of
  // all data servers end together rather than one after the other.
  for (auto& [url, ds] : servers_) ds->Session().Cancel();
  servers_.clear();
}

bool TDataServerMgr::AddProject(TOpcPrj& prj) {
  auto it = servers_.find(prj.DataUrl);
  if (it == servers_.end()) it = servers_.emplace(prj.DataUrl, std::make_unique<TOpcDataServer>(prj.DataUrl, onBatchDone_)).first;
  TOpcDataServer& ds = *it->second;
  if (ds.AddProject(prj)) return true;
  // Projects are told apart by display name inside a data server: a second one of the
  // same name would never be polled. It is shown as an error and logged instead.
  TOpcPrj* holder = ds.Find(prj.DispName);
  if (holder && holder != &prj) {
    LogWebError("DuplicateDispName:[" + QuoteListEntry(holder->DispName + ":" + holder->Name) + "," +
                QuoteListEntry(prj.DispName + ":" + prj.Name) + "]," + ds.Url());
    SetNetState(prj, ncsIdle);
    SetProjectError(prj, nceDeviceId);
  }
  return false;
}

bool TDataServerMgr::DetachProject(TOpcPrj& prj) {
  auto it = servers_.find(prj.DataUrl);
  if (it == servers_.end()) return false;
  return it->second->RemoveProject(prj.DispName) == &prj;
}

TOpcDataServer* TDataServerMgr::FindServer(const std::string& url) {
  auto it = servers_.find(url);
  return it == servers_.end() ? nullptr : it->second.get();
}

void TDataServerMgr::Step(int64_t now) {
  for (auto& [url, ds] : servers_) ds->Step(now);
  // A data server lives as long as projects use it: addresses from damaged login
  // answers, or ones the cloud stopped naming, do not pile up with their threads.
  std::erase_if(servers_, [](const auto& entry) { return entry.second->Unused(); });
}

// ---------------------------------------------------------------------------------------
// Answers applied to projects

bool ApplyErrorReply(TOpcPrj& prj, std::vector<std::string> lines) {
  if (lines.size() < 3) {
    lines.emplace_back("ERROR");
    lines.emplace_back("17");
  }
  auto code = lines.size() > 1 ? TryDecimalToInt(lines[1]) : std::nullopt;
  int c = code ? *code : 17;
  if (c == srSessionID) prj.NetState = ncsReLogin;
  else SetProjectError(prj, MapServerCode(c));
  return false;
}

void ReplaceVarList(TOpcPrj& prj, const std::vector<std::string>& lines) {
  auto n = lines.size() > 1 ? TryDecimalToInt(lines[1]) : std::nullopt;
  int count = n && *n > 0 ? *n : 0;
  prj.Vars.clear();
  // An answer with fewer variable lines than its count gives only the variables it
  // lists: the list never holds records the device did not send.
  for (int i = 0; i < count && size_t(i) + 2 < lines.size(); ++i) {
    const std::string& l = lines[size_t(i) + 2];
    TOpcCfgVar v;
    size_t c1 = l.find(',');
    if (c1 == std::string::npos) {
      v.Name = l;
      v.Type = 3;
      v.RW = 0;
    } else {
      v.Name = l.substr(0, c1);
      size_t c2 = l.find(',', c1 + 1);
      std::string type = l.substr(c1 + 1, c2 == std::string::npos ? std::string::npos : c2 - c1 - 1);
      std::string access, group;
      if (c2 != std::string::npos) {
        size_t c3 = l.find(',', c2 + 1);
        access = l.substr(c2 + 1, c3 == std::string::npos ? std::string::npos : c3 - c2 - 1);
        if (c3 != std::string::npos) group = l.substr(c3 + 1);
      }
      v.Type = type == "B" ? 1 : type == "I" ? 2 : 3;
      v.RW = access == "R" ? 1 : 0;
      v.Group = group;
    }
    prj.Vars.push_back(std::move(v));
  }
}

bool ParseEnumReply(TOpcPrj& prj, const std::string& infoItem, const std::string& enumItem) {
  std::vector<std::string> info = SplitLines(infoItem);
  if (info.empty() || info[0] != "OK") return ApplyErrorReply(prj, info);
  if (info.size() <= 14) {
    SetProjectError(prj, nceNotSupported);
    return false;
  }
  const std::string& fingerprint = info[13];
  bool changed = fingerprint != prj.StrMD5;
  auto delay = TryDecimalToInt(info[14]);
  prj.Server_RefreshDelayMS = delay ? *delay : 2000;
  prj.DevName = info[1];
  prj.ReadIntervalMS = int32_t(std::clamp<int64_t>(int64_t(prj.Server_RefreshDelayMS * 0.8), 400, 300000));
  std::vector<std::string> e = SplitLines(enumItem);
  if (e.empty() || e[0] != "OK") return ApplyErrorReply(prj, e);
  auto n = e.size() > 1 ? TryDecimalToInt(e[1]) : std::nullopt;
  if ((n ? *n : 0) != int(prj.Vars.size())) changed = true;
  if (changed || prj.LinkMode == lmForceRefresh) {
    ReplaceVarList(prj, e);
    prj.StrMD5 = fingerprint;
    SetProjectError(prj, nceVarConfig);
    return false;
  }
  prj.ErrCode = nceNone;
  return true;
}

void HandleReLogin(TOpcPrj& prj) {
  if (prj.NetState != ncsReLogin) return;
  if (prj.Owner) AppendUnique(prj.Owner->ReLoginList, &prj);
  if (g_DataServerMgr) g_DataServerMgr->DetachProject(prj);
  if (prj.Owner) prj.Owner->RegCache.Delete(prj.Name);
}
