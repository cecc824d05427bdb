// ZelLogView: prints every log datagram that arrives on the log port (910, or
// ZELOPC_LOG_PORT) as "source level #seq time text", one line each, until SIGINT/SIGTERM.
// It listens on 127.0.0.1 unless told another address (--listen), since anyone who can
// reach the port can write into the view; control characters of a text are printed
// escaped, so a datagram can neither forge lines nor drive the terminal.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/helpers/program_info.h"
#include "common/helpers/strings.h"
#include "common/log/log_datagram.h"
#include "common/log/server_log.h"

static volatile std::sig_atomic_t g_stop = 0;
static void OnSignal(int) { g_stop = 1; }

// Local time text of a NowMs value (ms since 1899-12-30).
static void TimeText(int64_t ms, char* out, size_t n) {
  int64_t unixMs = ms - int64_t(25569) * 86400000;
  time_t sec = time_t(unixMs / 1000);
  tm t{};
  gmtime_r(&sec, &t);  // NowMs is local already
  std::snprintf(out, n, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                t.tm_hour, t.tm_min, t.tm_sec, int(unixMs % 1000));
}

static const char kHelp[] =
    "Usage: ZelLogView [--listen ADDRESS]\n"
    "Prints the log datagrams that arrive on UDP port 910 (or ZELOPC_LOG_PORT).\n"
    "  --listen ADDRESS  the IPv4 address to listen on (default 127.0.0.1; 0.0.0.0 for all)\n"
    "  --help            this text\n"
    "  --version         the program's version\n";
static void Usage() { std::fputs(kHelp, stderr); }

int main(int argc, char** argv) {
  if (AnswerInfoOption(argc, argv, "ZelLogView", kHelp)) return 0;
  in_addr listenAddr{htonl(INADDR_LOOPBACK)};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--listen" && i + 1 < argc && inet_pton(AF_INET, argv[i + 1], &listenAddr) == 1) {
      ++i;
    } else if (arg == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    } else {
      Usage();
      return 2;
    }
  }
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) {
    std::perror("socket");
    return 1;
  }
  int on = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(LogPort()));
  a.sin_addr = listenAddr;
  char addrText[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &listenAddr, addrText, sizeof addrText);
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    std::fprintf(stderr, "cannot listen on UDP %s port %d: %s\n", addrText, LogPort(), std::strerror(errno));
    return 1;
  }
  struct sigaction sa{};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::fprintf(stderr, "listening for log datagrams on UDP %s port %d\n", addrText, LogPort());
  uint8_t buf[65536];
  while (!g_stop) {
    ssize_t n = recv(s, buf, sizeof buf, 0);
    if (n < 0) continue;  // EINTR on a signal
    TLogDatagram d;
    if (!ParseLogDatagram(buf, size_t(n), d)) {
      std::printf("(malformed datagram of %zd bytes)\n", n);
      continue;
    }
    char when[64];
    TimeText(d.time, when, sizeof when);
    std::printf("%04X %2u #%d %s %s\n", d.source, d.level, d.seq, when, EscapeControls(d.text).c_str());
    std::fflush(stdout);
  }
  close(s);
  return 0;
}
