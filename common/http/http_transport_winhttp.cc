// The HTTP client's transport on WinHTTP (Windows build). Synchronous calls with the
// session's time-outs; the error codes are WinHTTP's own. The extra trust file of the
// Linux transport has no counterpart: on Windows the certificate goes into the machine's
// store, where WinHTTP verifies against it.
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <cstdlib>

#include "common/http/http_transfer.h"
#include "common/platform/text.h"
#include "common/platform/win_text.h"

namespace {
// A handle that closes itself.
struct THttpHandle {
  HINTERNET h = nullptr;
  THttpHandle() = default;
  explicit THttpHandle(HINTERNET x) : h(x) {}
  THttpHandle(const THttpHandle&) = delete;
  THttpHandle& operator=(const THttpHandle&) = delete;
  ~THttpHandle() { Reset(); }
  void Reset(HINTERNET x = nullptr) {
    if (h) WinHttpCloseHandle(h);
    h = x;
  }
};
}  // namespace

// One WinHTTP session (kept-alive connections live in it), reused across requests.
struct TwhTransfer {
  THttpHandle session;
  std::string body;
  std::vector<std::string> headers;  // "Name: value" of the final answer
};

const std::vector<std::string>& TransferHeaders(const TwhTransfer& t) { return t.headers; }
const std::string& TransferBody(const TwhTransfer& t) { return t.body; }
void TwhTransferDeleter::operator()(TwhTransfer* t) const { delete t; }

TwhTransferPtr NewTransfer(const NxWinHTTP& session) {
  TwhTransferPtr t(new TwhTransfer);
  t->session.Reset(WinHttpOpen(WideText(session.Agent()).c_str(),
                               session.UseProxy() ? WINHTTP_ACCESS_TYPE_DEFAULT_PROXY : WINHTTP_ACCESS_TYPE_NO_PROXY,
                               WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  return t;
}
bool TransferUsable(const TwhTransfer& t) { return t.session.h != nullptr; }
void ClearTransfer(TwhTransfer& t) {
  t.body.clear();
  t.body.shrink_to_fit();
  t.headers.clear();
}

// ---- session ----

NxWinHTTP::NxWinHTTP(std::string agent, bool useProxy) : agent_(std::move(agent)), useProxy_(useProxy) {}

NxWinHTTP::~NxWinHTTP() = default;







// ---- request ----


namespace {
// The raw header block as "Name: value" lines, the status line left out.
std::vector<std::string> HeaderLines(HINTERNET request) {
  std::vector<std::string> out;
  DWORD size = 0;
  WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &size,
                      WINHTTP_NO_HEADER_INDEX);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return out;
  std::wstring raw(size / sizeof(wchar_t) + 1, L'\0');
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, raw.data(), &size,
                           WINHTTP_NO_HEADER_INDEX))
    return out;
  raw.resize(size / sizeof(wchar_t));
  const std::string text = NarrowText(raw);
  size_t at = text.find("\r\n");  // after the status line
  while (at != std::string::npos && at + 2 < text.size()) {
    const size_t next = text.find("\r\n", at + 2);
    std::string line = text.substr(at + 2, next == std::string::npos ? std::string::npos : next - at - 2);
    if (!line.empty()) out.push_back(std::move(line));
    at = next;
  }
  return out;
}
}  // namespace

int32_t TwhRequest::Send(std::string_view body) {
  if (!Prepare()) return -1;
  NxWinHTTP& session = connect_.Session();
  TwhTransfer& t = *transfer_;
  t.body.clear();
  t.headers.clear();
  usedTls_ = false;
  const TwhTimeouts to = session.Timeouts();
  WinHttpSetTimeouts(t.session.h, 0, to.connectMs, to.sendMs, to.receiveMs);
  auto fail = [&](DWORD code) {
    t.body.clear();
    t.headers.clear();
    lastError_ = code ? code : kWhErrInternal;
    return -1;
  };
  THttpHandle connection(WinHttpConnect(t.session.h, WideText(connect_.HostName()).c_str(), connect_.Port(), 0));
  if (!connection.h) return fail(GetLastError());
  // The path and query went through our escaping already (WireUrl): sent as they are.
  const std::string wire = wireUrl_.substr(wireUrl_.find('/', wireUrl_.find("://") + 3));
  THttpHandle request(WinHttpOpenRequest(connection.h, post_ ? L"POST" : L"GET", WideText(wire).c_str(), nullptr,
                                         WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                         WINHTTP_FLAG_ESCAPE_DISABLE | WINHTTP_FLAG_ESCAPE_DISABLE_QUERY |
                                             (IsSecure() ? WINHTTP_FLAG_SECURE : 0)));
  if (!request.h) return fail(GetLastError());
  // Set on the request as well: not every implementation hands the session's on.
  WinHttpSetTimeouts(request.h, 0, to.connectMs, to.sendMs, to.receiveMs);
  DWORD noRedirect = WINHTTP_DISABLE_REDIRECTS;
  WinHttpSetOption(request.h, WINHTTP_OPTION_DISABLE_FEATURE, &noRedirect, sizeof noRedirect);
  std::wstring lines;
  for (const std::string& h : headers_) lines += WideText(h) + L"\r\n";
  if (!lines.empty() &&
      !WinHttpAddRequestHeaders(request.h, lines.c_str(), DWORD(-1), WINHTTP_ADDREQ_FLAG_ADD))
    return fail(GetLastError());
  if (session.Cancelled()) return fail(kWhErrOperationCancelled);
  if (!WinHttpSendRequest(request.h, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                          body.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(body.data()), DWORD(body.size()),
                          DWORD(body.size()), 0) ||
      !WinHttpReceiveResponse(request.h, nullptr))
    return fail(GetLastError());
  usedTls_ = IsSecure();
  DWORD status = 0, size = sizeof status;
  if (!WinHttpQueryHeaders(request.h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX) ||
      status == 0)
    return fail(kWhErrInvalidServerResponse);
  t.headers = HeaderLines(request.h);
  // The body: a read that breaks off keeps the status and what came, as on Linux.
  char buf[65536];
  for (;;) {
    if (session.Cancelled()) return fail(kWhErrOperationCancelled);
    DWORD n = 0;
    if (!WinHttpReadData(request.h, buf, sizeof buf, &n)) {
      lastError_ = GetLastError();
      break;
    }
    if (n == 0) break;
    t.body.append(buf, n);
  }
  return static_cast<int32_t>(status);
}
