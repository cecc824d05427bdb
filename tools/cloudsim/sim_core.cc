// The simulated cloud's protocol and state; layouts in sim_core.h. The one translation
// unit of cloudsim that includes the JSON library: it reads the device file and writes
// every control-API answer, so the HTTP layer stays free of that header's compile time.
#include "tools/cloudsim/sim_core.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include <nlohmann/json.hpp>

namespace {

std::string Lower(std::string_view s) {
  std::string o(s);
  for (char& c : o)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return o;
}

// Lines of a text: CR LF, a lone CR or a lone LF end a line; no empty last line.
std::vector<std::string_view> Lines(std::string_view s) {
  std::vector<std::string_view> out;
  size_t start = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r' || s[i] == '\n') {
      out.push_back(s.substr(start, i - start));
      if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') ++i;
      start = i + 1;
    }
  }
  if (start < s.size()) out.push_back(s.substr(start));
  return out;
}

std::vector<std::string_view> SplitAt(std::string_view s, std::string_view sep) {
  std::vector<std::string_view> out;
  size_t start = 0;
  for (;;) {
    size_t p = s.find(sep, start);
    if (p == std::string_view::npos) {
      out.push_back(s.substr(start));
      return out;
    }
    out.push_back(s.substr(start, p - start));
    start = p + sep.size();
  }
}

void PutLine(std::string& out, std::string_view line) {
  out.append(line);
  out.append("\r\n");
}

void PutErrorItem(std::string& out, int code) {
  out.append("ERROR\r\n");
  out.append(std::to_string(code));
  out.append("\r\n");
}

template <class T>
void PutLE(std::string& out, T v) {
  char b[sizeof(T)];
  std::memcpy(b, &v, sizeof(T));  // x86-64 is little-endian, as the wire format
  out.append(b, sizeof(T));
}

TSimWire WireFromText(std::string_view w, char type) {
  std::string s = Lower(w);
  if (s == "bool") return TSimWire::Bool;
  if (s == "i8") return TSimWire::I8;
  if (s == "i16") return TSimWire::I16;
  if (s == "i32") return TSimWire::I32;
  if (s == "i64") return TSimWire::I64;
  if (s == "f32" || s == "float") return TSimWire::F32;
  if (s == "f64" || s == "double") return TSimWire::F64;
  if (s == "none") return TSimWire::None;
  return type == 'B' ? TSimWire::Bool : type == 'I' ? TSimWire::I32 : TSimWire::F32;
}

bool ParseDouble(std::string_view s, double& v) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return false;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  return r.ec == std::errc() && r.ptr == s.data() + s.size() && std::isfinite(v);
}

bool ParseCount(std::string_view s, int& n) {
  auto r = std::from_chars(s.data(), s.data() + s.size(), n);
  return r.ec == std::errc() && r.ptr == s.data() + s.size() && n >= 0;
}

int64_t SteadyUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Answers keep their members in the order written: consumers look for runs of members.
using TOut = nlohmann::ordered_json;
using TIn = nlohmann::json;

// A value as the answers have always shown it: 15 significant digits, whole numbers
// without a fraction (a double would print "1234.0").
TOut JsonNumber(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  double r = std::strtod(buf, nullptr);
  if (std::isfinite(r) && std::fabs(r) < 1e15 && r == std::trunc(r)) return int64_t(r);
  return r;
}

std::string Dump(const TOut& j) {
  // Invalid UTF-8 from a device file or a client write is replaced rather than thrown at.
  return j.dump(-1, ' ', false, TOut::error_handler_t::replace);
}

// Device-file members: a missing member or one of another kind gives the default, as
// hand-edited files have always been read (numbers for strings, 0/1 for booleans).
const TIn* Member(const TIn& o, const char* key) {
  if (!o.is_object()) return nullptr;
  auto it = o.find(key);
  return it == o.end() ? nullptr : &*it;
}

std::string GetString(const TIn& o, const char* key, std::string_view def = {}) {
  const TIn* v = Member(o, key);
  if (v && v->is_string()) return v->get<std::string>();
  if (v && v->is_number()) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v->get<double>());
    return buf;
  }
  return std::string(def);
}

double GetNumber(const TIn& o, const char* key, double def = 0) {
  const TIn* v = Member(o, key);
  if (v && v->is_number()) return v->get<double>();
  if (v && v->is_boolean()) return v->get<bool>() ? 1 : 0;
  return def;
}

bool GetBool(const TIn& o, const char* key, bool def = false) {
  const TIn* v = Member(o, key);
  if (v && v->is_boolean()) return v->get<bool>();
  if (v && v->is_number()) return v->get<double>() != 0;
  return def;
}

// Whole numbers that size tables or go into int fields: out of range is an error, not a
// huge allocation or an undefined conversion.
bool GetInt(const TIn& o, const char* key, double def, double lo, double hi, int64_t& out, std::string& error) {
  double v = GetNumber(o, key, def);
  if (!(v >= lo && v <= hi)) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "\"%s\" must lie in %.0f..%.0f", key, lo, hi);
    error = buf;
    return false;
  }
  out = int64_t(v);
  return true;
}

constexpr double kMaxDataServers = 256;  // each one is two listening servers with their threads
constexpr double kIntMax = std::numeric_limits<int32_t>::max();

// The library's message without its "[json.exception.parse_error.101] " prefix.
std::string ParseErrorText(const std::exception& e) {
  std::string m = e.what();
  if (!m.empty() && m[0] == '[') {
    size_t end = m.find("] ");
    if (end != std::string::npos) m.erase(0, end + 2);
  }
  return m;
}

}  // namespace

void AppendTag12(std::string& out, int8_t code) {
  out.push_back(char(12));
  out.push_back(char(code));
}

void AppendIntValue(std::string& out, int64_t v) {
  if (v >= -128 && v <= 127) {
    out.push_back(char(3));
    PutLE<int8_t>(out, int8_t(v));
  } else if (v >= -32768 && v <= 32767) {
    out.push_back(char(4));
    PutLE<int16_t>(out, int16_t(v));
  } else if (v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max()) {
    out.push_back(char(5));
    PutLE<int32_t>(out, int32_t(v));
  } else {
    out.push_back(char(6));
    PutLE<int64_t>(out, v);
  }
}

void AppendWireValue(std::string& out, TSimWire wire, double v) {
  auto clampInt = [](double x, double lo, double hi) {
    if (!(x >= lo)) return lo;  // NaN goes low
    return x > hi ? hi : x;
  };
  switch (wire) {
    case TSimWire::Bool: out.push_back(char(v != 0 ? 1 : 0)); break;
    case TSimWire::I8: out.push_back(char(3)); PutLE<int8_t>(out, int8_t(clampInt(std::trunc(v), -128, 127))); break;
    case TSimWire::I16:
      out.push_back(char(4));
      PutLE<int16_t>(out, int16_t(clampInt(std::trunc(v), -32768, 32767)));
      break;
    case TSimWire::I32:
      out.push_back(char(5));
      PutLE<int32_t>(out, int32_t(clampInt(std::trunc(v), -2147483648.0, 2147483647.0)));
      break;
    case TSimWire::I64:
      out.push_back(char(6));
      PutLE<int64_t>(out, int64_t(clampInt(std::trunc(v), -9.2e18, 9.2e18)));
      break;
    case TSimWire::F32: out.push_back(char(7)); PutLE<float>(out, float(v)); break;
    case TSimWire::F64: out.push_back(char(8)); PutLE<double>(out, v); break;
    case TSimWire::None: AppendTag12(out, 0); break;
  }
}

std::string GzipCompress(std::string_view data) {
  z_stream zs;
  std::memset(&zs, 0, sizeof zs);
  if (deflateInit2(&zs, 1, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  std::string out;
  out.resize(deflateBound(&zs, uLong(data.size())) + 32);
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = uInt(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = uInt(out.size());
  int rc = deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return rc == Z_STREAM_END ? out : std::string();
}

// ---- loading ----

bool TCloudSim::Load(std::string_view json, std::string& error) {
  TIn root;
  try {
    root = TIn::parse(json);
  } catch (const TIn::exception& e) {
    error = ParseErrorText(e);
    return false;
  }
  if (!root.is_object()) {
    error = "the device file must hold one object";
    return false;
  }
  const TIn* devs = Member(root, "devices");
  if (!devs || !devs->is_array()) {
    error = "\"devices\" must be an array";
    return false;
  }
  std::lock_guard lock(mutex_);
  devices_.clear();
  int64_t servers = 1, timeoutMs = 600000;
  if (!GetInt(root, "dataServers", 1, 0, kMaxDataServers, servers, error) ||
      !GetInt(root, "sessionTimeoutMs", 600000, -1e18, 1e18, timeoutMs, error))
    return false;
  sessionTimeoutMs_ = timeoutMs;
  for (const TIn& dj : *devs) {
    if (!dj.is_object()) {
      error = "a device must be an object";
      return false;
    }
    TSimDevice d;
    d.number = GetString(dj, "number");
    d.password = GetString(dj, "password");
    d.name = GetString(dj, "name", d.number);
    d.xinfo = GetString(dj, "xinfo", "ZEL200,SIM");
    d.online = GetBool(dj, "online", true);
    if (d.number.empty()) {
      error = "a device without \"number\"";
      return false;
    }
    int64_t refreshMs = 0, dataServer = 0, loginError = 0;
    if (!GetInt(dj, "refreshMs", 1000, -kIntMax, kIntMax, refreshMs, error) ||
        !GetInt(dj, "dataServer", 0, -kIntMax, kMaxDataServers - 1, dataServer, error) ||
        !GetInt(dj, "loginError", 0, -kIntMax, kIntMax, loginError, error)) {
      error += " in device " + d.number;
      return false;
    }
    d.refreshMs = int(refreshMs);
    d.dataServer = int(dataServer);
    d.loginError = int(loginError);
    if (d.dataServer < 0) d.dataServer = 0;
    if (d.dataServer + 1 > servers) servers = d.dataServer + 1;
    if (const TIn* vars = Member(dj, "vars"); vars && vars->is_array()) {
      for (const TIn& vj : *vars) {
        TSimVar v;
        v.name = GetString(vj, "name");
        std::string t = GetString(vj, "type", "F"), a = GetString(vj, "access", "W");
        v.type = t.empty() ? 'F' : t[0];
        v.access = a.empty() ? 'W' : a[0];
        v.group = GetString(vj, "group");
        v.wire = WireFromText(GetString(vj, "wire"), v.type);
        std::string src = Lower(GetString(vj, "source", "constant"));
        v.source = src == "counter" ? TSimSource::Counter
                   : src == "sine"  ? TSimSource::Sine
                   : (src == "random" || src == "randomwalk" || src == "walk") ? TSimSource::RandomWalk
                                                                               : TSimSource::Constant;
        v.value = GetNumber(vj, "value", 0);
        v.step = GetNumber(vj, "step", 1);
        v.amplitude = GetNumber(vj, "amplitude", 1);
        v.periodMs = GetNumber(vj, "periodMs", 1000);
        if (!(v.periodMs >= 1)) v.periodMs = 1;
        v.min = GetNumber(vj, "min", -1e300);
        v.max = GetNumber(vj, "max", 1e300);
        v.walk = v.value;
        if (v.name.empty()) {
          error = "a variable without \"name\" in device " + d.number;
          return false;
        }
        d.vars.push_back(std::move(v));
      }
    }
    UpdateFingerprint(d);
    devices_.push_back(std::move(d));
  }
  if (servers < 1) servers = 1;
  dataAddr_.assign(size_t(servers), {"127.0.0.1:80", "127.0.0.1:443"});
  counters_.perServer.assign(size_t(servers), 0);
  std::random_device rd;
  rng_.seed((uint64_t(rd()) << 32) ^ rd());
  return true;
}

void TCloudSim::SetDataServerCount(int n) {
  std::lock_guard lock(mutex_);
  if (n < 1) n = 1;
  for (const TSimDevice& d : devices_)
    if (d.dataServer + 1 > n) n = d.dataServer + 1;
  dataAddr_.resize(size_t(n), {"127.0.0.1:80", "127.0.0.1:443"});
  counters_.perServer.resize(size_t(n), 0);
}

int TCloudSim::DataServerCount() const {
  std::lock_guard lock(mutex_);
  return int(dataAddr_.size());
}

void TCloudSim::SetSessionTimeoutMs(int64_t ms) {
  std::lock_guard lock(mutex_);
  sessionTimeoutMs_ = ms;
}

void TCloudSim::SetDataAddress(int server, std::string addrHttp, std::string addrHttps) {
  std::lock_guard lock(mutex_);
  if (server >= 0 && size_t(server) < dataAddr_.size()) dataAddr_[size_t(server)] = {addrHttp, addrHttps};
}

void TCloudSim::UpdateFingerprint(TSimDevice& d) {
  std::string text = std::to_string(d.listVersion) + "\n";
  for (const TSimVar& v : d.vars) text += v.name + "," + v.type + "," + v.access + "," + v.group + "\n";
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(text.data(), text.size(), md, &len, EVP_md5(), nullptr);
  static const char kHex[] = "0123456789ABCDEF";
  d.fingerprint.clear();
  for (unsigned i = 0; i < len; ++i) {
    d.fingerprint.push_back(kHex[md[i] >> 4]);
    d.fingerprint.push_back(kHex[md[i] & 15]);
  }
}

TSimDevice* TCloudSim::FindDevice(std::string_view number) {
  for (TSimDevice& d : devices_)
    if (d.number == number) return &d;
  return nullptr;
}

const TSimDevice* TCloudSim::FindDevice(std::string_view number) const {
  for (const TSimDevice& d : devices_)
    if (d.number == number) return &d;
  return nullptr;
}

std::string TCloudSim::NewSid() {
  static const char kHex[] = "0123456789ABCDEF";
  std::string sid;
  for (int k = 0; k < 2; ++k) {
    uint64_t r = rng_();
    for (int i = 0; i < 16; ++i, r >>= 4) sid.push_back(kHex[r & 15]);
  }
  return sid;
}

TSimDevice* TCloudSim::SessionDevice(std::string_view sid, int64_t nowMs) {
  auto it = sessions_.find(sid);
  if (it == sessions_.end()) return nullptr;
  if (nowMs - it->second.lastUseMs > sessionTimeoutMs_) {
    sessions_.erase(it);
    return nullptr;
  }
  TSimDevice* d = FindDevice(it->second.device);
  if (d) it->second.lastUseMs = nowMs;
  return d;
}

double TCloudSim::CurrentValue(TSimVar& v, int64_t nowMs) {
  if (startMs_ < 0) startMs_ = nowMs;
  double t = double(nowMs - startMs_);
  double x = v.value;
  if (v.written) {
    x = v.writtenValue;
  } else {
    switch (v.source) {
      case TSimSource::Constant: break;
      case TSimSource::Counter: x = v.value + v.step * std::floor(t / v.periodMs); break;
      case TSimSource::Sine: x = v.value + v.amplitude * std::sin(2 * M_PI * t / v.periodMs); break;
      case TSimSource::RandomWalk: {
        if (v.walkAtMs == 0) v.walkAtMs = nowMs;
        int64_t steps = int64_t(double(nowMs - v.walkAtMs) / v.periodMs);
        if (steps > 0) {
          v.walkAtMs += int64_t(double(steps) * v.periodMs);
          if (steps > 1000) steps = 1000;
          std::uniform_real_distribution<double> u(-v.step, v.step);
          for (int64_t i = 0; i < steps; ++i) v.walk = std::fmin(v.max, std::fmax(v.min, v.walk + u(rng_)));
        }
        x = v.walk;
        break;
      }
    }
  }
  x = std::fmin(v.max, std::fmax(v.min, x));
  if (v.type == 'B') x = x != 0 ? 1 : 0;
  if (v.type == 'I') x = std::round(x);
  return x;
}

// ---- login ----

std::string TCloudSim::HandleLogin(std::string_view body, int64_t nowMs) {
  std::lock_guard lock(mutex_);
  ++counters_.logins;
  std::string out = "OK";
  out += kSimSep;
  std::vector<std::string_view> items = SplitAt(body, kSimSep);
  if (!items.empty() && items.back().empty()) items.pop_back();  // the separator after the last body
  for (std::string_view item : items) {
    ++counters_.loginItems;
    std::map<std::string, std::string> keys;
    for (std::string_view line : Lines(item)) {
      size_t eq = line.find('=');
      if (eq == std::string_view::npos) continue;
      keys.emplace(Lower(line.substr(0, eq)), std::string(line.substr(eq + 1)));
    }
    TSimDevice* d = FindDevice(keys["zel"]);
    int code = 0;
    if (!d) code = 1;
    else if (keys["pass"].empty()) code = 2;
    else if (keys["pass"] != d->password) code = 3;
    else if (d->loginError) code = d->loginError;
    if (code) {
      out += "ERROR\r\n" + std::to_string(code);
    } else {
      std::string sid = NewSid();
      sessions_[sid] = TSession{d->number, nowMs};
      const auto& addr = dataAddr_[size_t(d->dataServer) % dataAddr_.size()];
      out += "OK\r\nXINFO=" + d->xinfo + "\r\nSID=" + sid + "\r\nADDRS=" + addr.second + "\r\nADDR=" + addr.first;
    }
    out += kSimSep;
  }
  return out;
}

// ---- batches ----

void TCloudSim::AppendInfo(std::string& out, const TSimDevice& d) {
  PutLine(out, "OK");
  PutLine(out, d.name);
  PutLine(out, "ZEL=" + d.number);
  PutLine(out, "XINFO=" + d.xinfo);
  PutLine(out, d.online ? "ONLINE=1" : "ONLINE=0");
  PutLine(out, "VARS=" + std::to_string(d.vars.size()));
  for (int i = 6; i <= 12; ++i) PutLine(out, "-");
  PutLine(out, d.fingerprint);
  PutLine(out, std::to_string(d.refreshMs));
}

void TCloudSim::AppendVarList(std::string& out, const TSimDevice& d) {
  PutLine(out, "OK");
  PutLine(out, std::to_string(d.vars.size()));
  for (const TSimVar& v : d.vars) {
    out += v.name;
    out += ',';
    out += v.type;
    out += ',';
    out += v.access;
    out += ',';
    out += v.group;
    out += "\r\n";
  }
}

void TCloudSim::AppendRead(std::string& out, TSimDevice* d, int code, int64_t nowMs) {
  if (code) {
    AppendTag12(out, int8_t(code));
    return;
  }
  AppendTag12(out, 0);
  AppendIntValue(out, int64_t(d->vars.size()));
  for (TSimVar& v : d->vars) {
    if (!d->online)
      AppendTag12(out, 0);
    else
      AppendWireValue(out, v.wire, CurrentValue(v, nowMs));
  }
}

void TCloudSim::AppendWrite(std::string& out, TSimDevice& d, int server, std::string_view payload, int64_t nowMs) {
  std::vector<std::string_view> lines = Lines(payload);
  int m = 0;
  if (lines.empty() || !ParseCount(lines[0], m) || lines.size() < 1 + 2 * size_t(m)) {
    PutErrorItem(out, 16);
    return;
  }
  PutLine(out, "OK");
  PutLine(out, std::to_string(m));
  for (int i = 0; i < m; ++i) {
    std::string_view name = lines[1 + 2 * size_t(i)], text = lines[2 + 2 * size_t(i)];
    TSimWrite w{d.number, std::string(name), std::string(text), 0, server};
    TSimVar* var = nullptr;
    for (TSimVar& v : d.vars)
      if (v.name == name) var = &v;
    double x = 0;
    if (!var) w.result = 16;
    else if (var->access == 'R') w.result = 12;
    else if (!ParseDouble(text, x)) w.result = 13;
    if (w.result == 0) {
      (void)CurrentValue(*var, nowMs);
      var->written = true;
      var->writtenValue = x;
      var->walk = x;
    }
    PutLine(out, std::to_string(w.result));
    writes_.push_back(std::move(w));
  }
}

std::string TCloudSim::HandleBatch(int server, std::string_view body, int64_t nowMs) {
  std::lock_guard lock(mutex_);
  ++counters_.batches;
  if (server >= 0 && size_t(server) < counters_.perServer.size()) ++counters_.perServer[size_t(server)];
  std::string out = "OK\r\n";
  if (body.empty()) return out;
  out.reserve(64 + body.size() * 2);
  for (std::string_view line : SplitAt(body, kSimSep)) {
    ++counters_.lines;
    out += kSimMark;
    size_t nl = line.find("\r\n");
    std::string_view head = line.substr(0, nl);
    std::string_view payload = nl == std::string_view::npos ? std::string_view() : line.substr(nl + 2);
    std::string_view op, sid;
    for (std::string_view kv : SplitAt(head, "&")) {
      if (kv.substr(0, 3) == "OP=") op = kv.substr(3);
      else if (kv.substr(0, 4) == "SID=") sid = kv.substr(4);
    }
    TSimDevice* d = SessionDevice(sid, nowMs);
    int code = d ? 0 : 8;
    if (d && !d->online && d->offlineAsError) code = 14;
    if (op == "RA") {
      ++counters_.opRA;
      if (!code) {
        ++d->readCount;
        d->readTimesUs.push_back(SteadyUs());
        if (d->readTimesUs.size() > kSimReadTimes) d->readTimesUs.pop_front();
      }
      AppendRead(out, d, code, nowMs);
    } else if (op == "I" || op == "E" || op == "W") {
      (op == "I" ? counters_.opI : op == "E" ? counters_.opE : counters_.opW)++;
      if (code)
        PutErrorItem(out, code);
      else if (op == "I")
        AppendInfo(out, *d);
      else if (op == "E")
        AppendVarList(out, *d);
      else
        AppendWrite(out, *d, server, payload, nowMs);
    } else {
      ++counters_.opOther;
      PutErrorItem(out, 16);
    }
  }
  return out;
}

// ---- faults ----

void TCloudSim::AddFault(const TSimFault& f) {
  std::lock_guard lock(mutex_);
  if (f.count > 0) faults_.push_back(f);
}

void TCloudSim::ClearFaults() {
  std::lock_guard lock(mutex_);
  faults_.clear();
}

bool TCloudSim::TakeFault(TFaultPath path, TSimFault& out) {
  std::lock_guard lock(mutex_);
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (it->path != TFaultPath::Any && it->path != path) continue;
    if (it->skip > 0) {
      --it->skip;
      return false;
    }
    out = *it;
    if (--it->count <= 0) faults_.erase(it);
    ++counters_.faults;
    return true;
  }
  return false;
}

// ---- control ----

bool TCloudSim::SetOnline(std::string_view device, bool online, bool asError) {
  std::lock_guard lock(mutex_);
  ++counters_.control;
  TSimDevice* d = FindDevice(device);
  if (!d) return false;
  d->online = online;
  d->offlineAsError = asError;
  return true;
}

bool TCloudSim::SetLoginError(std::string_view device, int code) {
  std::lock_guard lock(mutex_);
  ++counters_.control;
  TSimDevice* d = FindDevice(device);
  if (!d) return false;
  d->loginError = code;
  return true;
}

bool TCloudSim::ChangeVarList(std::string_view device) {
  std::lock_guard lock(mutex_);
  ++counters_.control;
  TSimDevice* d = FindDevice(device);
  if (!d) return false;
  ++d->listVersion;
  TSimVar v;
  v.name = "Added" + std::to_string(d->listVersion);
  v.type = 'F';
  v.access = 'W';
  v.group = "Added";
  v.source = TSimSource::RandomWalk;
  v.value = v.walk = 0;
  d->vars.push_back(std::move(v));
  UpdateFingerprint(*d);
  return true;
}

int TCloudSim::InvalidateSessions(std::string_view sid, std::string_view device) {
  std::lock_guard lock(mutex_);
  ++counters_.control;
  int n = 0;
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if ((!sid.empty() && it->first == sid) || (!device.empty() && it->second.device == device)) {
      it = sessions_.erase(it);
      ++n;
    } else {
      ++it;
    }
  }
  return n;
}

std::string TCloudSim::WritesJson() const {
  std::lock_guard lock(mutex_);
  TOut o = TOut::array();
  for (const TSimWrite& w : writes_)
    o.push_back({{"device", w.device}, {"name", w.name}, {"value", w.value}, {"result", w.result},
                 {"server", w.dataServer}});
  return Dump(o);
}

void TCloudSim::ClearWrites() {
  std::lock_guard lock(mutex_);
  writes_.clear();
}

std::string TCloudSim::CountersJson() const {
  std::lock_guard lock(mutex_);
  const TSimCounters& c = counters_;
  return Dump({{"logins", c.logins},       {"loginItems", c.loginItems}, {"batches", c.batches},
               {"lines", c.lines},         {"I", c.opI},                 {"E", c.opE},
               {"RA", c.opRA},             {"W", c.opW},                 {"other", c.opOther},
               {"faults", c.faults},       {"writes", writes_.size()},   {"sessions", sessions_.size()},
               {"perServer", c.perServer}});
}

void TCloudSim::ResetCounters() {
  std::lock_guard lock(mutex_);
  size_t n = counters_.perServer.size();
  counters_ = TSimCounters();
  counters_.perServer.assign(n, 0);
}

std::string TCloudSim::SessionsJson(int64_t nowMs) const {
  std::lock_guard lock(mutex_);
  TOut o = TOut::array();
  for (const auto& [sid, s] : sessions_)
    o.push_back({{"sid", sid}, {"device", s.device}, {"idleMs", nowMs - s.lastUseMs}});
  return Dump(o);
}

std::vector<TSimDevice> TCloudSim::DevicesSnapshot() const {
  std::lock_guard lock(mutex_);
  return devices_;
}

std::string TCloudSim::DevicesJson(int64_t nowMs) {
  std::lock_guard lock(mutex_);
  TOut o = TOut::array();
  for (TSimDevice& d : devices_) {
    TOut vars = TOut::array();
    for (TSimVar& v : d.vars) vars.push_back({{"name", v.name}, {"value", JsonNumber(CurrentValue(v, nowMs))}});
    o.push_back({{"number", d.number},
                 {"name", d.name},
                 {"online", d.online},
                 {"dataServer", d.dataServer},
                 {"fingerprint", d.fingerprint},
                 {"vars", std::move(vars)}});
  }
  return Dump(o);
}

bool TCloudSim::ValueJson(std::string_view device, std::string_view var, int64_t nowMs, std::string& out) {
  std::lock_guard lock(mutex_);
  TSimDevice* d = FindDevice(device);
  if (!d) return false;
  for (TSimVar& v : d->vars)
    if (v.name == var) {
      out = Dump({{"value", JsonNumber(CurrentValue(v, nowMs))}});
      return true;
    }
  return false;
}

bool TCloudSim::SetValue(std::string_view device, std::string_view var, double value, int64_t& atUs) {
  std::lock_guard lock(mutex_);
  ++counters_.control;
  TSimDevice* d = FindDevice(device);
  if (!d) return false;
  for (TSimVar& v : d->vars)
    if (v.name == var) {
      v.written = true;  // the same override a client write sets, without a write record
      v.writtenValue = value;
      v.walk = value;
      atUs = SteadyUs();
      return true;
    }
  return false;
}

std::string TCloudSim::ReadsJson(std::string_view device) const {
  std::lock_guard lock(mutex_);
  const TSimDevice* d = FindDevice(device);
  if (!d) return {};
  return Dump({{"device", d->number}, {"reads", d->readCount}, {"timesUs", d->readTimesUs}});
}

std::string JsonOk() { return Dump({{"ok", true}}); }
std::string JsonOkAt(int64_t atUs) { return Dump({{"ok", true}, {"atUs", atUs}}); }
std::string JsonCount(std::string_view key, int64_t n) { return Dump({{key, n}}); }
std::string JsonError(std::string_view what) { return Dump({{"error", what}}); }
