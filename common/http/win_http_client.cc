// The HTTP client's parts common to both transports: URLs, the request's header lines
// and answer, the POST helpers and the result texts (transports: http_transport_*.cc).
#include "common/http/win_http_client.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/http/http_transfer.h"
#include "common/log/server_log.h"
#include "common/platform/sys_text.h"
#include "common/platform/text.h"

namespace {
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      int h = HexValue(s[i + 1]), l = HexValue(s[i + 2]);
      if (h >= 0 && l >= 0) {
        out.push_back(static_cast<char>(h * 16 + l));
        i += 2;
        continue;
      }
    }
    out.push_back(s[i]);
  }
  return out;
}

// Escapes what may not travel raw in a request target: blanks, controls, non-ASCII and,
// in the decoded path, the percent sign itself.
std::string EscapeForWire(std::string_view s, bool escapePercent) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(s.size());
  for (unsigned char c : s) {
    if (c <= 0x20 || c >= 0x7F || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' || c == '`' ||
        c == '{' || c == '|' || c == '}' || (escapePercent && c == '%')) {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

}  // namespace

// ---- session ----

void NxWinHTTP::SetTimeouts(const TwhTimeouts& t) {
  std::lock_guard lock(mutex_);
  timeouts_ = t;
}

TwhTimeouts NxWinHTTP::Timeouts() const {
  std::lock_guard lock(mutex_);
  return timeouts_;
}

void NxWinHTTP::SetTrustFile(std::string path) {
  std::lock_guard lock(mutex_);
  trustFile_ = std::move(path);
}

std::string NxWinHTTP::TrustFile() const {
  std::lock_guard lock(mutex_);
  return trustFile_;
}

TwhTransferPtr NxWinHTTP::TakeTransfer() {
  {
    std::lock_guard lock(mutex_);
    if (!idle_.empty()) {
      auto t = std::move(idle_.back());
      idle_.pop_back();
      return t;
    }
  }
  return NewTransfer(*this);
}

void NxWinHTTP::GiveBack(TwhTransferPtr t) {
  if (!t || !TransferUsable(*t)) return;
  ClearTransfer(*t);
  std::lock_guard lock(mutex_);
  if (idle_.size() < 8) idle_.push_back(std::move(t));
}

TwhRequest::~TwhRequest() {
  if (transfer_) connect_.Session().GiveBack(std::move(transfer_));
}

// ---- URL ----

TwhParsedURL::TwhParsedURL(std::string_view url) : url_(url) {
  auto fail = [&](uint32_t code) {
    error_ = code;
    Scheme = 0;
    HostName.clear();
    Port = 0;
    UrlPath.clear();
    ExtraInfo.clear();
    LogSys("WinHttpCrackUrl:ERROR:" + std::to_string(code) + "," + std::string(url));
  };
  size_t sep = url.find("://");
  if (sep == std::string_view::npos || sep == 0) { fail(kWhErrInvalidUrl); return; }
  std::string scheme = LowerCase(url.substr(0, sep));
  if (scheme == "http") {
    Scheme = kWhSchemeHttp;
  } else if (scheme == "https") {
    Scheme = kWhSchemeHttps;
  } else {
    { fail(kWhErrUnrecognizedScheme); return; }
  }
  std::string_view rest = url.substr(sep + 3);
  size_t authEnd = rest.find_first_of("/?#");
  std::string_view auth = rest.substr(0, authEnd);
  std::string_view tail = authEnd == std::string_view::npos ? std::string_view() : rest.substr(authEnd);
  if (size_t at = auth.rfind('@'); at != std::string_view::npos) auth = auth.substr(at + 1);
  std::string_view host, port;
  if (!auth.empty() && auth[0] == '[') {
    size_t close = auth.find(']');
    if (close == std::string_view::npos) { fail(kWhErrInvalidUrl); return; }
    host = auth.substr(0, close + 1);
    std::string_view after = auth.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') { fail(kWhErrInvalidUrl); return; }
      port = after.substr(1);
    }
  } else {
    size_t colon = auth.find(':');
    host = auth.substr(0, colon);
    if (colon != std::string_view::npos) port = auth.substr(colon + 1);
  }
  if (host.empty()) { fail(kWhErrInvalidUrl); return; }
  for (unsigned char c : host)
    if (c <= 0x20 || c == 0x7F || c == '%' || c == '\\') { fail(kWhErrInvalidUrl); return; }
  if (!port.empty()) {
    if (port.size() > 5) { fail(kWhErrInvalidUrl); return; }
    uint32_t p = 0;
    for (char c : port) {
      if (!IsDigit(c)) { fail(kWhErrInvalidUrl); return; }
      p = p * 10 + static_cast<uint32_t>(c - '0');
    }
    if (p == 0 || p > 65535) { fail(kWhErrInvalidUrl); return; }
    Port = static_cast<uint16_t>(p);
  } else {
    Port = Scheme == kWhSchemeHttps ? 443 : 80;
  }
  size_t q = tail.find_first_of("?#");
  std::string path = PercentDecode(tail.substr(0, q));
  std::string extra = q == std::string_view::npos ? std::string() : std::string(tail.substr(q));
  if (Utf16Length(host) > 255 || Utf16Length(path) > 255 || Utf16Length(extra) > 511)
  { fail(kWhErrInsufficientBuffer); return; }
  HostName = std::string(host);
  UrlPath = std::move(path);
  ExtraInfo = std::move(extra);
  error_ = 0;
}

// ---- connection and request ----

TwhConnect::TwhConnect(NxWinHTTP& session, const TwhParsedURL& url)
    : session_(session), host_(url.HostName), port_(url.Port) {}

TwhRequest::TwhRequest(TwhConnect& connect, const TwhParsedURL& url, bool post)
    : connect_(connect), url_(url), post_(post) {
  if (!url_.Valid()) return;
  std::string path = url_.UrlPath.empty() ? std::string("/") : url_.UrlPath;
  if (path[0] != '/') path.insert(path.begin(), '/');
  wireUrl_ = std::string(IsSecure() ? "https://" : "http://") + connect_.HostName() + ":" +
             std::to_string(connect_.Port()) + EscapeForWire(path, true) + EscapeForWire(url_.ExtraInfo, false);
}

bool TwhRequest::Prepare() {
  lastError_ = 0;
  if (!url_.Valid()) {
    lastError_ = url_.Error();
    return false;
  }
  NxWinHTTP& session = connect_.Session();
  if (session.Cancelled()) {
    lastError_ = kWhErrOperationCancelled;
    return false;
  }
  if (!transfer_) transfer_ = session.TakeTransfer();
  if (!TransferUsable(*transfer_)) {
    lastError_ = kWhErrInternal;
    return false;
  }
  return true;
}

void TwhRequest::AddHeader(std::string_view line) {
  if (!line.empty()) headers_.emplace_back(line);
}

void TwhRequest::SetContentType(std::string_view type) { headers_.push_back("Content-Type:" + std::string(type)); }

std::string TwhRequest::QueryHeader(std::string_view name) const {
  if (!transfer_) return {};
  for (const std::string& h : TransferHeaders(*transfer_)) {
    size_t colon = h.find(':');
    if (colon == std::string::npos) continue;
    if (SameText(Trim(std::string_view(h).substr(0, colon)), name)) return Trim(std::string_view(h).substr(colon + 1));
  }
  return {};
}

int64_t TwhRequest::QueryHeaderInt(std::string_view name) const {
  std::string v = QueryHeader(name);
  if (v.empty() || v.size() > 18) return -1;
  int64_t n = 0;
  for (char c : v) {
    if (!IsDigit(c)) return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

void TwhRequest::ReadToStream(std::string& out) const {
  if (transfer_) out.append(TransferBody(*transfer_));
}

void TwhRequest::ReadToText(std::string& out) const {
  out.clear();
  if (!transfer_) return;
  // With a Content-Length the text never grows past it; a body cut short stays as short
  // as it came rather than being padded to the announced length.
  int64_t len = QueryHeaderInt("Content-Length");
  const std::string& b = TransferBody(*transfer_);
  if (len >= 1 && static_cast<uint64_t>(len) < b.size())
    out.assign(b, 0, static_cast<size_t>(len));
  else
    out = b;
}

// ---- POST helpers ----

int32_t PostText(NxWinHTTP&, TwhConnect& connect, const TwhParsedURL& url, std::string_view body,
                 std::string_view contentType, std::string& answer) {
  answer.clear();
  TwhRequest req(connect, url, true);
  if (!contentType.empty()) req.SetContentType(contentType);
  int32_t result = req.Send(body);
  if (result >= 1)
    req.ReadToText(answer);
  else
    result = -static_cast<int32_t>(req.LastError());
  return result;
}

int32_t PostStream(NxWinHTTP&, TwhConnect& connect, const TwhParsedURL& url, std::string_view body,
                   std::string& answer, std::string_view contentType, std::string_view extraHeader) {
  TwhRequest req(connect, url, true);
  if (!contentType.empty()) req.SetContentType(contentType);
  if (!extraHeader.empty()) req.AddHeader(extraHeader);
  int32_t result = req.Send(body);
  if (result < 1) return -static_cast<int32_t>(req.LastError());
  if (SameText(req.QueryHeader("Content-Encoding"), "gzip")) {
    std::string raw;
    req.ReadToStream(raw);
    (void)GunzipAppend(raw, answer);  // undecodable: nothing usable is appended
  } else {
    req.ReadToStream(answer);
  }
  return result;
}

// ---- texts ----

namespace {
struct TWhText {
  uint32_t code;
  const char* text;
};
// Sorted by code for the binary search.
constexpr TWhText kWinHttpTexts[] = {
    {12002, "连接超时 "},
    {12004, "WINHTTP_INTERNAL_ERROR "},
    {12005, "错误的URL "},
    {12006, "WINHTTP_UNRECOGNIZED_SCHEME "},
    {12007, "找不到服务器 "},
    {12009, "WINHTTP_INVALID_OPTION "},
    {12011, "WINHTTP_OPTION_NOT_SETTABLE "},
    {12012, "WINHTTP_SHUTDOWN "},
    {12015, "WINHTTP_LOGIN_FAILURE "},
    {12017, "WINHTTP_OPERATION_CANCELLED "},
    {12018, "WINHTTP_INCORRECT_HANDLE_TYPE "},
    {12019, "WINHTTP_INCORRECT_HANDLE_STATE "},
    {12029, "无法连接 "},
    {12030, "连接错误 "},
    {12032, "WINHTTP_RESEND_REQUEST "},
    {12037, "WINHTTP_SECURE_CERT_DATE_INVALID "},
    {12038, "WINHTTP_SECURE_CERT_CN_INVALID "},
    {12044, "WINHTTP_CLIENT_AUTH_CERT_NEEDED "},
    {12045, "WINHTTP_SECURE_INVALID_CA "},
    {12057, "WINHTTP_SECURE_CERT_REV_FAILED "},
    {12100, "WINHTTP_CANNOT_CALL_BEFORE_OPEN "},
    {12101, "WINHTTP_CANNOT_CALL_BEFORE_SEND "},
    {12102, "WINHTTP_CANNOT_CALL_AFTER_SEND "},
    {12103, "WINHTTP_CANNOT_CALL_AFTER_OPEN "},
    {12150, "WINHTTP_HEADER_NOT_FOUND "},
    {12152, "WINHTTP_INVALID_SERVER_RESPONSE "},
    {12156, "WINHTTP_REDIRECT_FAILED "},
    {12157, "WINHTTP_SECURE_CHANNEL_ERROR "},
    {12166, "WINHTTP_BAD_AUTO_PROXY_SCRIPT "},
    {12167, "WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT "},
    {12169, "WINHTTP_SECURE_INVALID_CERT "},
    {12170, "WINHTTP_SECURE_CERT_REVOKED "},
    {12175, "WINHTTP_SECURE_FAILURE "},
    {12178, "WINHTTP_AUTO_PROXY_SERVICE_ERROR "},
    {12179, "WINHTTP_SECURE_CERT_WRONG_USAGE "},
    {12180, "WINHTTP_AUTODETECTION_FAILED "},
    {12181, "WINHTTP_HEADER_COUNT_EXCEEDED "},
    {12182, "WINHTTP_HEADER_SIZE_OVERFLOW "},
    {12183, "WINHTTP_CHUNKED_ENCODING_HEADER_SIZE_OVERFLOW "},
};
static_assert(std::size(kWinHttpTexts) == 39);
}  // namespace

std::string WinHttpErrorText(uint32_t code) {
  auto it = std::lower_bound(std::begin(kWinHttpTexts), std::end(kWinHttpTexts), code,
                             [](const TWhText& t, uint32_t c) { return t.code < c; });
  if (it != std::end(kWinHttpTexts) && it->code == code) return it->text;
  return {};
}

std::string HttpResultText(int32_t result) {
  if (result > 0) {
    switch (result) {
      case 200: return "HTTP_200_OK";
      case 403: return "HTTP_403_Forbidden";
      case 404: return "HTTP_404_NotFound";
      case 500: return "HTTP_500_InternalServerError";
      case 503: return "HTTP_503_ServiceUnavailable";
      default: return "HTTP_" + std::to_string(result);
    }
  }
  uint32_t n = static_cast<uint32_t>(-static_cast<int64_t>(result));
  std::string text = SysErrorMessage(n);
  if (text.empty()) text = WinHttpErrorText(n);
  if (text.empty()) return "#SOCKET#" + std::to_string(n);
  return "#" + std::to_string(n) + ":" + text;
}

int EnableTls12() { return 1; }
