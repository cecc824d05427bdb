// The simulated vendor cloud without its sockets: devices with moving values, sessions,
// the login and batch protocols, fault plans, recorded writes and counters. The HTTP
// layer (cloudsim_main.cc) only carries bodies to and from here.
//
// Login (POST /exlog2), body: per device a login body, each followed by SEP:
//   "ZEL=<number>\nPASS=<password>\nSSL=1\nEXINFO=1\nXINFO=1\nAPP=..\nAPPVER=..\nUID=.."
// answer: "OK" SEP, then one item per body, each followed by SEP:
//   "OK\r\nXINFO=<x>\r\nSID=<sid>\r\nADDRS=<host:tls port>\r\nADDR=<host:port>"
//   or "ERROR\r\n<server result code>"
//
// Batch (POST /exmulti), body: request lines joined by SEP, each
//   "OP=<op>&SID=<sid>\r\n<payload>"
// answer: "OK\r\n", then for each line MARK + section; or "ERROR\r\n" + 3-digit code.
//   I  : text lines "OK", name, 11 information lines, fingerprint, refresh delay (ms)
//   E  : "OK", count, then "name,type,access,group" per variable
//   RA : binary: tag 12 status, count (integer value), one typed value per variable
//        (tag 12 = no value); on a failed session or an offline device: tag 12 + code
//   W  : payload "m\r\n" + m times "name\r\nvalue\r\n"; text "OK", m, one code per write
//   Text sections end with CR LF; text error items read "ERROR\r\n<code>\r\n".
// SEP = "\r\n<[{#}]>\r\n", MARK = "<[{#}]>\r\n". Typed values: tag byte + little-endian
// payload (0/1 false/true, 3 int8, 4 int16, 5 int32, 6 int64, 7 float, 8 double, 12 int8).
//
// Threads: every public operation takes the one lock; the HTTP worker threads call in
// concurrently.
#pragma once
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <vector>

constexpr std::string_view kSimSep = "\r\n<[{#}]>\r\n";
constexpr std::string_view kSimMark = "<[{#}]>\r\n";

enum class TSimSource { Constant, Counter, Sine, RandomWalk };
// How a value travels in a read answer.
enum class TSimWire { Bool, I8, I16, I32, I64, F32, F64, None };

struct TSimVar {
  std::string name, group;
  char type = 'F';    // 'B' discrete, 'I' integer, other analog
  char access = 'W';  // 'R' read-only, other writable
  TSimWire wire = TSimWire::F32;
  TSimSource source = TSimSource::Constant;
  double value = 0;   // constant value, counter start, sine offset, walk start
  double step = 1;    // counter step, walk step
  double amplitude = 1;
  double periodMs = 1000;
  double min = -1e300, max = 1e300;
  // running state
  bool written = false;
  double writtenValue = 0;
  double walk = 0;
  int64_t walkAtMs = 0;
};

struct TSimDevice {
  std::string number, password, name, xinfo;
  int refreshMs = 1000;
  int dataServer = 0;
  int loginError = 0;    // non-zero: every login of this device is refused with it
  bool online = true;
  bool offlineAsError = false;  // offline: error items with code 14, else tag-12 values
  int listVersion = 0;   // raised by a changed variable list
  std::vector<TSimVar> vars;
  std::string fingerprint;
  // Read answers with values given so far, and the times of the latest ones (steady-clock
  // microseconds, oldest first, at most kSimReadTimes).
  int64_t readCount = 0;
  std::deque<int64_t> readTimesUs;
};

constexpr size_t kSimReadTimes = 512;

enum class TFaultKind { Status, Head, Delay, Drop, Truncate, CorruptGzip };
enum class TFaultPath { Login, Data, Any };

struct TSimFault {
  TFaultKind kind = TFaultKind::Status;
  TFaultPath path = TFaultPath::Data;
  int value = 0;     // status, server code, delay ms, truncate byte count (0 = half)
  int count = 1;     // answers still to spoil
  int skip = 0;      // answers on the path to let through first
};

struct TSimWrite {
  std::string device, name, value;
  int result = 0;  // 0 applied, else the server code of the refusal
  int dataServer = 0;
};

struct TSimCounters {
  int64_t logins = 0, loginItems = 0, batches = 0, lines = 0, opI = 0, opE = 0, opRA = 0, opW = 0, opOther = 0;
  int64_t faults = 0, control = 0;
  std::vector<int64_t> perServer;
};

class TCloudSim {
 public:
  // Loads the device file (JSON; see sample-devices.json). False with an error text that
  // names the place of a syntax error or the member at fault.
  [[nodiscard]] bool Load(std::string_view json, std::string& error);
  void SetDataServerCount(int n);
  int DataServerCount() const;
  void SetSessionTimeoutMs(int64_t ms);
  // Where the login answer sends devices of data server i (host:port).
  void SetDataAddress(int server, std::string addrHttp, std::string addrHttps);

  // Protocol. nowMs: a monotonic clock in milliseconds (values, session ages).
  std::string HandleLogin(std::string_view body, int64_t nowMs);
  std::string HandleBatch(int server, std::string_view body, int64_t nowMs);

  // Faults: the next answer on that path takes the first matching plan (its count drops).
  void AddFault(const TSimFault& f);
  void ClearFaults();
  bool TakeFault(TFaultPath path, TSimFault& out);

  // Control.
  bool SetOnline(std::string_view device, bool online, bool asError);
  bool SetLoginError(std::string_view device, int code);
  bool ChangeVarList(std::string_view device);  // adds one variable: new count and fingerprint
  int InvalidateSessions(std::string_view sid, std::string_view device);
  std::string WritesJson() const;
  void ClearWrites();
  std::string CountersJson() const;
  std::string SessionsJson(int64_t nowMs) const;
  std::string DevicesJson(int64_t nowMs);
  std::vector<TSimDevice> DevicesSnapshot() const;
  // {"value":<number>}
  bool ValueJson(std::string_view device, std::string_view var, int64_t nowMs, std::string& out);
  void ResetCounters();

  // For latency measurements: a value change made by the device itself (the variable keeps
  // `value` until the next change or client write) and the times of its read answers. Both
  // times are steady-clock microseconds (CLOCK_MONOTONIC, comparable with other processes
  // on this machine) taken under the lock, so the first read after `atUs` is the one that
  // carries the new value. False or empty for an unknown device or variable.
  bool SetValue(std::string_view device, std::string_view var, double value, int64_t& atUs);
  // {"device":..,"reads":<count>,"timesUs":[..]}
  std::string ReadsJson(std::string_view device) const;

 private:
  struct TSession {
    std::string device;
    int64_t lastUseMs = 0;
  };
  TSimDevice* FindDevice(std::string_view number);
  const TSimDevice* FindDevice(std::string_view number) const;
  TSimDevice* SessionDevice(std::string_view sid, int64_t nowMs);  // null: expired/unknown
  static void UpdateFingerprint(TSimDevice& d);
  double CurrentValue(TSimVar& v, int64_t nowMs);
  void AppendInfo(std::string& out, const TSimDevice& d);
  void AppendVarList(std::string& out, const TSimDevice& d);
  void AppendRead(std::string& out, TSimDevice* d, int code, int64_t nowMs);
  void AppendWrite(std::string& out, TSimDevice& d, int server, std::string_view payload, int64_t nowMs);
  std::string NewSid();

  mutable std::mutex mutex_;
  std::vector<TSimDevice> devices_;
  std::map<std::string, TSession, std::less<>> sessions_;
  std::vector<std::pair<std::string, std::string>> dataAddr_;  // http, https per server
  std::deque<TSimFault> faults_;
  std::vector<TSimWrite> writes_;
  TSimCounters counters_;
  int64_t sessionTimeoutMs_ = 600000;
  int64_t startMs_ = -1;
  std::mt19937_64 rng_{0x5EED};
};

// The control API's short answers: {"ok":true}, {"ok":true,"atUs":n}, {"<key>":n} and
// {"error":"<what>"}.
std::string JsonOk();
std::string JsonOkAt(int64_t atUs);
std::string JsonCount(std::string_view key, int64_t n);
std::string JsonError(std::string_view what);

// Typed value encoders of the read answer (also used by tests).
void AppendTag12(std::string& out, int8_t code);
void AppendIntValue(std::string& out, int64_t v);  // the smallest integer tag that holds v
void AppendWireValue(std::string& out, TSimWire wire, double v);

// Deflate level 1 in a gzip wrapper.
std::string GzipCompress(std::string_view data);
