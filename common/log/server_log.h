// The UDP log channel. Every log line is one datagram to a local viewer (ZelLogView);
// when nobody listens the line is lost and nothing else happens.
//
// Datagram, little-endian:
//   0  u16  source id (0xFF7B server, 0xFF7C manager)
//   2  u16  level (0 system, 3 write traffic, 4 read traffic / OPC layer, 5 errors,
//            6..11 OPC UA library messages)
//   4  i32  sequence number, 1 for the first datagram of the process
//   8  i64  NowMs (local time, ms since 1899-12-30)
//  16  u16  text length in bytes = 2 * n
//  18  2n   text in UTF-16LE, n = min(length, 2000) + 1, the last unit is 0
//
// Thread safety: Open once at start-up before other threads exist; Send from any thread.
// Each Send builds its datagram in a buffer of its own and takes the sequence number
// with one atomic increment, so concurrent lines never mix.
#pragma once
#ifdef _WIN32
#include <winsock2.h>
#else
#include <netinet/in.h>
#endif

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

constexpr uint16_t kLogSourceServer = 0xFF7B;
constexpr uint16_t kLogSourceManager = 0xFF7C;
constexpr size_t kLogMaxTextUnits = 2000;
constexpr size_t kLogHeadSize = 18;
constexpr size_t kLogMaxDatagram = kLogHeadSize + 2 * (kLogMaxTextUnits + 1);  // 4020

class TServerLog {
 public:
  TServerLog() = default;
  ~TServerLog();
  TServerLog(const TServerLog&) = delete;
  TServerLog& operator=(const TServerLog&) = delete;

  // host empty means 127.0.0.1. The port is 910, or ZELOPC_LOG_PORT when set.
  bool Open(uint16_t sourceId, const std::string& host = {});
  // journalPriority: the stderr line's priority when it is not the level's own (-1).
  bool Send(std::string_view text, uint16_t level, int journalPriority = -1);
  bool IsOpen() const { return open_; }
  void Close();
  // Every sent line also to stderr as "<priority>text", the prefix systemd's journal reads
  // from a service's output; the datagrams stay as they are.
  void SetStderrMirror(bool on) { mirror_ = on; }
  bool StderrMirror() const { return mirror_; }

  // Builds the datagram for a text (also used by tests and the viewer's decoder).
  static size_t BuildDatagram(uint8_t* out, uint16_t sourceId, uint16_t level, int32_t seq, int64_t time,
                              std::string_view text);

 private:
  uint16_t sourceId_ = 0;
#ifdef _WIN32
  SOCKET socket_ = INVALID_SOCKET;
#else
  int socket_ = -1;
#endif
  sockaddr_in dest_{};
  std::atomic<int32_t> seq_{0};
  bool open_ = false;
  bool mirror_ = false;
};

// The process's log channel.
extern TServerLog g_ServerLog;

int LogPort();  // 910 or ZELOPC_LOG_PORT

// The journal priority of a log level: 3 error for level 5 and UA errors, 4 UA warnings,
// 6 system lines and UA info, 7 traffic, UA trace and debug, 2 UA system messages.
int JournalPriority(uint16_t level);
// The stderr line of a log line: "<priority>text\n", control characters as \xHH so that
// one line stays one journal entry.
std::string JournalLine(std::string_view text, uint16_t level, int priority = -1);
// Whether stderr is the journal stream systemd named in JOURNAL_STREAM ("device:inode"
// of the stream). A child whose stderr was redirected inherits the variable but fails
// the comparison.
bool StderrIsJournal(const char* journalStream);

void LogSys(std::string_view text);       // level 0
void LogWebWrite(std::string_view text);  // level 3
void LogWebRead(std::string_view text);   // level 4
void LogWebError(std::string_view text);  // level 5

// Head of project log lines from the project's fields (state and error texts of the link).
std::string LogTagText(std::string_view tag, std::string_view dispName, std::string_view name, int netState,
                       int errCode, int httpCode);

// The OPC UA library's log callback: category prefix, severity mapping, gated by logLevel
// ([OPCUA] LogLevel: 0 off, 1 severities 2 and above, 2 and more everything).
void OnUALogAt(int logLevel, int category, int severity, std::string_view messageUtf8);
// The same with TSysOP.LogLevel.
void OnUALog(int category, int severity, const char* messageUtf8);
