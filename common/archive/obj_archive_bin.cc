// The binary archive: building records while storing, checking and reading them in place
// while loading, and the gzip wrapper of the compressed form.
#include "common/archive/obj_archive_bin.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <bit>
#include <cstring>
#include <stdexcept>

#include "common/platform/paths.h"
#include "common/platform/text.h"

namespace {

inline uint32_t U32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline uint16_t U16(const char* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
inline void PutU32(char* p, uint32_t v) { std::memcpy(p, &v, 4); }

bool IsAscii(std::string_view s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

// UTF-16 units of a UTF-8 text exactly as PutUtf16 writes them.
size_t Utf16Units(std::string_view s) { return IsAscii(s) ? s.size() : Utf8ToUtf16(s).size(); }

// Writes the text as UTF-16LE followed by a zero unit; returns the bytes written.
size_t PutUtf16(char* dst, std::string_view s) {
  size_t n;
  if (IsAscii(s)) {
    n = s.size();
    for (size_t i = 0; i < n; ++i) {
      dst[2 * i] = s[i];
      dst[2 * i + 1] = 0;
    }
  } else {
    std::u16string u = Utf8ToUtf16(s);
    n = u.size();
    for (size_t i = 0; i < n; ++i) {
      dst[2 * i] = char(u[i] & 0xFF);
      dst[2 * i + 1] = char(u[i] >> 8);
    }
  }
  dst[2 * n] = dst[2 * n + 1] = 0;
  return 2 * n + 2;
}

// A lookup name in UTF-16, kept on the stack for the usual short ASCII names.
class TKey {
 public:
  explicit TKey(std::string_view name) {
    if (name.size() <= sizeof small_ / sizeof small_[0] && IsAscii(name)) {
      for (size_t i = 0; i < name.size(); ++i) small_[i] = char16_t(static_cast<unsigned char>(name[i]));
      view_ = std::u16string_view(small_, name.size());
    } else {
      heap_ = Utf8ToUtf16(name);
      view_ = heap_;
    }
  }
  std::u16string_view View() const { return view_; }

 private:
  char16_t small_[64];
  std::u16string heap_;
  std::u16string_view view_;
};

// True when the zero-terminated UTF-16LE text at p (not reaching end) equals key.
bool EqualsZ(const char* p, const char* end, std::u16string_view key) {
  if (size_t(end - p) < 2 * key.size() + 2) return false;
  for (size_t i = 0; i < key.size(); ++i)
    if (U16(p + 2 * i) != key[i]) return false;
  return U16(p + 2 * key.size()) == 0;
}

// Units before the terminator, or -1 when no terminator lies before end.
int64_t TerminatedLength(const char* p, const char* end) {
  for (const char* q = p; end - q >= 2; q += 2)
    if (q[0] == 0 && q[1] == 0) return (q - p) / 2;
  return -1;
}

std::string TextAt(const char* p, const char* end) {
  int64_t n = TerminatedLength(p, end);
  if (n <= 0) return {};
  std::string out(size_t(n), '\0');
  for (int64_t i = 0; i < n; ++i) {
    uint16_t u = U16(p + 2 * i);
    if (u >= 0x80) {
      std::u16string w(size_t(n), u'\0');
      for (int64_t j = 0; j < n; ++j) w[size_t(j)] = char16_t(U16(p + 2 * j));
      return Utf16ToUtf8(w);
    }
    out[size_t(i)] = char(u);
  }
  return out;
}

// Decompressed size limit: the length field is 32 bits, and a small input must not be
// able to claim an arbitrary amount of memory.
constexpr size_t kMaxInflated = size_t(1) << 30;

bool Gunzip(const std::string& in, std::string& out) {
  z_stream zs{};
  if (inflateInit2(&zs, 15 + 16) != Z_OK) return false;
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  zs.avail_in = uInt(in.size());
  out.clear();
  size_t limit = kMaxInflated;
  int rc = Z_OK;
  char chunk[65536];
  while (rc != Z_STREAM_END) {
    zs.next_out = reinterpret_cast<Bytef*>(chunk);
    zs.avail_out = sizeof chunk;
    rc = inflate(&zs, Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END) break;
    out.append(chunk, sizeof chunk - zs.avail_out);
    if (out.size() >= 8 && limit == kMaxInflated) {
      // The inner file states its own length; nothing longer can be valid.
      limit = U32(out.data() + 4);
      if (limit < 17) limit = 17;
    }
    if (out.size() > limit) break;
    if (rc == Z_OK && zs.avail_in == 0 && zs.avail_out != 0) break;  // truncated input
  }
  inflateEnd(&zs);
  return rc == Z_STREAM_END;
}

std::string Gzip(const std::string& in) {
  z_stream zs{};
  if (deflateInit2(&zs, 1, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2 failed");
  std::string out(deflateBound(&zs, uLong(in.size())), '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  zs.avail_in = uInt(in.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = uInt(out.size());
  int rc = deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate failed");
  return out;
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create " + path);
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      throw std::runtime_error("cannot write " + path);
    }
    done += size_t(n);
  }
  if (::close(fd) != 0) throw std::runtime_error("cannot write " + path);
}

}  // namespace

CNxObjArBin::~CNxObjArBin() = default;

bool CNxObjArBin::Open(const std::string& target, bool storing) {
  target_ = target;
  stream_ = nullptr;
  if (!target.empty() && target[0] == ':') {
    stream_ = TNxMemStream::FromDesignation(target);
    if (!stream_) return false;
  }
  if (storing) {
    m_isStore = true;
    root_ = TObsBinNode{};
    root_.Name = "BIN_OBJ_STORE";
    root_.Id = 1;
    cur_ = &root_;
    nodeCount_ = 1;
    nodes_.clear();
    opened_ = true;
    return true;
  }
  m_isStore = false;
  std::string bytes;
  if (stream_) bytes = stream_->Bytes();
  else if (!ReadFileBytes(target, bytes)) return false;
  return OpenBytes(std::move(bytes));
}

bool CNxObjArBin::OpenBytes(std::string bytes) {
  m_isStore = false;
  opened_ = false;
  views_.clear();
  childIndex_.clear();
  if (bytes.size() <= kObsBinHeaderSize) return false;
  if (static_cast<unsigned char>(bytes[0]) == 0x1F && static_cast<unsigned char>(bytes[1]) == 0x8B) {
    if (!Gunzip(bytes, buf_)) return false;
    compressed_ = true;
  } else {
    buf_ = std::move(bytes);
  }
  return LoadPlain();
}

bool CNxObjArBin::LoadPlain() {
  if (buf_.size() <= kObsBinHeaderSize || buf_.size() > 0xFFFFFFFFu) return false;
  if (U32(buf_.data()) != kObsBinMagic || U32(buf_.data() + 4) != buf_.size()) return false;
  bodySize_ = uint32_t(buf_.size() - kObsBinHeaderSize);
  if (!ValidateBody()) {
    views_.clear();
    return false;
  }
  curId_ = 1;
  lastHint_ = -1;
  opened_ = true;
  return true;
}

// Every reference inside the body is checked once here, so that reads can trust it.
bool CNxObjArBin::ValidateBody() {
  const char* b = buf_.data() + kObsBinHeaderSize;
  const uint64_t S = bodySize_;
  if (S < 4) return false;
  const uint64_t N = U32(b);
  if (N < 1 || 4 + 4 * N > S) return false;
  views_.assign(size_t(N), {});
  std::vector<uint32_t> parents(static_cast<size_t>(N));
  for (uint64_t id = 1; id <= N; ++id) {
    const uint64_t off = U32(b + 4 * id);
    if (off + 24 > S) return false;
    const char* rec = b + off;
    const uint64_t len = U32(rec);
    if (len < 24 || off + len > S) return false;
    const uint64_t parent = U32(rec + 4), own = U32(rec + 8), C = U32(rec + 12), V = U32(rec + 16),
                   L = U32(rec + 20);
    if (own != id) return false;
    if (id == 1 ? parent != 0 : (parent < 1 || parent > N || parent == id)) return false;
    const uint64_t table = 24 + 4 * C, nameAt = table + 12 * V;
    if (C > len || V > len || L > len || nameAt + 2 * L + 2 > len) return false;
    const char* end = rec + len;
    if (TerminatedLength(rec + nameAt, end) != int64_t(L)) return false;
    for (uint64_t v = 0; v < V; ++v) {
      const char* e = rec + table + 12 * v;
      const uint64_t nOff = U32(e), dOff = U32(e + 4);
      const int32_t kind = int32_t(U32(e + 8));
      if (nOff >= len || TerminatedLength(rec + nOff, end) < 0) return false;
      if (kind == 0) {
        if (dOff >= len || TerminatedLength(rec + dOff, end) < 0) return false;
      } else if (kind == -1) {
        if (dOff + 4 > len) return false;
      } else if (kind == -2) {
        if (dOff + 8 > len) return false;
      }
    }
    views_[size_t(id - 1)] = {uint32_t(kObsBinHeaderSize + off), uint32_t(kObsBinHeaderSize + off + table),
                              uint32_t(kObsBinHeaderSize + off + nameAt)};
    parents[size_t(id - 1)] = uint32_t(parent);
  }
  // Children are made after their parent and name it as parent: the tree has no cycles
  // and leaving a node returns to the node it was entered from.
  for (uint64_t id = 1; id <= N; ++id) {
    const char* rec = buf_.data() + views_[size_t(id - 1)].Record;
    const uint32_t C = U32(rec + 12);
    for (uint32_t i = 0; i < C; ++i) {
      const uint64_t c = U32(rec + 24 + 4 * i);
      if (c <= id || c > N || parents[size_t(c - 1)] != id) return false;
    }
  }
  return true;
}

uint32_t CNxObjArBin::ChildId(uint32_t node, uint32_t i) const {
  return U32(buf_.data() + views_[node - 1].Record + 24 + 4 * i);
}

bool CNxObjArBin::NodeNameIs(uint32_t id, std::u16string_view name) const {
  const TObsBinNodeRead& v = views_[id - 1];
  const char* rec = buf_.data() + v.Record;
  if (U32(rec + 20) != name.size()) return false;
  return EqualsZ(buf_.data() + v.NameAt, rec + U32(rec), name);
}

static_assert(std::endian::native == std::endian::little, "names are compared as UTF-16LE bytes");
constexpr uint32_t kIndexedChildren = 16;

uint32_t CNxObjArBin::FindChild(std::u16string_view name) {
  const char* rec = buf_.data() + views_[curId_ - 1].Record;
  const uint32_t C = U32(rec + 12);
  if (C <= kIndexedChildren) {
    for (uint32_t i = 0; i < C; ++i) {
      uint32_t c = ChildId(curId_, i);
      if (NodeNameIs(c, name)) return c;
    }
    return 0;
  }
  auto& index = childIndex_[curId_];
  if (index.empty()) {
    index.reserve(C);
    for (uint32_t i = 0; i < C; ++i) {
      uint32_t c = ChildId(curId_, i);
      const char* crec = buf_.data() + views_[c - 1].Record;
      index.emplace(std::string_view(buf_.data() + views_[c - 1].NameAt, 2 * size_t(U32(crec + 20))), c);
    }
  }
  auto it = index.find(std::string_view(reinterpret_cast<const char*>(name.data()), 2 * name.size()));
  return it == index.end() ? 0 : it->second;
}

bool CNxObjArBin::Close() {
  if (m_isStore && opened_) {
    opened_ = false;
    BuildFile();
    std::string packed;
    const std::string& out = compressed_ ? (packed = Gzip(buf_)) : buf_;
    if (stream_) {
      if (!TNxMemStream::FromDesignation(target_)) throw std::runtime_error("stream target is gone");
      stream_->Write(out.data(), out.size());
    } else {
      WriteWholeFile(target_, out);
    }
    nodes_.clear();
    root_.Children.clear();
  }
  opened_ = false;
  views_.clear();
  views_.shrink_to_fit();
  childIndex_.clear();
  return true;
}

void CNxObjArBin::BuildFile() {
  std::vector<TObsBinNode*> order;
  order.reserve(nodes_.size() + 1);
  order.push_back(&root_);
  for (auto& n : nodes_) order.push_back(n.get());
  std::vector<uint64_t> lens(order.size());
  uint64_t body = 4 + 4 * uint64_t(order.size());
  for (size_t i = 0; i < order.size(); ++i) {
    const TObsBinNode& n = *order[i];
    uint64_t len = 24 + 4 * n.Children.size() + 12 * n.Values.size() + 2 * Utf16Units(n.Name) + 2;
    for (const TObsValue& v : n.Values) {
      len += 2 * Utf16Units(v.Name) + 2;
      len += v.Kind == 0 ? 2 * Utf16Units(v.Text) + 2 : v.Kind == -1 ? 4 : 8;
    }
    lens[i] = (len + 7) & ~uint64_t(7);
    body += lens[i];
  }
  if (body + kObsBinHeaderSize > 0xFFFFFFFFu) throw std::runtime_error("archive too large");
  buf_.assign(size_t(body + kObsBinHeaderSize), '\0');
  char* f = buf_.data();
  PutU32(f, kObsBinMagic);
  PutU32(f + 4, uint32_t(buf_.size()));
  char* b = f + kObsBinHeaderSize;
  PutU32(b, uint32_t(order.size()));
  uint32_t off = uint32_t(4 + 4 * order.size());
  for (size_t i = 0; i < order.size(); ++i) {
    TObsBinNode& n = *order[i];
    PutU32(b + 4 * (size_t(n.Id)), off);
    char* rec = b + off;
    PutU32(rec, uint32_t(lens[i]));
    PutU32(rec + 4, n.Parent ? uint32_t(n.Parent->Id) : 0);
    PutU32(rec + 8, uint32_t(n.Id));
    PutU32(rec + 12, uint32_t(n.Children.size()));
    PutU32(rec + 16, uint32_t(n.Values.size()));
    for (size_t c = 0; c < n.Children.size(); ++c) PutU32(rec + 24 + 4 * c, uint32_t(n.Children[c]->Id));
    const size_t table = 24 + 4 * n.Children.size();
    size_t at = table + 12 * n.Values.size();
    const size_t nameBytes = PutUtf16(rec + at, n.Name);
    PutU32(rec + 20, uint32_t(nameBytes / 2 - 1));
    at += nameBytes;
    for (size_t v = 0; v < n.Values.size(); ++v) {
      const TObsValue& val = n.Values[v];
      char* e = rec + table + 12 * v;
      PutU32(e, uint32_t(at));
      at += PutUtf16(rec + at, val.Name);
      PutU32(e + 4, uint32_t(at));
      PutU32(e + 8, uint32_t(val.Kind));
      if (val.Kind == 0) {
        at += PutUtf16(rec + at, val.Text);
      } else if (val.Kind == -1) {
        std::memcpy(rec + at, &val.Int, 4);
        at += 4;
      } else {
        std::memcpy(rec + at, &val.Dbl, 8);
        at += 8;
      }
    }
    n.Values.clear();
    n.Values.shrink_to_fit();
    off += uint32_t(lens[i]);
  }
  bodySize_ = uint32_t(body);
}

bool CNxObjArBin::EnterNode(std::string_view name) {
  if (!opened_) return false;
  if (m_isStore) {
    auto node = std::make_unique<TObsBinNode>();
    node->Parent = cur_;
    node->Name = std::string(name);
    node->Id = ++nodeCount_;
    cur_->Children.push_back(node.get());
    cur_ = node.get();
    nodes_.push_back(std::move(node));
    return true;
  }
  TKey key(name);
  const uint32_t c = FindChild(key.View());
  if (c == 0) return false;
  curId_ = c;
  lastHint_ = -1;
  return true;
}

bool CNxObjArBin::LeaveNode() {
  if (!opened_) return false;
  if (m_isStore) {
    if (!cur_->Parent) return false;
    cur_ = cur_->Parent;
    return true;
  }
  const uint32_t parent = U32(buf_.data() + views_[curId_ - 1].Record + 4);
  if (parent == 0) return false;
  curId_ = parent;
  lastHint_ = -1;
  return true;
}

bool CNxObjArBin::HasNode(std::string_view name) {
  if (!opened_) return false;
  if (m_isStore) {
    for (const TObsBinNode* c : cur_->Children)
      if (c->Name == name) return true;
    return false;
  }
  TKey key(name);
  return FindChild(key.View()) != 0;
}

int CNxObjArBin::FindValue(std::string_view name) {
  if (!opened_ || m_isStore) return -1;
  const TObsBinNodeRead& view = views_[curId_ - 1];
  const char* rec = buf_.data() + view.Record;
  const char* end = rec + U32(rec);
  const int V = int(U32(rec + 16));
  const char* table = buf_.data() + view.ValueTable;
  TKey key(name);
  const std::u16string_view k = key.View();
  const int next = lastHint_ + 1;
  if (next > 0 && next < V && EqualsZ(rec + U32(table + 12 * next), end, k)) {
    lastHint_ = next;
    return next;
  }
  int found = -1;
  for (int i = 0; i < V; ++i) {
    const char* p = rec + U32(table + 12 * i);
    if (!k.empty() && U16(p) != k[0]) continue;
    if (EqualsZ(p, end, k)) {
      found = i;
      break;
    }
  }
  lastHint_ = found;
  return found;
}

int32_t CNxObjArBin::ReadInt(std::string_view name, int32_t def) {
  const int i = FindValue(name);
  if (i < 0) return def;
  const char* rec = buf_.data() + views_[curId_ - 1].Record;
  const char* e = buf_.data() + views_[curId_ - 1].ValueTable + 12 * i;
  const int32_t kind = int32_t(U32(e + 8));
  if (kind == -1) return int32_t(U32(rec + U32(e + 4)));
  if (kind == 0) return StrToIntDef(TextAt(rec + U32(e + 4), rec + U32(rec)), def);
  return def;
}

double CNxObjArBin::ReadFloat(std::string_view name, double def) {
  const int i = FindValue(name);
  if (i < 0) return def;
  const char* rec = buf_.data() + views_[curId_ - 1].Record;
  const char* e = buf_.data() + views_[curId_ - 1].ValueTable + 12 * i;
  const int32_t kind = int32_t(U32(e + 8));
  const char* data = rec + U32(e + 4);
  if (kind == -2) {
    double d;
    std::memcpy(&d, data, 8);
    return d;
  }
  if (kind == -1) return double(int32_t(U32(data)));
  if (kind == 0) {
    double d;
    return ObjArParseFloat(TextAt(data, rec + U32(rec)), d) ? d : def;
  }
  return def;
}

std::string CNxObjArBin::ReadString(std::string_view name, std::string_view def) {
  const int i = FindValue(name);
  if (i < 0) return std::string(def);
  const char* rec = buf_.data() + views_[curId_ - 1].Record;
  const char* e = buf_.data() + views_[curId_ - 1].ValueTable + 12 * i;
  if (int32_t(U32(e + 8)) != 0) return std::string(def);
  return TextAt(rec + U32(e + 4), rec + U32(rec));
}

void CNxObjArBin::WriteInt(std::string_view name, int32_t value) {
  if (!opened_ || !m_isStore) return;
  TObsValue& v = cur_->Values.emplace_back();
  v.Name = std::string(name);
  v.Int = value;
  v.Kind = -1;
}

void CNxObjArBin::WriteFloat(std::string_view name, double value) {
  if (!opened_ || !m_isStore) return;
  TObsValue& v = cur_->Values.emplace_back();
  v.Name = std::string(name);
  v.Dbl = value;
  v.Kind = -2;
}

void CNxObjArBin::WriteString(std::string_view name, std::string_view value) {
  if (!opened_ || !m_isStore) return;
  TObsValue& v = cur_->Values.emplace_back();
  v.Name = std::string(name);
  v.Text = std::string(value);
  v.Kind = 0;
}
