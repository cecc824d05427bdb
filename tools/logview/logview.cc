// ZelLogView: prints every log datagram that arrives on the log port (910, or
// ZELOPC_LOG_PORT) as "source level #seq time text", one line each, until SIGINT/SIGTERM.
// It listens on 127.0.0.1 unless told another address (--listen), since anyone who can
// reach the port can write into the view; control characters of a text are printed
// escaped, so a datagram can neither forge lines nor drive the terminal.
#include <chrono>
#include <cstdio>
#include <string>

#include "common/helpers/program_info.h"
#include "common/helpers/strings.h"
#include "common/log/log_datagram.h"
#include "common/log/server_log.h"
#include "tools/logview/log_listener.h"

// Local time text of a NowMs value (ms since 1899-12-30); NowMs is local already, so the
// calendar is taken as it stands, without a time zone.
static void TimeText(int64_t ms, char* out, size_t n) {
  using namespace std::chrono;
  const milliseconds unixMs(ms - int64_t(25569) * 86400000);
  const sys_days day = floor<days>(sys_time<milliseconds>(unixMs));
  const year_month_day date(day);
  const hh_mm_ss<milliseconds> t(unixMs - day.time_since_epoch());
  std::snprintf(out, n, "%04d-%02u-%02u %02d:%02d:%02d.%03d", int(date.year()), unsigned(date.month()),
                unsigned(date.day()), int(t.hours().count()), int(t.minutes().count()), int(t.seconds().count()),
                int(t.subseconds().count()));
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
  uint32_t listenAddr = 0;
  TLogListener::ParseAddress("127.0.0.1", listenAddr);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--listen" && i + 1 < argc && TLogListener::ParseAddress(argv[i + 1], listenAddr)) {
      ++i;
    } else if (arg == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    } else {
      Usage();
      return 2;
    }
  }
  TLogListener listener;
  const std::string addrText = TLogListener::AddressText(listenAddr);
  std::string error;
  if (!listener.Open(listenAddr, LogPort(), error)) {
    std::fprintf(stderr, "cannot listen on UDP %s port %d: %s\n", addrText.c_str(), LogPort(), error.c_str());
    return 1;
  }
  TLogListener::CatchStop();
  std::fprintf(stderr, "listening for log datagrams on UDP %s port %d\n", addrText.c_str(), LogPort());
  uint8_t buf[65536];
  while (!TLogListener::Stopping()) {
    const long n = listener.Receive(buf, sizeof buf);
    if (n < 0) continue;
    TLogDatagram d;
    if (!ParseLogDatagram(buf, size_t(n), d)) {
      std::printf("(malformed datagram of %ld bytes)\n", n);
      continue;
    }
    char when[64];
    TimeText(d.time, when, sizeof when);
    std::printf("%04X %2u #%d %s %s\n", d.source, d.level, d.seq, when, EscapeControls(d.text).c_str());
    std::fflush(stdout);
  }
  return 0;
}
