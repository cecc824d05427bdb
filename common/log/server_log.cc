#include "common/log/server_log.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <io.h>

#include "common/platform/winsock_init.h"
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/log/link_texts.h"
#include "common/platform/clock.h"
#include "common/platform/text.h"
#include "common/settings/sys_config.h"

TServerLog g_ServerLog;

int LogPort() {
  if (const char* p = std::getenv("ZELOPC_LOG_PORT"); p && *p) {
    auto v = TryDecimalToInt(p);
    if (v && *v > 0 && *v < 65536) return *v;
  }
  return 910;
}

TServerLog::~TServerLog() { Close(); }

void TServerLog::Close() {
  open_ = false;
#ifdef _WIN32
  if (socket_ != INVALID_SOCKET) closesocket(socket_);
  socket_ = INVALID_SOCKET;
#else
  if (socket_ >= 0) close(socket_);
  socket_ = -1;
#endif
}

bool TServerLog::Open(uint16_t sourceId, const std::string& host) {
  sourceId_ = sourceId;
  std::string h = host.empty() ? std::string("127.0.0.1") : host;
#ifdef _WIN32
  if (!EnsureWinsock()) return false;
#endif
  in_addr addr{};
  if (inet_pton(AF_INET, h.c_str(), &addr) != 1) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(h.c_str(), nullptr, &hints, &res) != 0 || !res) {
      open_ = false;
      return false;
    }
    addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
    freeaddrinfo(res);
  }
  Close();
#ifdef _WIN32
  socket_ = socket(AF_INET, SOCK_DGRAM, 0);
  if (socket_ == INVALID_SOCKET) return false;
  const BOOL on = TRUE;
  if (setsockopt(socket_, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on) != 0) {
#else
  socket_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (socket_ < 0) return false;
  dest_ = sockaddr_in{};
  dest_.sin_family = AF_INET;
  dest_.sin_port = htons(uint16_t(LogPort()));
  dest_.sin_addr = addr;
  int on = 1;
  if (setsockopt(socket_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
#endif
    open_ = false;
    return false;
  }
  open_ = true;
  return true;
}

static void PutLE(uint8_t* p, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = uint8_t(v >> (8 * i));
}

size_t TServerLog::BuildDatagram(uint8_t* out, uint16_t sourceId, uint16_t level, int32_t seq, int64_t time,
                                 std::string_view text) {
  std::u16string u = Utf8ToUtf16(text);
  if (u.size() > kLogMaxTextUnits) u.resize(kLogMaxTextUnits);
  const size_t n = u.size() + 1;
  PutLE(out + 0, sourceId, 2);
  PutLE(out + 2, level, 2);
  PutLE(out + 4, uint32_t(seq), 4);
  PutLE(out + 8, uint64_t(time), 8);
  PutLE(out + 16, 2 * n, 2);
  uint8_t* t = out + kLogHeadSize;
  for (size_t i = 0; i < u.size(); ++i) PutLE(t + 2 * i, u[i], 2);
  PutLE(t + 2 * u.size(), 0, 2);
  return kLogHeadSize + 2 * n;
}

bool TServerLog::Send(std::string_view text, uint16_t level, int journalPriority) {
  if (mirror_) {
    const std::string line = JournalLine(text, level, journalPriority);
    // One write per line: lines of several threads do not interleave.
#ifdef _WIN32
    (void)!_write(2, line.data(), unsigned(line.size()));
#else
    (void)!write(STDERR_FILENO, line.data(), line.size());
#endif
  }
  if (!open_) return false;
  uint8_t buf[kLogMaxDatagram];
  const int32_t seq = seq_.fetch_add(1, std::memory_order_relaxed) + 1;
  size_t len = BuildDatagram(buf, sourceId_, level, seq, NowMs(), text);
#ifdef _WIN32
  const int sent = sendto(socket_, reinterpret_cast<const char*>(buf), int(len), 0,
                          reinterpret_cast<const sockaddr*>(&dest_), sizeof dest_);
  return sent == int(len);
#else
  ssize_t sent = sendto(socket_, buf, len, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&dest_), sizeof dest_);
  return sent == ssize_t(len);
#endif
}

int JournalPriority(uint16_t level) {
  switch (level) {
    case 0: return 6;
    case 5: return 3;
    case 8: return 6;
    case 9: return 4;
    case 10: return 3;
    case 11: return 2;
    default: return 7;  // 3 and 4 (traffic), 6 and 7 (UA trace and debug)
  }
}

std::string JournalLine(std::string_view text, uint16_t level, int priority) {
  std::string line = "<" + std::to_string(priority >= 0 ? priority : JournalPriority(level)) + ">";
  line.reserve(line.size() + text.size() + 1);
  static const char kHex[] = "0123456789ABCDEF";
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) {
      line += "\\x";
      line += kHex[c >> 4];
      line += kHex[c & 15];
    } else {
      line += char(c);
    }
  }
  line += '\n';
  return line;
}

bool StderrIsJournal(const char* journalStream) {
  if (!journalStream || !*journalStream) return false;
#ifdef _WIN32
  return false;  // no journal on Windows
#else
  struct stat st{};
  if (fstat(STDERR_FILENO, &st) != 0) return false;
  unsigned long long dev = 0, ino = 0;
  char tail = 0;
  if (std::sscanf(journalStream, "%llu:%llu%c", &dev, &ino, &tail) != 2) return false;
  return dev == static_cast<unsigned long long>(st.st_dev) && ino == static_cast<unsigned long long>(st.st_ino);
#endif
}

void LogSys(std::string_view text) { g_ServerLog.Send(text, 0); }
void LogWebWrite(std::string_view text) { g_ServerLog.Send(text, 3); }
void LogWebRead(std::string_view text) { g_ServerLog.Send(text, 4); }
void LogWebError(std::string_view text) { g_ServerLog.Send(text, 5); }

std::string LogTagText(std::string_view tag, std::string_view dispName, std::string_view name, int netState,
                       int errCode, int httpCode) {
  std::string head = std::string(tag) + std::string(dispName) + ":" + std::string(name);
  if (netState == ncsError || netState == ncsReLogin) {
    std::string err = ErrText(errCode, httpCode);
    head += ",[" + StateText(netState) + "]";
    if (!err.empty()) head += "ERR:" + err + ",";
  }
  return head;
}

void OnUALogAt(int logLevel, int category, int severity, std::string_view message) {
  if (logLevel == 0) return;
  static const char* const kPrefix[] = {"[network]", "[channel]",  "[session]",    "[server]",
                                        "[client]",  "[user]",     "[sec_policy]", "[log]"};
  if (category == 999) category = 7;
  std::string prefix = (category >= 0 && category <= 7) ? kPrefix[category] : "#errortype";
  if (severity == 5) severity = 4;
  else if (severity > 5) severity = 5;  // 999 and every other value above 5
  if (logLevel == 1 && severity < 2) return;
  // Negative severities are passed on as the library gave them, clamped to level 6.
  int level = 6 + (severity < 0 ? 0 : severity);
  g_ServerLog.Send(prefix + std::string(message), uint16_t(level));
}

void OnUALog(int category, int severity, const char* messageUtf8) {
  OnUALogAt(TSysOP.LogLevel, category, severity, messageUtf8 ? messageUtf8 : "");
}
