// Base conversions of the archive, the in-memory stream and the two free functions that
// choose a format.
#include "common/archive/obj_archive.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <unordered_set>

#include "common/archive/obj_archive_bin.h"
#include "common/archive/obj_archive_xml.h"
#include "common/platform/paths.h"
#include "common/platform/text.h"

// ---- in-memory stream --------------------------------------------------------------

namespace {
// Live streams by address, so that a target text resolves only to a stream that exists.
struct TStreamRegistry {
  std::mutex mu;
  std::unordered_set<const TNxMemStream*> live;
};
TStreamRegistry& Streams() {
  static TStreamRegistry r;
  return r;
}
}  // namespace

TNxMemStream::TNxMemStream() {
  auto& r = Streams();
  std::lock_guard lock(r.mu);
  r.live.insert(this);
}

TNxMemStream::~TNxMemStream() {
  auto& r = Streams();
  std::lock_guard lock(r.mu);
  r.live.erase(this);
}

size_t TNxMemStream::Read(void* out, size_t n) {
  size_t avail = bytes_.size() - pos_;
  if (n > avail) n = avail;
  std::memcpy(out, bytes_.data() + pos_, n);
  pos_ += n;
  return n;
}

void TNxMemStream::Write(const void* data, size_t n) {
  if (pos_ + n > bytes_.size()) bytes_.resize(pos_ + n);
  std::memcpy(bytes_.data() + pos_, data, n);
  pos_ += n;
}

std::string TNxMemStream::Designation() const {
  char buf[32];
  std::snprintf(buf, sizeof buf, ":%lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(this)));
  return buf;
}

TNxMemStream* TNxMemStream::FromDesignation(std::string_view target) {
  if (target.size() < 2 || target.size() > 17 || target[0] != ':') return nullptr;
  uintptr_t v = 0;
  for (char c : target.substr(1)) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else return nullptr;
    v = (v << 4) | uintptr_t(d);
  }
  auto& r = Streams();
  std::lock_guard lock(r.mu);
  auto* p = reinterpret_cast<const TNxMemStream*>(v);
  return r.live.count(p) ? const_cast<TNxMemStream*>(p) : nullptr;
}

// ---- text forms --------------------------------------------------------------------

std::string ObjArFloatText(double value) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.15g", value);
  return buf;
}

bool ObjArParseFloat(std::string_view text, double& value) {
  std::string s = Trim(text);
  if (s.empty() || s.size() > 64) return false;
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  if (end != s.c_str() + s.size() || !std::isfinite(v)) return false;
  value = v;
  return true;
}

namespace {
// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + int64_t(doe) - 719468;
}
void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = unsigned(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = int64_t(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}
const int64_t kDelphiEpochDays = DaysFromCivil(1899, 12, 30);
}  // namespace

std::string ObjArDateTimeText(double dt) {
  if (!std::isfinite(dt) || std::fabs(dt) > 3.0e6) dt = 0;
  double whole = std::trunc(dt);
  int64_t ms = std::llround(std::fabs(dt - whole) * 86400000.0);
  int64_t days = int64_t(whole);
  if (ms >= 86400000) { ms -= 86400000; days += dt < 0 ? -1 : 1; }
  int64_t y; unsigned mo, d;
  CivilFromDays(days + kDelphiEpochDays, y, mo, d);
  return Format("%04lld-%02u-%02u %02d:%02d:%02d.%03d", static_cast<long long>(y), mo, d, int(ms / 3600000),
                int(ms / 60000 % 60), int(ms / 1000 % 60), int(ms % 1000));
}

bool ObjArParseDateTime(std::string_view text, double& dateTime) {
  std::string s = Trim(text);
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, se = 0, ms = 0, used = 0;
  int n = std::sscanf(s.c_str(), "%4d-%2d-%2d%n", &y, &mo, &d, &used);
  if (n < 3 || mo < 1 || mo > 12 || d < 1 || d > 31 || y < 1) return false;
  size_t rest = size_t(used);
  if (rest < s.size()) {
    int used2 = 0;
    n = std::sscanf(s.c_str() + rest, " %2d:%2d%n", &h, &mi, &used2);
    if (n < 2) return false;
    rest += size_t(used2);
    if (rest < s.size() && s[rest] == ':') {
      int used3 = 0;
      if (std::sscanf(s.c_str() + rest, ":%2d%n", &se, &used3) < 1) return false;
      rest += size_t(used3);
      if (rest < s.size() && s[rest] == '.') {
        int used4 = 0;
        if (std::sscanf(s.c_str() + rest, ".%3d%n", &ms, &used4) < 1) return false;
        rest += size_t(used4);
      }
    }
    if (rest != s.size() || h > 23 || mi > 59 || se > 59) return false;
  }
  int64_t y2; unsigned m2, d2;
  int64_t days = DaysFromCivil(y, unsigned(mo), unsigned(d));
  CivilFromDays(days, y2, m2, d2);
  if (y2 != y || int(m2) != mo || int(d2) != d) return false;  // 2023-02-30 and the like
  double frac = (((h * 60.0 + mi) * 60.0 + se) * 1000.0 + ms) / 86400000.0;
  double whole = double(days - kDelphiEpochDays);
  dateTime = whole < 0 ? whole - frac : whole + frac;
  return true;
}

// ---- base operations ---------------------------------------------------------------

bool CNxObjAr::OpenResource(void*, const std::string&) { return false; }

bool CNxObjAr::OpenStream(TNxMemStream& stream, bool storing) { return Open(stream.Designation(), storing); }

int32_t CNxObjAr::ReadInt(std::string_view name, int32_t def) {
  std::string s = ReadString(name, std::to_string(def));
  return StrToIntDef(s, def);
}

double CNxObjAr::ReadFloat(std::string_view name, double def) {
  std::string s = ReadString(name, ObjArFloatText(def));
  double v;
  return ObjArParseFloat(s, v) ? v : def;
}

bool CNxObjAr::ReservedQuery(std::string_view) { return false; }

double CNxObjAr::ReadDateTime(std::string_view name, double def) {
  std::string s = ReadString(name, "");
  double v;
  return ObjArParseDateTime(s, v) ? v : def;
}

void CNxObjAr::WriteInt(std::string_view name, int32_t value) { WriteString(name, std::to_string(value)); }
void CNxObjAr::WriteFloat(std::string_view name, double value) { WriteString(name, ObjArFloatText(value)); }
void CNxObjAr::WriteDateTime(std::string_view name, double value) { WriteString(name, ObjArDateTimeText(value)); }
void CNxObjAr::ReservedWrite(std::string_view) {}
bool CNxObjAr::HasNode(std::string_view) { return true; }

// ---- choosing a format -------------------------------------------------------------

namespace {
bool ReadHead(const std::string& target, unsigned char head[16], size_t& got) {
  got = 0;
  std::memset(head, 0, 16);
  if (!target.empty() && target[0] == ':') {
    TNxMemStream* s = TNxMemStream::FromDesignation(target);
    if (!s) return false;
    size_t pos = s->Position();
    got = s->Read(head, 16);
    s->Seek(pos);
    return true;
  }
  std::ifstream in(target, std::ios::binary);
  if (!in) return false;
  in.read(reinterpret_cast<char*>(head), 16);
  got = size_t(in.gcount());
  return true;
}

bool TargetExists(const std::string& target) {
  if (!target.empty() && target[0] == ':') return TNxMemStream::FromDesignation(target) != nullptr;
  return !target.empty() && FileExists(target);
}
}  // namespace

std::unique_ptr<CNxObjAr> OpenArchiveForRead(const std::string& target, ObjArFormat format) {
  try {
    std::unique_ptr<CNxObjAr> ar;
    std::string path = target;
    switch (format) {
      case ObjArFormat::Auto: {
        unsigned char head[16];
        size_t got;
        if (!ReadHead(target, head, got)) return nullptr;
        uint32_t magic = uint32_t(head[0]) | uint32_t(head[1]) << 8 | uint32_t(head[2]) << 16 | uint32_t(head[3]) << 24;
        bool gzip = head[0] == 0x1F && head[1] == 0x8B;
        if ((got >= 4 && magic == kObsBinMagic) || (got >= 2 && gzip)) ar = std::make_unique<CNxObjArBin>();
        else ar = std::make_unique<CNxObjArXML>();
        break;
      }
      case ObjArFormat::XML:
        if (TargetExists(target)) {
          ar = std::make_unique<CNxObjArXML>();
        } else if (!target.empty() && target[0] != ':' && FileExists(ChangeFileExt(target, ".XBIN"))) {
          path = ChangeFileExt(target, ".XBIN");
          ar = std::make_unique<CNxObjArBin>();
        } else {
          return nullptr;
        }
        break;
      case ObjArFormat::BIN:
      case ObjArFormat::BINZ:
        if (!TargetExists(target)) return nullptr;
        ar = std::make_unique<CNxObjArBin>();
        break;
      default:
        return nullptr;
    }
    bool ok = false;
    try {
      ok = ar->Open(path, false);
    } catch (...) {
      ok = false;
    }
    if (!ok) {
      try {
        ar->Close();
      } catch (...) {
      }
      return nullptr;
    }
    return ar;
  } catch (...) {
    return nullptr;
  }
}

std::unique_ptr<CNxObjAr> CreateArchiveForWrite(const std::string& target, ObjArFormat format) {
  std::unique_ptr<CNxObjAr> ar;
  switch (format) {
    case ObjArFormat::BIN: ar = std::make_unique<CNxObjArBin>(false); break;
    case ObjArFormat::BINZ: ar = std::make_unique<CNxObjArBin>(true); break;
    default: ar = std::make_unique<CNxObjArXML>(); break;
  }
  if (!ar->Open(target, true)) return nullptr;
  return ar;
}

std::string_view TIndexedName::Of(std::string_view prefix, uint64_t index) {
  const size_t n = std::min(prefix.size(), sizeof buf_ - 24);
  std::memcpy(buf_, prefix.data(), n);
  char* end = std::to_chars(buf_ + n, buf_ + sizeof buf_, index).ptr;
  return std::string_view(buf_, size_t(end - buf_));
}

void SerializeChild(CNxObjAr& ar, std::string_view name, CNxLoadStoreAble& obj) {
  if (!ar.IsStoring() && !ar.HasNode(name)) return;
  if (!ar.EnterNode(name)) return;
  obj.Serialize(ar);
  ar.LeaveNode();
}
