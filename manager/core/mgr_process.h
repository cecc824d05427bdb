// How the manager meets other processes: its start options, the server registration it
// checks, the server's window (found, told to close) and program (started), and the
// manager's own window channel, through which a second start signals the first.
#pragma once
#include <sys/types.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* kMgrMutexName = "ZEL_Net_Opc_Mgr3";
inline constexpr const char* kMgrWindowClass = "TfrmOpcMgr3Main";
// The caption part of the manager's channel name. The window's real caption ends with
// the archive path, which cannot be part of a socket name, so the channel has a fixed one.
inline constexpr const char* kMgrChannelCaption = "ZelOpcMgr3";
inline constexpr int kMsgShowManager = 1025;  // the first user message number + 1
inline constexpr int kMsgCloseServer = 1034;  // the first user message number + 10
inline constexpr const char* kServerWindowClass = "TfrmOpcServer3Main";
// The server process holds this mutex from its start to its very end.
inline constexpr const char* kServerMutexName = "ZEL_Net_Opc_Server_V3_App";

struct TMgrOptions {
  bool ZelId = false;    // "ZELID"
  bool Xml = false;      // "XML"
  bool GenCert = false;  // "GENCERT"
};
// Each entry trimmed and upper-cased; only entries starting with '-' or '/' count.
TMgrOptions ParseMgrOptions(const std::vector<std::string>& entries);
// The lines of `iniFile` (when it exists) followed by the command-line parameters.
std::vector<std::string> MgrOptionEntries(const std::string& iniFile, const std::vector<std::string>& params);

// Directory of the program registered for the server's ProgID (its long form, no
// trailing '/'); empty when a key or value is missing.
std::string RegisteredProgramDir();

// The server's main window: "$ZEL_OPC_SERVER3$", else the older caption "OPC_SERVER";
// empty when neither listens.
std::string ServerWindowCaption();
bool ServerWindowExists();
// Sends message 1034 to the server's window and waits (up to waitMs in all) until the
// server process has ended, so that a start right after cannot meet the old instance. A
// server still starting (its mutex held, its window not yet listening) is waited for and
// closed too. False when no server window was found.
bool CloseServerWindow(int waitMs = 10000);

// Starts a program without waiting, with this process's environment; its pid, or -1.
pid_t StartProgram(const std::string& path, const std::vector<std::string>& args = {});
// Collects the programs started above that have ended (no zombies).
void ReapStartedPrograms();

// What a requester's bytes so far ask for: more bytes, the manager shown (message
// 1025), another message (answered "0" and ignored), or a request that is refused (not a
// message, longer than kMgrMaxRequestLine, or ended without a line end).
enum class TMgrRequest { Incomplete, Show, Message, Refused };
inline constexpr size_t kMgrMaxRequestLine = 64;
TMgrRequest ParseMgrRequest(std::string_view in, bool ended);

// The manager's window channel: answers "MSG <n>" lines with "0" and reports message
// 1025. Requesters are outside input: each gets one short line and a few seconds, and
// only a few are served at a time.
class TMgrWindowChannel {
 public:
  TMgrWindowChannel() = default;
  ~TMgrWindowChannel();
  TMgrWindowChannel(const TMgrWindowChannel&) = delete;
  TMgrWindowChannel& operator=(const TMgrWindowChannel&) = delete;

  bool Listen();
  int Fd() const { return listenFd_; }
  // Serves what is ready without waiting; the number of 1025 messages received.
  int PollNow();

  static constexpr size_t kMaxClients = 8;
  static constexpr int kClientMs = 3000;

 private:
  struct TClient {
    std::string in;
    long long deadline = 0;
  };
  int Serve(int fd, TClient& c);  // 1 when a 1025 came; drops the client when done
  int listenFd_ = -1;
  std::map<int, TClient> clients_;
};
