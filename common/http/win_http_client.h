// The synchronous HTTP/HTTPS client of the data link: login POSTs and batch POSTs.
// It keeps the object model and the result convention of a WinHTTP client on top of
// libcurl: a session, a parsed URL, a connection (host and port) and one request.
//
// Result of a request: one signed 32-bit number. Positive = the HTTP status of the
// answer; 0 or negative = minus a WinHTTP error code (12002 time-out, 12005 bad URL,
// 12007 host not found, 12029 cannot connect, 12030 connection error, 12152 invalid
// answer, 12175 TLS failure, ...).
//
// TLS: the peer certificate and host name are always verified, against the system's
// trust store plus the session's extra trust file (SetTrustFile, or the file named by
// the ZELOPC_HTTP_CA_FILE environment variable, the stand-in for a certificate installed
// into the machine's store). A certificate that does not verify ends as -12175.
//
// Threads: a session may be used from several threads at once (each request takes a
// transfer handle of its own from the session's pool). TwhConnect and TwhRequest
// belong to one thread at a time. Cancel may be called from any thread: transfers in
// progress end within about a second (libcurl's progress pace while idle) and later
// requests fail at once, both with -12017.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

constexpr int kWhSchemeHttp = 1;
constexpr int kWhSchemeHttps = 2;

// WinHTTP error codes the client produces.
constexpr uint32_t kWhErrTimeout = 12002;
constexpr uint32_t kWhErrInternal = 12004;
constexpr uint32_t kWhErrInvalidUrl = 12005;
constexpr uint32_t kWhErrUnrecognizedScheme = 12006;
constexpr uint32_t kWhErrNameNotResolved = 12007;
constexpr uint32_t kWhErrOperationCancelled = 12017;
constexpr uint32_t kWhErrCannotConnect = 12029;
constexpr uint32_t kWhErrConnectionError = 12030;
constexpr uint32_t kWhErrInvalidServerResponse = 12152;
constexpr uint32_t kWhErrSecureFailure = 12175;
constexpr uint32_t kWhErrInsufficientBuffer = 122;  // a URL part longer than its buffer

// Time-outs of one session in milliseconds; the defaults are WinHTTP's. Send and receive
// are idle limits: the longest wait for the next byte to go out or come in.
struct TwhTimeouts {
  int connectMs = 60000;
  int sendMs = 30000;
  int receiveMs = 30000;
};

struct TwhTransfer;  // a pooled transport handle (http_transport_*.cc)
// Deletes a transfer where its type is complete (the transport's file).
struct TwhTransferDeleter {
  void operator()(TwhTransfer* t) const;
};
using TwhTransferPtr = std::unique_ptr<TwhTransfer, TwhTransferDeleter>;

class NxWinHTTP {
 public:
  NxWinHTTP(std::string agent, bool useProxy);
  ~NxWinHTTP();
  NxWinHTTP(const NxWinHTTP&) = delete;
  NxWinHTTP& operator=(const NxWinHTTP&) = delete;

  void SetTimeouts(const TwhTimeouts& t);
  TwhTimeouts Timeouts() const;
  // PEM file of extra trusted certificates; empty = only the system store (and the
  // environment's file).
  void SetTrustFile(std::string path);
  std::string TrustFile() const;
  const std::string& Agent() const { return agent_; }
  bool UseProxy() const { return useProxy_; }
  // Aborts the transfers in progress and refuses new ones, for good (program end).
  void Cancel() { cancelled_.store(true, std::memory_order_release); }
  bool Cancelled() const { return cancelled_.load(std::memory_order_acquire); }
  // Transfers also end (-12017) while SIGTERM or SIGINT waits, blocked, for the program
  // to take it: for requests made on a thread that is the one to take the signal, so a
  // stop never waits for the cloud.
  void SetStopOnPendingSignal(bool on) { stopOnSignal_.store(on, std::memory_order_relaxed); }
  bool StopOnPendingSignal() const { return stopOnSignal_.load(std::memory_order_relaxed); }

  // Transfer handles: taken by a request for its life, then given back for reuse, so
  // kept-alive connections serve the next request.
  TwhTransferPtr TakeTransfer();
  void GiveBack(TwhTransferPtr t);

 private:
  const std::string agent_;
  const bool useProxy_;
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> stopOnSignal_{false};
  mutable std::mutex mutex_;
  TwhTimeouts timeouts_;                          // guarded by mutex_
  std::string trustFile_;                         // guarded by mutex_
  std::vector<TwhTransferPtr> idle_;  // guarded by mutex_
};

// A URL split like WinHttpCrackUrl with escape decoding of the path. Only "http" and
// "https" are known schemes; user name and password are dropped.
class TwhParsedURL {
 public:
  TwhParsedURL() = default;
  explicit TwhParsedURL(std::string_view url);

  bool Valid() const { return error_ == 0; }
  uint32_t Error() const { return error_; }  // 0, or the WinHTTP/system code of the rejection
  const std::string& Url() const { return url_; }

  int Scheme = 0;         // kWhSchemeHttp or kWhSchemeHttps
  std::string HostName;   // at most 255 characters
  uint16_t Port = 0;
  std::string UrlPath;    // decoded, at most 255 characters
  std::string ExtraInfo;  // query with its "?", at most 511 characters

 private:
  std::string url_;
  uint32_t error_ = kWhErrInvalidUrl;
};

class TwhConnect {
 public:
  TwhConnect(NxWinHTTP& session, const TwhParsedURL& url);
  NxWinHTTP& Session() const { return session_; }
  const std::string& HostName() const { return host_; }
  uint16_t Port() const { return port_; }

 private:
  NxWinHTTP& session_;
  std::string host_;
  uint16_t port_;
};

class TwhRequest {
 public:
  TwhRequest(TwhConnect& connect, const TwhParsedURL& url, bool post);
  ~TwhRequest();
  TwhRequest(const TwhRequest&) = delete;
  TwhRequest& operator=(const TwhRequest&) = delete;

  bool IsSecure() const { return url_.Scheme == kWhSchemeHttps; }
  // "Name:value"; added as a new header line.
  void AddHeader(std::string_view line);
  // "Content-Type:" + type.
  void SetContentType(std::string_view type);
  // Sends the body and waits for the answer headers: the status, or -1 when no status
  // could be read (LastError then holds the reason).
  [[nodiscard]] int32_t Send(std::string_view body);
  // First header of that name (letter case ignored); empty when absent.
  std::string QueryHeader(std::string_view name) const;
  // The header as a number; -1 when absent or not a number.
  int64_t QueryHeaderInt(std::string_view name) const;
  // The answer body as received (a body cut short by the peer is kept as far as it came).
  void ReadToStream(std::string& out) const;
  void ReadToText(std::string& out) const;
  uint32_t LastError() const { return lastError_; }
  // The final URL handed to the transport (tests).
  const std::string& WireUrl() const { return wireUrl_; }

 private:
  // The checks before a transfer (URL, cancelled session) and its pooled handle; false
  // with LastError set.
  bool Prepare();

  TwhConnect& connect_;
  TwhParsedURL url_;
  bool post_;
  std::string wireUrl_;
  std::vector<std::string> headers_;
  TwhTransferPtr transfer_;
  uint32_t lastError_ = 0;
  bool usedTls_ = false;

 public:
  // Whether the transfer ran over TLS (tests).
  bool UsedTls() const { return usedTls_; }
};

// POST of an 8-bit text; the answer body (whatever the status) goes to `answer`.
[[nodiscard]] int32_t PostText(NxWinHTTP& session, TwhConnect& connect, const TwhParsedURL& url,
                               std::string_view body, std::string_view contentType, std::string& answer);
// POST of a byte body; the answer is appended to `answer`, gzip-decoded when its
// Content-Encoding says gzip (letter case ignored). A gzip body that does not decode
// appends nothing. The extra header line is added as it is ("Name:value").
[[nodiscard]] int32_t PostStream(NxWinHTTP& session, TwhConnect& connect, const TwhParsedURL& url,
                                 std::string_view body, std::string& answer, std::string_view contentType,
                                 std::string_view extraHeader);

// Text of a result for log lines: "HTTP_200_OK", ..., "#12029:无法连接 ", "#SOCKET#n".
std::string HttpResultText(int32_t result);
// Text of the WinHTTP error table (ends in a space); empty for other codes.
std::string WinHttpErrorText(uint32_t code);
// Nothing to switch on this platform: always 1.
int EnableTls12();

// Appends the decoded content of a gzip stream (one or more members) to `out`.
// False, with `out` unchanged, for anything that is not complete valid gzip or that
// would decode to more than maxOut bytes.
[[nodiscard]] bool GunzipAppend(std::string_view gz, std::string& out, size_t maxOut = size_t(1) << 30);
