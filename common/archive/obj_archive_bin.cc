// The binary archive: building records while storing, checking and reading them in place
// while loading, and the gzip wrapper of the compressed form.
#include "common/archive/obj_archive_bin.h"

#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

#include "common/platform/text.h"

static_assert(std::endian::native == std::endian::little,
              "records are built and read as little-endian words and UTF-16LE units");

namespace {

inline void PutU32(char* p, uint32_t v) { std::memcpy(p, &v, 4); }

// Four UTF-16 units in a word: ZeroUnits is nonzero exactly when one of them is zero, and
// its lowest set bit is the top bit of the first zero unit; kNonAscii picks units >= 0x80.
constexpr uint64_t kUnitLow = 0x0001000100010001ull;
constexpr uint64_t kUnitHigh = 0x8000800080008000ull;
constexpr uint64_t kNonAscii = 0xFF80FF80FF80FF80ull;
inline uint64_t ZeroUnits(uint64_t w) { return (w - kUnitLow) & ~w & kUnitHigh; }

// Units before the terminator, or -1 when no terminator lies before end.
int64_t TerminatedLength(const char* p, const char* end) {
  const size_t avail = size_t(end - p) / 2;
  size_t i = 0;
  for (; i + 4 <= avail; i += 4) {
    const uint64_t z = ZeroUnits(LoadU64(p + 2 * i));
    if (z) return int64_t(i + size_t(std::countr_zero(z) >> 4));
  }
  for (; i < avail; ++i)
    if (LoadU16(p + 2 * i) == 0) return int64_t(i);
  return -1;
}

// True when none of the n units at p is zero.
bool NoZeroUnit(const char* p, size_t n) {
  size_t i = 0;
  for (; i + 4 <= n; i += 4)
    if (ZeroUnits(LoadU64(p + 2 * i))) return false;
  for (; i < n; ++i)
    if (LoadU16(p + 2 * i) == 0) return false;
  return true;
}

// Four chars as four UTF-16 units (the inverse of NarrowWord below).
inline uint64_t WidenWord(uint32_t x) {
  uint64_t w = x;
  w = (w | (w << 16)) & 0x0000FFFF0000FFFFull;
  return (w | (w << 8)) & 0x00FF00FF00FF00FFull;
}

// Appends the text as UTF-16LE followed by a zero unit. ASCII, the usual case, is widened
// four chars at a time; other text goes through the programs' UTF-16 conversion.
inline void PutUtf16(TObsBytes& out, std::string_view s) {
  const size_t n = s.size();
  char* d = out.Grow(2 * n + 2);
  const char* p = s.data();
  uint32_t high = 0;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    uint32_t x;
    std::memcpy(&x, p + i, 4);
    high |= x;
    const uint64_t w = WidenWord(x);
    std::memcpy(d + 2 * i, &w, 8);
  }
  for (; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(p[i]);
    high |= c;
    d[2 * i] = char(c);
    d[2 * i + 1] = 0;
  }
  d[2 * n] = d[2 * n + 1] = 0;
  if ((high & 0x80808080u) == 0) return;
  // Other text takes at most as many bytes again: converted over the widened copy.
  const size_t len = Utf8ToUtf16Le(s, d);
  d[len] = d[len + 1] = 0;
  out.Truncate(out.Size() - (2 * n + 2) + len + 2);
}

// A lookup name in UTF-16, kept on the stack for the usual short ASCII names.
class TKey {
 public:
  explicit TKey(std::string_view name) {
    const size_t n = name.size();
    if (n <= kSmall) {
      uint32_t high = 0;
      size_t i = 0;
      for (; i + 4 <= n; i += 4) {
        uint32_t x;
        std::memcpy(&x, name.data() + i, 4);
        high |= x;
        const uint64_t w = WidenWord(x);
        std::memcpy(small_ + i, &w, 8);
      }
      for (; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        high |= c;
        small_[i] = char16_t(c);
      }
      if ((high & 0x80808080u) == 0) {
        view_ = std::u16string_view(small_, n);
        return;
      }
    }
    heap_ = Utf8ToUtf16(name);
    view_ = heap_;
  }
  std::u16string_view View() const { return view_; }

 private:
  static constexpr size_t kSmall = 64;
  char16_t small_[kSmall];
  std::u16string heap_;
  std::u16string_view view_;
};

// Byte comparison of two short runs, inline: names are a few units long, shorter than
// what a call of memcmp is worth.
inline bool SameBytes(const char* a, const char* b, size_t n) {
  for (; n >= 8; a += 8, b += 8, n -= 8)
    if (LoadU64(a) != LoadU64(b)) return false;
  for (; n >= 2; a += 2, b += 2, n -= 2)
    if (LoadU16(a) != LoadU16(b)) return false;
  return n == 0 || *a == *b;
}

// Order of names for the sorted child index: by length, then bytewise.
inline int CompareNames(const char* a, size_t aUnits, const char* b, size_t bUnits) {
  if (aUnits != bUnits) return aUnits < bUnits ? -1 : 1;
  return std::memcmp(a, b, 2 * aUnits);
}

// True when the n bytes at b come after those at a, compared bytewise (equal lengths).
inline bool NamesRise(const char* a, const char* b, size_t n) {
  for (; n >= 8; a += 8, b += 8, n -= 8) {
    const uint64_t x = LoadU64(a), y = LoadU64(b);
    if (x != y) return __builtin_bswap64(x) < __builtin_bswap64(y);
  }
  for (; n; ++a, ++b, --n)
    if (*a != *b) return static_cast<unsigned char>(*a) < static_cast<unsigned char>(*b);
  return false;
}

// True when the zero-terminated UTF-16LE text at p (not reaching end) equals key.
inline bool EqualsZ(const char* p, const char* end, std::u16string_view key) {
  if (size_t(end - p) < 2 * key.size() + 2) return false;
  return SameBytes(p, reinterpret_cast<const char*>(key.data()), 2 * key.size()) && LoadU16(p + 2 * key.size()) == 0;
}

// True when every char is below 0x80: the key's UTF-16 units are then its chars.
inline bool IsAscii(std::string_view s) {
  const char* p = s.data();
  size_t n = s.size();
  uint32_t high = 0;
  for (; n >= 4; p += 4, n -= 4) {
    uint32_t x;
    std::memcpy(&x, p, 4);
    high |= x;
  }
  for (; n; ++p, --n) high |= static_cast<unsigned char>(*p);
  return (high & 0x80808080u) == 0;
}

// EqualsZ for an ASCII key, compared without its UTF-16 form.
inline bool EqualsAsciiZ(const char* p, const char* end, std::string_view key) {
  const size_t k = key.size();
  if (size_t(end - p) < 2 * k + 2) return false;
  size_t i = 0;
  for (; i + 4 <= k; i += 4) {
    uint32_t x;
    std::memcpy(&x, key.data() + i, 4);
    if (LoadU64(p + 2 * i) != WidenWord(x)) return false;
  }
  for (; i < k; ++i)
    if (LoadU16(p + 2 * i) != static_cast<unsigned char>(key[i])) return false;
  return LoadU16(p + 2 * k) == 0;
}

// The bytes 0, 2, 4 and 6 of a word: four ASCII units as four chars.
inline uint32_t NarrowWord(uint64_t w) {
  return uint32_t((w & 0xFF) | ((w >> 8) & 0xFF00) | ((w >> 16) & 0xFF0000) | ((w >> 24) & 0xFF000000));
}

// The zero-terminated text at p (its terminator lies before end) as UTF-8. Short ASCII
// texts, the usual ones, are found, checked and narrowed four units at a time.
std::string TextAt(const char* p, const char* end) {
  const size_t avail = size_t(end - p) / 2;
  char small[64];
  size_t i = 0;
  for (; i + 4 <= avail && i + 4 <= sizeof small; i += 4) {
    const uint64_t w = LoadU64(p + 2 * i);
    const uint64_t z = ZeroUnits(w);
    // Units past the terminator do not count as text: keep only those before it.
    const uint64_t keep = z ? (uint64_t(1) << (std::countr_zero(z) & ~15)) - 1 : ~uint64_t(0);
    if (w & keep & kNonAscii) break;
    const uint32_t chars = NarrowWord(w);
    std::memcpy(small + i, &chars, 4);
    if (z) return std::string(small, i + size_t(std::countr_zero(z) >> 4));
  }
  const int64_t len = TerminatedLength(p, end);
  if (len <= 0) return {};
  const size_t n = size_t(len);
  uint64_t high = 0;
  for (i = 0; i + 4 <= n; i += 4) high |= LoadU64(p + 2 * i) & kNonAscii;
  for (; i < n; ++i) high |= LoadU16(p + 2 * i) & 0xFF80u;
  if (high) {
    std::u16string w(n, u'\0');
    std::memcpy(w.data(), p, 2 * n);
    return Utf16ToUtf8(w);
  }
  std::string out(n, '\0');
  for (i = 0; i < n; ++i) out[i] = p[2 * i];
  return out;
}

// Hash of a name's UTF-16LE bytes, the same for a key and for the name in a record.
uint64_t NameHash(const char* p, size_t n) {
  constexpr uint64_t kMul = 0xBF58476D1CE4E5B9ull;
  uint64_t h = n * 0x9E3779B97F4A7C15ull;
  for (; n >= 8; p += 8, n -= 8) {
    h = (h ^ LoadU64(p)) * kMul;
    h ^= h >> 31;
  }
  if (n) {
    uint64_t w = 0;
    std::memcpy(&w, p, n);
    h = (h ^ w) * kMul;
    h ^= h >> 31;
  }
  h *= 0x94D049BB133111EBull;
  return h ^ (h >> 32);
}

// Decompressed size limit before the inner file's length is known (it is known after
// 8 bytes); afterwards that length is the limit: nothing longer can be valid.
constexpr size_t kMaxInflated = size_t(1) << 30;
// The inner length is only a claim of the file: the output is also bounded by the stream
// really given. Our level-1 archives shrink a few times to a few tens of times; a stream
// that would grow more than this is refused rather than inflated.
constexpr uint64_t kMaxRatio = 256;
constexpr uint64_t kRatioSlack = 64 * 1024;
// Room starts at this; once the inner length is known it grows at once to that length,
// but never beyond kTypicalRatio times the stream (our archives shrink about 8:1, so
// one step usually suffices), then by doubling. Pages are only touched as output
// arrives, so what is resident follows the output that really comes out.
constexpr size_t kFirstRoom = 64 * 1024;
constexpr uint64_t kTypicalRatio = 16;
constexpr size_t kSlice = size_t(1) << 20;

bool Gunzip(const char* in, size_t inLen, TObsBlock& out, size_t& outLen) {
  z_stream zs{};
  if (inflateInit2(&zs, 15 + 16) != Z_OK) return false;
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
  zs.avail_in = uInt(std::min<size_t>(inLen, size_t(1) << 30));
  const uint64_t streamBound = uint64_t(inLen) * kMaxRatio + kRatioSlack;
  uint64_t limit = std::min<uint64_t>(kMaxInflated, streamBound);
  size_t cap = 0, n = 0;
  bool known = false;
  TObsBlock buf;
  bool ok = false;
  for (;;) {
    if (n == cap) {
      const uint64_t step = known ? std::max<uint64_t>(2 * uint64_t(cap), kTypicalRatio * inLen) : kFirstRoom;
      const uint64_t want = std::min<uint64_t>(limit + 1, std::max<uint64_t>(kFirstRoom, step));
      if (want <= cap) break;
      TObsBlock bigger{size_t(want)};
      if (n) std::memcpy(bigger.Data(), buf.Data(), n);
      buf = std::move(bigger);
      cap = size_t(want);
    }
    zs.next_out = reinterpret_cast<Bytef*>(buf.Data() + n);
    // At most a slice per call, so that the ratio check below stops a bomb within a slice.
    zs.avail_out = uInt(std::min<size_t>(cap - n, kSlice));
    const uInt room = zs.avail_out;
    const int rc = inflate(&zs, Z_NO_FLUSH);
    n += room - zs.avail_out;
    if (!known && n >= 8) {
      known = true;
      limit = std::min<uint64_t>(std::max<uint64_t>(LoadU32(buf.Data() + 4), 17), streamBound);
    }
    if (n > limit) break;
    // What has come out so far is bounded by the input read so far: a bomb stops early
    // instead of running up to the bound of the whole stream.
    if (n > uint64_t(zs.total_in) * kMaxRatio + kRatioSlack) break;
    if (rc == Z_STREAM_END) {
      ok = true;
      break;
    }
    if (rc != Z_OK) break;
    if (zs.avail_in == 0 && zs.avail_out != 0) break;  // truncated input
  }
  inflateEnd(&zs);
  if (!ok) return false;
  out = std::move(buf);
  outLen = n;
  return true;
}

// The gzip stream of the bytes into out (room for the bound, left uninitialised); returns
// its length.
size_t Gzip(const char* in, size_t len, TObsBlock& out) {
  z_stream zs{};
  if (deflateInit2(&zs, 1, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2 failed");
  const size_t bound = deflateBound(&zs, uLong(len));
  try {
    out = TObsBlock(bound);
  } catch (...) {
    deflateEnd(&zs);
    throw;
  }
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
  zs.avail_in = uInt(len);
  zs.next_out = reinterpret_cast<Bytef*>(out.Data());
  zs.avail_out = uInt(bound);
  const int rc = deflate(&zs, Z_FINISH);
  const size_t n = zs.total_out;
  deflateEnd(&zs);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate failed");
  return n;
}

constexpr const char* kRootName = "BIN_OBJ_STORE";
constexpr uint32_t kIndexedChildren = 16;

}  // namespace

CNxObjArBin::~CNxObjArBin() = default;

// ---- storing -------------------------------------------------------------------------

bool CNxObjArBin::Open(const std::string& target, bool storing) {
  target_ = target;
  stream_ = nullptr;
  if (!target.empty() && target[0] == ':') {
    stream_ = TNxMemStream::FromDesignation(target);
    if (!stream_) return false;
  }
  if (storing) {
    ResetLoad();
    m_isStore = true;
    open_.clear();
    depth_ = 0;
    recordAt_.Release();
    recordArena_.Release();
    bodySize_ = 0;
    nodeCount_ = 1;
    PushNode(1, 0, kRootName);
    opened_ = true;
    return true;
  }
  m_isStore = false;
  if (stream_) return OpenBytes(stream_->Bytes());
  ResetLoad();
  TObsBlock raw;
  size_t size = 0;
  if (!ObsReadWholeFile(target, raw, size)) return false;
  if (size <= kObsBinHeaderSize) return false;
  const char* bytes = raw.Data();
  if (static_cast<unsigned char>(bytes[0]) == 0x1F && static_cast<unsigned char>(bytes[1]) == 0x8B) {
    if (!Gunzip(bytes, size, ownedRaw_, size_)) return false;
    compressed_ = true;
  } else {
    ownedRaw_ = std::move(raw);
    size_ = size;
  }
  data_ = ownedRaw_.Data();
  return LoadPlain();
}

void CNxObjArBin::PushNode(uint32_t id, uint32_t parent, std::string_view name) {
  if (id > 1) {
    // The parent keeps the child's id, and its UTF-8 name for HasNode.
    TObsBinOpenNode& p = open_[depth_];
    p.Children.push_back(id);
    const uint32_t len = uint32_t(name.size());
    char* d = p.ChildNames.Grow(4 + name.size());
    std::memcpy(d, &len, 4);
    if (len) std::memcpy(d + 4, name.data(), len);
    ++depth_;
  }
  if (open_.size() <= depth_) open_.resize(depth_ + 1);
  TObsBinOpenNode& n = open_[depth_];
  n.Id = id;
  n.Parent = parent;
  n.Children.clear();
  n.Table.Clear();
  n.Name.Clear();
  n.Data.Clear();
  n.ChildNames.Clear();
  PutUtf16(n.Name, name);
  std::memset(recordAt_.Grow(sizeof(const char*)), 0, sizeof(const char*));
}

// The record is laid out as the file holds it; only the index, written by Close, says
// where it goes.
void CNxObjArBin::FinishRecord(TObsBinOpenNode& n) {
  const size_t C = n.Children.size(), V = n.Table.Size() / 12;
  const size_t head = 24 + 4 * C + 12 * V, base = head + n.Name.Size(), raw = base + n.Data.Size();
  const size_t len = (raw + 7) & ~size_t(7);
  char* rec = recordArena_.Room(len);
  PutU32(rec, uint32_t(len));
  PutU32(rec + 4, n.Parent);
  PutU32(rec + 8, n.Id);
  PutU32(rec + 12, uint32_t(C));
  PutU32(rec + 16, uint32_t(V));
  PutU32(rec + 20, uint32_t(n.Name.Size() / 2 - 1));
  if (C) std::memcpy(rec + 24, n.Children.data(), 4 * C);
  char* e = rec + 24 + 4 * C;
  const char* t = n.Table.Data();
  for (size_t v = 0; v < V; ++v, e += 12, t += 12) {
    PutU32(e, uint32_t(base + LoadU32(t)));
    PutU32(e + 4, uint32_t(base + LoadU32(t + 4)));
    std::memcpy(e + 8, t + 8, 4);
  }
  // The padding (under 8 bytes) is zero: a zero word at the end, then the name and the
  // data over its front. A record is at least 32 bytes, so the word misses the header.
  const uint64_t zero = 0;
  std::memcpy(rec + len - 8, &zero, 8);
  std::memcpy(rec + head, n.Name.Data(), n.Name.Size());
  if (n.Data.Size()) std::memcpy(rec + base, n.Data.Data(), n.Data.Size());
  std::memcpy(recordAt_.Data() + sizeof(const char*) * (n.Id - 1), &rec, sizeof rec);
  bodySize_ += len;
}

bool CNxObjArBin::Close() {
  if (m_isStore && opened_) {
    opened_ = false;
    WriteOut();
    open_.clear();
    recordAt_.Release();
    recordArena_.Release();
  }
  opened_ = false;
  ResetLoad();
  return true;
}

void CNxObjArBin::WriteOut() {
  // Nodes still open (unbalanced calls) are written with what they hold.
  for (size_t d = depth_ + 1; d-- > 0;) FinishRecord(open_[d]);
  depth_ = 0;
  const size_t N = recordAt_.Size() / sizeof(const char*);
  const uint64_t body = bodySize_ + 4 + 4 * uint64_t(N);
  if (body + kObsBinHeaderSize > 0xFFFFFFFFu) throw std::runtime_error("archive too large");
  const size_t total = size_t(body + kObsBinHeaderSize);
  // Header and index; the records follow in id order.
  TObsBlock head(kObsBinHeaderSize + 4 * (N + 1));
  char* f = head.Data();
  PutU32(f, kObsBinMagic);
  PutU32(f + 4, uint32_t(total));
  PutU32(f + 8, 0);
  PutU32(f + 12, 0);
  char* index = f + kObsBinHeaderSize;
  PutU32(index, uint32_t(N));
  uint32_t off = uint32_t(4 + 4 * N);
  // Records built one after another sit side by side, so runs of them go out as one piece.
  std::vector<std::string_view> pieces;
  pieces.emplace_back(f, kObsBinHeaderSize + 4 * (N + 1));
  for (size_t i = 0; i < N; ++i) {
    const char* rec;
    std::memcpy(&rec, recordAt_.Data() + sizeof rec * i, sizeof rec);
    const uint32_t len = LoadU32(rec);
    PutU32(index + 4 * (i + 1), off);
    off += len;
    ObsAddPiece(pieces, rec, len);
  }
  if (!compressed_ && !stream_) {
    ObsWriteFile(target_, pieces, 0644, "cannot create " + target_, "cannot write " + target_);
    return;
  }
  TObsBlock whole(total);
  size_t at = 0;
  for (const std::string_view p : pieces) {
    std::memcpy(whole.Data() + at, p.data(), p.size());
    at += p.size();
  }
  TObsBlock packed;
  const char* out = whole.Data();
  size_t outLen = total;
  if (compressed_) {
    outLen = Gzip(whole.Data(), total, packed);
    out = packed.Data();
  }
  if (stream_) {
    if (!TNxMemStream::FromDesignation(target_)) throw std::runtime_error("stream target is gone");
    stream_->Write(out, outLen);
    return;
  }
  ObsWriteFile(target_, {std::string_view(out, outLen)}, 0644, "cannot create " + target_, "cannot write " + target_);
}

// The value's table entry and name; its data follows in Data.
inline void CNxObjArBin::PutEntry(TObsBinOpenNode& n, std::string_view name, int32_t kind) {
  char* e = n.Table.Grow(12);
  PutU32(e, uint32_t(n.Data.Size()));
  PutUtf16(n.Data, name);
  PutU32(e + 4, uint32_t(n.Data.Size()));
  std::memcpy(e + 8, &kind, 4);
}

void CNxObjArBin::WriteInt(std::string_view name, int32_t value) {
  if (!opened_ || !m_isStore) return;
  TObsBinOpenNode& n = Cur();
  PutEntry(n, name, -1);
  std::memcpy(n.Data.Grow(4), &value, 4);
}

void CNxObjArBin::WriteFloat(std::string_view name, double value) {
  if (!opened_ || !m_isStore) return;
  TObsBinOpenNode& n = Cur();
  PutEntry(n, name, -2);
  std::memcpy(n.Data.Grow(8), &value, 8);
}

void CNxObjArBin::WriteString(std::string_view name, std::string_view value) {
  if (!opened_ || !m_isStore) return;
  TObsBinOpenNode& n = Cur();
  PutEntry(n, name, 0);
  PutUtf16(n.Data, value);
}

// ---- loading -------------------------------------------------------------------------

void CNxObjArBin::ResetLoad() {
  opened_ = false;
  hintParent_ = 0;
  hintPos_ = 0;
  views_.clear();
  views_.shrink_to_fit();
  childIndex_.clear();
  owned_.clear();
  owned_.shrink_to_fit();
  ownedRaw_.Release();
  data_ = nullptr;
  size_ = 0;
}

bool CNxObjArBin::OpenBytes(std::string bytes) {
  m_isStore = false;
  opened_ = false;
  ResetLoad();
  if (bytes.size() <= kObsBinHeaderSize) return false;
  if (static_cast<unsigned char>(bytes[0]) == 0x1F && static_cast<unsigned char>(bytes[1]) == 0x8B) {
    if (!Gunzip(bytes.data(), bytes.size(), ownedRaw_, size_)) return false;
    data_ = ownedRaw_.Data();
    compressed_ = true;
  } else {
    owned_ = std::move(bytes);
    data_ = owned_.data();
    size_ = owned_.size();
  }
  return LoadPlain();
}

bool CNxObjArBin::LoadPlain() {
  if (size_ <= kObsBinHeaderSize || size_ > 0xFFFFFFFFu) return false;
  if (LoadU32(data_) != kObsBinMagic || LoadU32(data_ + 4) != size_) return false;
  if (!ValidateBody()) {
    views_.clear();
    return false;
  }
  SetCurrent(1);
  opened_ = true;
  return true;
}

// Every reference inside the body is checked once here, so that reads can trust it.
bool CNxObjArBin::ValidateBody() {
  const char* b = data_ + kObsBinHeaderSize;
  const uint64_t S = size_ - kObsBinHeaderSize;
  if (S < 4) return false;
  const uint64_t N = LoadU32(b);
  // Each node has an index entry and a record of at least 24 bytes that no other node
  // shares, so a count the body cannot hold is refused before anything is sized by it.
  if (N < 1 || 4 + 28 * N > S) return false;
  views_.assign(size_t(N), {});
  // Children are made after their parent and name it as parent: the tree has no cycles
  // and leaving a node returns to the node it was entered from. A child's listing comes
  // before the child's own record, so the parent that lists it is known when it is met.
  std::vector<uint32_t> listedBy(static_cast<size_t>(N), 0);
  for (uint64_t id = 1; id <= N; ++id) {
    const uint64_t off = LoadU32(b + 4 * id);
    if (off + 24 > S) return false;
    const char* rec = b + off;
    const uint64_t len = LoadU32(rec);
    if (len < 24 || off + len > S) return false;
    const uint64_t parent = LoadU32(rec + 4), own = LoadU32(rec + 8), C = LoadU32(rec + 12), V = LoadU32(rec + 16),
                   L = LoadU32(rec + 20);
    if (own != id) return false;
    if (id == 1 ? parent != 0 : (parent < 1 || parent > N || parent == id)) return false;
    const uint32_t lister = listedBy[size_t(id - 1)];
    if (lister != 0 && lister != parent) return false;
    const uint64_t table = 24 + 4 * C, nameAt = table + 12 * V;
    if (C > len || V > len || L > len || nameAt + 2 * L + 2 > len) return false;
    if (LoadU16(rec + nameAt + 2 * L) != 0 || !NoZeroUnit(rec + nameAt, size_t(L))) return false;
    const char* end = rec + len;
    // A zero unit at the last place of a text's unit grid proves that the text ends inside
    // the record; records end in zero padding or a small int's zero high half, so that
    // usually spares the scan.
    const bool zeroLast = LoadU16(end - 2) == 0, zeroBeforeLast = LoadU16(end - 3) == 0;
    auto terminated = [&](uint64_t o) {
      if (o + 2 > len) return false;
      if (((len - o) & 1) == 0 ? zeroLast : zeroBeforeLast) return true;
      return TerminatedLength(rec + o, end) >= 0;
    };
    for (uint64_t v = 0; v < V; ++v) {
      const char* e = rec + table + 12 * v;
      const uint64_t nOff = LoadU32(e), dOff = LoadU32(e + 4);
      const int32_t kind = int32_t(LoadU32(e + 8));
      // A name followed by its data ends with the zero unit just before the data.
      const bool nameEnds = dOff >= nOff + 2 && dOff <= len && ((dOff - nOff) & 1) == 0 && LoadU16(rec + dOff - 2) == 0;
      if (!nameEnds && !terminated(nOff)) return false;
      if (kind == 0) {
        if (!terminated(dOff)) return false;
      } else if (kind == -1) {
        if (dOff + 4 > len) return false;
      } else if (kind == -2) {
        if (dOff + 8 > len) return false;
      }
    }
    for (uint64_t i = 0; i < C; ++i) {
      const uint64_t c = LoadU32(rec + 24 + 4 * i);
      if (c <= id || c > N) return false;
      uint32_t& by = listedBy[size_t(c - 1)];
      if (by != 0 && by != id) return false;
      by = uint32_t(id);
    }
    views_[size_t(id - 1)] = {uint32_t(kObsBinHeaderSize + off), uint32_t(kObsBinHeaderSize + off + table),
                              uint32_t(kObsBinHeaderSize + off + nameAt)};
  }
  return true;
}

void CNxObjArBin::SetCurrent(uint32_t id) {
  curId_ = id;
  curRec_ = Rec(id);
  curEnd_ = curRec_ + LoadU32(curRec_);
  curTable_ = data_ + views_[id - 1].ValueTable;
  curV_ = int(LoadU32(curRec_ + 16));
  lastHint_ = -1;
}

bool CNxObjArBin::NodeNameIs(uint32_t id, std::u16string_view name) const {
  const char* rec = Rec(id);
  if (LoadU32(rec + 20) != name.size()) return false;
  return EqualsZ(data_ + views_[id - 1].NameAt, rec + LoadU32(rec), name);
}

bool CNxObjArBin::NodeNameIsAscii(uint32_t id, std::string_view name) const {
  const char* rec = Rec(id);
  if (LoadU32(rec + 20) != name.size()) return false;
  return EqualsAsciiZ(data_ + views_[id - 1].NameAt, rec + LoadU32(rec), name);
}

uint32_t CNxObjArBin::ChildAt(const char* rec, uint32_t pos) const { return LoadU32(rec + 24 + 4 * size_t(pos)); }

const CNxObjArBin::TChildIndex& CNxObjArBin::ChildIndex(uint32_t id) {
  auto found = childIndex_.find(id);
  if (found != childIndex_.end()) return found->second;
  TChildIndex& x = childIndex_[id];
  const char* rec = Rec(id);
  const uint32_t C = LoadU32(rec + 12);
  x.Sorted = true;
  const char* prev = nullptr;
  size_t prevUnits = 0;
  for (uint32_t i = 0; i < C; ++i) {
    const uint32_t c = ChildAt(rec, i);
    const char* name = data_ + views_[c - 1].NameAt;
    const size_t units = LoadU32(Rec(c) + 20);
    if (prev && (units < prevUnits || (units == prevUnits && !NamesRise(prev, name, 2 * units)))) {
      x.Sorted = false;
      break;
    }
    prev = name;
    prevUnits = units;
  }
  if (x.Sorted) return x;
  const size_t size = std::bit_ceil(size_t(2) * C);
  x.Slots.assign(size, 0);
  x.Mask = uint32_t(size - 1);
  for (uint32_t i = 0; i < C; ++i) {
    const uint32_t c = ChildAt(rec, i);
    const char* name = data_ + views_[c - 1].NameAt;
    const size_t units = LoadU32(Rec(c) + 20);
    const uint64_t h = NameHash(name, 2 * units);
    const uint64_t tag = h >> 32 << 32;
    for (uint32_t s = uint32_t(h) & x.Mask;; s = (s + 1) & x.Mask) {
      const uint64_t slot = x.Slots[s];
      if (slot == 0) {
        x.Slots[s] = tag | (i + 1);
        break;
      }
      // The first child of a name is the one a lookup finds; later ones are not kept.
      const uint32_t o = ChildAt(rec, uint32_t(slot) - 1);
      if ((slot & ~uint64_t(0xFFFFFFFFu)) == tag && LoadU32(Rec(o) + 20) == units &&
          std::memcmp(data_ + views_[o - 1].NameAt, name, 2 * units) == 0)
        break;
    }
  }
  return x;
}

uint32_t CNxObjArBin::FindChild(std::string_view name) {
  const uint32_t C = LoadU32(curRec_ + 12);
  if (IsAscii(name)) {
    // Without the UTF-16 form of the key where that suffices: a few children, or the hint.
    if (C <= kIndexedChildren) {
      for (uint32_t i = 0; i < C; ++i) {
        const uint32_t c = ChildAt(curRec_, i);
        if (NodeNameIsAscii(c, name)) return c;
      }
      return 0;
    }
    if (hintParent_ == curId_) {  // set only where the names are sorted
      // The next sibling (entering in order), then the same one (HasNode, then EnterNode).
      for (const uint32_t pos : {hintPos_ + 1, hintPos_}) {
        if (pos >= C) continue;
        const uint32_t c = ChildAt(curRec_, pos);
        if (NodeNameIsAscii(c, name)) {
          hintPos_ = pos;
          return c;
        }
      }
    }
  }
  TKey key(name);
  const std::u16string_view k = key.View();
  if (C <= kIndexedChildren) {
    for (uint32_t i = 0; i < C; ++i) {
      const uint32_t c = ChildAt(curRec_, i);
      if (NodeNameIs(c, k)) return c;
    }
    return 0;
  }
  const TChildIndex& x = ChildIndex(curId_);
  const char* kb = reinterpret_cast<const char*>(k.data());
  if (x.Sorted) {
    uint32_t lo = 0, hi = C;
    while (lo < hi) {
      const uint32_t mid = lo + (hi - lo) / 2, c = ChildAt(curRec_, mid);
      const int cmp = CompareNames(data_ + views_[c - 1].NameAt, LoadU32(Rec(c) + 20), kb, k.size());
      if (cmp == 0) {
        hintParent_ = curId_;
        hintPos_ = mid;
        return c;
      }
      if (cmp < 0) lo = mid + 1;
      else hi = mid;
    }
    return 0;
  }
  const uint64_t h = NameHash(kb, 2 * k.size());
  const uint64_t tag = h >> 32 << 32;
  for (uint32_t s = uint32_t(h) & x.Mask;; s = (s + 1) & x.Mask) {
    const uint64_t slot = x.Slots[s];
    if (slot == 0) return 0;
    const uint32_t c = ChildAt(curRec_, uint32_t(slot) - 1);
    if ((slot & ~uint64_t(0xFFFFFFFFu)) == tag && NodeNameIs(c, k)) return c;
  }
}

bool CNxObjArBin::EnterNode(std::string_view name) {
  if (!opened_) return false;
  if (m_isStore) {
    PushNode(uint32_t(++nodeCount_), Cur().Id, name);
    return true;
  }
  const uint32_t c = FindChild(name);
  if (c == 0) return false;
  SetCurrent(c);
  return true;
}

bool CNxObjArBin::LeaveNode() {
  if (!opened_) return false;
  if (m_isStore) {
    if (depth_ == 0) return false;
    FinishRecord(Cur());
    --depth_;
    return true;
  }
  const uint32_t parent = LoadU32(curRec_ + 4);
  if (parent == 0) return false;
  SetCurrent(parent);
  return true;
}

bool CNxObjArBin::HasNode(std::string_view name) {
  if (!opened_) return false;
  if (m_isStore) {
    const TObsBytes& names = Cur().ChildNames;
    for (size_t at = 0; at < names.Size();) {
      uint32_t len;
      std::memcpy(&len, names.Data() + at, 4);
      if (std::string_view(names.Data() + at + 4, len) == name) return true;
      at += 4 + len;
    }
    return false;
  }
  return FindChild(name) != 0;
}

// The value table entry of a name in the current node, or nullptr. Values are usually
// read in the order they were written: the one after the last found is tried first.
inline const char* CNxObjArBin::FindEntry(std::string_view name) {
  if (!opened_ || m_isStore) return nullptr;
  if (!IsAscii(name)) return FindEntryWide(name);
  const int next = lastHint_ + 1;
  if (next > 0 && next < curV_) {
    const char* e = curTable_ + 12 * next;
    if (EqualsAsciiZ(curRec_ + LoadU32(e), curEnd_, name)) {
      lastHint_ = next;
      return e;
    }
  }
  const uint16_t first = name.empty() ? 0 : static_cast<unsigned char>(name[0]);
  for (int i = 0; i < curV_; ++i) {
    const char* e = curTable_ + 12 * i;
    const char* p = curRec_ + LoadU32(e);
    if (!name.empty() && LoadU16(p) != first) continue;
    if (EqualsAsciiZ(p, curEnd_, name)) {
      lastHint_ = i;
      return e;
    }
  }
  lastHint_ = -1;
  return nullptr;
}

const char* CNxObjArBin::FindEntryWide(std::string_view name) {
  TKey key(name);
  const std::u16string_view k = key.View();
  const int next = lastHint_ + 1;
  if (next > 0 && next < curV_ && EqualsZ(curRec_ + LoadU32(curTable_ + 12 * next), curEnd_, k)) {
    lastHint_ = next;
    return curTable_ + 12 * next;
  }
  for (int i = 0; i < curV_; ++i) {
    const char* p = curRec_ + LoadU32(curTable_ + 12 * i);
    if (!k.empty() && LoadU16(p) != k[0]) continue;
    if (EqualsZ(p, curEnd_, k)) {
      lastHint_ = i;
      return curTable_ + 12 * i;
    }
  }
  lastHint_ = -1;
  return nullptr;
}

int32_t CNxObjArBin::ReadInt(std::string_view name, int32_t def) {
  const char* e = FindEntry(name);
  if (!e) return def;
  const int32_t kind = int32_t(LoadU32(e + 8));
  const char* data = curRec_ + LoadU32(e + 4);
  if (kind == -1) return int32_t(LoadU32(data));
  if (kind == 0) return StrToIntDef(TextAt(data, curEnd_), def);
  return def;
}

double CNxObjArBin::ReadFloat(std::string_view name, double def) {
  const char* e = FindEntry(name);
  if (!e) return def;
  const int32_t kind = int32_t(LoadU32(e + 8));
  const char* data = curRec_ + LoadU32(e + 4);
  if (kind == -2) {
    double d;
    std::memcpy(&d, data, 8);
    return d;
  }
  if (kind == -1) return double(int32_t(LoadU32(data)));
  if (kind == 0) {
    double d;
    return ObjArParseFloat(TextAt(data, curEnd_), d) ? d : def;
  }
  return def;
}

std::string CNxObjArBin::ReadString(std::string_view name, std::string_view def) {
  const char* e = FindEntry(name);
  if (!e || int32_t(LoadU32(e + 8)) != 0) return std::string(def);
  return TextAt(curRec_ + LoadU32(e + 4), curEnd_);
}
