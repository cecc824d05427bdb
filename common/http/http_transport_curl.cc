// The HTTP client's transport on libcurl, with WinHTTP's error codes and time-outs.
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "common/http/http_transfer.h"
#include "common/platform/text.h"

// One libcurl easy handle with what a transfer collects. Reused across requests.
struct TwhTransfer {
  CURL* curl = nullptr;
  std::string body;
  std::vector<std::string> headers;  // "Name: value" of the final answer
  bool headersDone = false;
  bool idleTimedOut = false;
  bool cancelled = false;
  const NxWinHTTP* session = nullptr;  // whose Cancel ends the transfer
  int64_t lastMoveMs = 0;
  curl_off_t lastDown = -1, lastUp = -1;
  int sendMs = 0, receiveMs = 0;

  TwhTransfer() : curl(curl_easy_init()) {}
  ~TwhTransfer() {
    if (curl) curl_easy_cleanup(curl);
  }
};

namespace {

int64_t IdleClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool StopSignalPending() {
  sigset_t pending;
  if (sigpending(&pending) != 0) return false;
  return sigismember(&pending, SIGTERM) == 1 || sigismember(&pending, SIGINT) == 1;
}

struct TCurlGlobal {
  TCurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
};
void EnsureCurl() {
  static TCurlGlobal once;  // curl_global_init is not thread-safe; a function static is
  (void)once;
}

size_t OnBody(char* data, size_t size, size_t n, void* user) {
  auto* t = static_cast<TwhTransfer*>(user);
  t->body.append(data, size * n);
  return size * n;
}

size_t OnHeader(char* data, size_t size, size_t n, void* user) {
  auto* t = static_cast<TwhTransfer*>(user);
  std::string_view line(data, size * n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.rfind("HTTP/", 0) == 0) {  // a new status line: interim answers are forgotten
    t->headers.clear();
    t->headersDone = false;
  } else if (line.empty()) {
    t->headersDone = true;
  } else {
    t->headers.emplace_back(line);
  }
  return size * n;
}

// Idle limits as WinHTTP applies them: no byte moved for longer than the send time-out
// while sending, or the receive time-out while waiting for or reading the answer.
// A cancelled session ends the transfer at once, whatever the time-outs.
int OnProgress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
  auto* t = static_cast<TwhTransfer*>(user);
  if (t->session && (t->session->Cancelled() || (t->session->StopOnPendingSignal() && StopSignalPending()))) {
    t->cancelled = true;
    return 1;
  }
  int64_t now = IdleClockMs();
  if (dlnow != t->lastDown || ulnow != t->lastUp) {
    t->lastDown = dlnow;
    t->lastUp = ulnow;
    t->lastMoveMs = now;
    return 0;
  }
  int limit = dlnow > 0 || ulnow > 0 ? t->receiveMs : std::max(t->sendMs, t->receiveMs);
  if (limit > 0 && now - t->lastMoveMs > limit) {
    t->idleTimedOut = true;
    return 1;
  }
  return 0;
}

uint32_t MapCurlError(CURLcode rc) {
  switch (rc) {
    case CURLE_OPERATION_TIMEDOUT: return kWhErrTimeout;
    case CURLE_URL_MALFORMAT: return kWhErrInvalidUrl;
    case CURLE_UNSUPPORTED_PROTOCOL: return kWhErrUnrecognizedScheme;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return kWhErrNameNotResolved;
    case CURLE_COULDNT_CONNECT: return kWhErrCannotConnect;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE: return kWhErrConnectionError;
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_TOO_MANY_REDIRECTS: return kWhErrInvalidServerResponse;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_USE_SSL_FAILED: return kWhErrSecureFailure;
    default: return kWhErrInternal;
  }
}

}  // namespace

const std::vector<std::string>& TransferHeaders(const TwhTransfer& t) { return t.headers; }
const std::string& TransferBody(const TwhTransfer& t) { return t.body; }
void TwhTransferDeleter::operator()(TwhTransfer* t) const { delete t; }
TwhTransferPtr NewTransfer(const NxWinHTTP&) { return TwhTransferPtr(new TwhTransfer); }
bool TransferUsable(const TwhTransfer& t) { return t.curl != nullptr; }
void ClearTransfer(TwhTransfer& t) {
  t.body.clear();
  t.body.shrink_to_fit();
  t.headers.clear();
}

// ---- session ----

NxWinHTTP::NxWinHTTP(std::string agent, bool useProxy) : agent_(std::move(agent)), useProxy_(useProxy) {
  EnsureCurl();
  if (const char* env = std::getenv("ZELOPC_HTTP_CA_FILE")) trustFile_ = env;
}

NxWinHTTP::~NxWinHTTP() = default;








int32_t TwhRequest::Send(std::string_view body) {
  if (!Prepare()) return -1;
  NxWinHTTP& session = connect_.Session();
  TwhTransfer& t = *transfer_;
  CURL* c = t.curl;
  TwhTimeouts to = session.Timeouts();
  t.body.clear();
  t.headers.clear();
  t.headersDone = false;
  t.idleTimedOut = false;
  t.cancelled = false;
  t.session = &session;
  t.lastMoveMs = IdleClockMs();
  t.lastDown = t.lastUp = -1;
  t.sendMs = to.sendMs;
  t.receiveMs = to.receiveMs;

  curl_easy_reset(c);
  curl_easy_setopt(c, CURLOPT_URL, wireUrl_.c_str());
  curl_easy_setopt(c, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_USERAGENT, session.Agent().c_str());
  if (!session.UseProxy()) curl_easy_setopt(c, CURLOPT_PROXY, "");
  curl_easy_setopt(c, CURLOPT_HTTP_CONTENT_DECODING, 0L);
  curl_easy_setopt(c, CURLOPT_HTTP_TRANSFER_DECODING, 1L);
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  if (to.connectMs > 0) curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(to.connectMs));
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, &t);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &t);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
  std::string trust = session.TrustFile();
  if (!trust.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, trust.c_str());
  if (post_) {
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  } else {
    curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
  }
  // Only the caller's header lines travel, as with WinHTTP: no Accept, no Expect and no
  // form content type of curl's own.
  curl_slist* list = nullptr;
  list = curl_slist_append(list, "Accept:");
  list = curl_slist_append(list, "Expect:");
  bool hasType = false;
  for (const std::string& h : headers_) {
    if (h.size() >= 13 && SameText(std::string_view(h).substr(0, 13), "Content-Type:")) hasType = true;
    list = curl_slist_append(list, h.c_str());
  }
  if (post_ && !hasType) list = curl_slist_append(list, "Content-Type:");
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, list);

  CURLcode rc = curl_easy_perform(c);
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);
  curl_slist_free_all(list);

  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  char* scheme = nullptr;
  curl_easy_getinfo(c, CURLINFO_SCHEME, &scheme);
  usedTls_ = scheme && SameText(scheme, "https");
  if (rc == CURLE_OK && status > 0) return static_cast<int32_t>(status);
  if (rc == CURLE_ABORTED_BY_CALLBACK && t.cancelled) {
    // Nothing of a cancelled transfer counts, not even a status that had arrived.
    t.body.clear();
    t.headers.clear();
    lastError_ = kWhErrOperationCancelled;
    return -1;
  }
  if (rc != CURLE_OK && status > 0 && t.headersDone) {
    // The headers arrived and the body broke off: like a failed read after a good
    // send, the status stands and the body holds what came.
    lastError_ = t.idleTimedOut ? kWhErrTimeout : MapCurlError(rc);
    return static_cast<int32_t>(status);
  }
  t.body.clear();
  t.headers.clear();
  if (rc == CURLE_ABORTED_BY_CALLBACK && t.idleTimedOut)
    lastError_ = kWhErrTimeout;
  else if (rc == CURLE_OK)
    lastError_ = kWhErrInvalidServerResponse;
  else
    lastError_ = MapCurlError(rc);
  return -1;
}

