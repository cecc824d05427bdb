// OPC UA binary encoding (OPC UA Part 6): the built-in types, an Encoder that
// appends to a reusable buffer and a Decoder over a byte range that never reads past
// its end. Decoded texts are views into the decoded bytes; they live as long as those.
#ifndef UACLIB_ENCODING_H
#define UACLIB_ENCODING_H

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace uaclib {

static_assert(std::endian::native == std::endian::little, "the codec copies little-endian values");

// DateTime: 100 ns ticks since 1601-01-01 UTC.
using DateTime = int64_t;

// Built-in type ids as they appear in a Variant's encoding byte.
enum BuiltIn : uint8_t {
  kNull = 0, kBoolean = 1, kSByte = 2, kByte = 3, kInt16 = 4, kUInt16 = 5, kInt32 = 6,
  kUInt32 = 7, kInt64 = 8, kUInt64 = 9, kFloat = 10, kDouble = 11, kString = 12,
  kDateTime = 13, kGuid = 14, kByteString = 15, kXmlElement = 16, kNodeId = 17,
  kExpandedNodeId = 18, kStatusCode = 19, kQualifiedName = 20, kLocalizedText = 21,
  kExtensionObject = 22, kDataValue = 23, kVariant = 24, kDiagnosticInfo = 25
};

enum class IdKind : uint8_t { Numeric = 0, String = 3, Guid = 4, ByteString = 5 };

// A node id whose text (string, 16 guid bytes in wire order, or byte string) is a view.
struct NodeIdView {
  uint16_t ns = 0;
  IdKind kind = IdKind::Numeric;
  uint32_t num = 0;
  std::string_view text;

  bool IsNull() const { return ns == 0 && kind == IdKind::Numeric && num == 0; }
  bool IsNs0(uint32_t n) const { return ns == 0 && kind == IdKind::Numeric && num == n; }
};
bool operator==(const NodeIdView& a, const NodeIdView& b);

// A node id that owns its text.
struct NodeId {
  uint16_t ns = 0;
  IdKind kind = IdKind::Numeric;
  uint32_t num = 0;
  std::string text;

  NodeId() = default;
  explicit NodeId(NodeIdView v) : ns(v.ns), kind(v.kind), num(v.num), text(v.text) {}
  static NodeId Numeric(uint16_t ns, uint32_t n) { NodeId id; id.ns = ns; id.num = n; return id; }
  static NodeId String(uint16_t ns, std::string_view s) {
    NodeId id; id.ns = ns; id.kind = IdKind::String; id.text = s; return id;
  }
  NodeIdView View() const { return NodeIdView{ns, kind, kind == IdKind::Numeric ? num : 0, text}; }
  bool IsNull() const { return View().IsNull(); }
};

// Hash and equality for maps keyed by NodeId that are searched with a NodeIdView.
struct NodeIdHash {
  using is_transparent = void;
  size_t operator()(const NodeIdView& v) const;
  size_t operator()(const NodeId& id) const { return (*this)(id.View()); }
};
struct NodeIdEq {
  using is_transparent = void;
  bool operator()(const NodeIdView& a, const NodeIdView& b) const { return a == b; }
  bool operator()(const NodeId& a, const NodeIdView& b) const { return a.View() == b; }
  bool operator()(const NodeIdView& a, const NodeId& b) const { return a == b.View(); }
  bool operator()(const NodeId& a, const NodeId& b) const { return a.View() == b.View(); }
};

// A value the server sends. Arrays hold their elements in `items` (all of `type`).
struct Variant {
  uint8_t type = kNull;
  bool array = false;
  union {
    int64_t i;   // Boolean, signed integers, StatusCode, DateTime
    uint64_t u;  // unsigned integers
    double d;    // Float, Double
  };
  std::string s;       // String, ByteString, LocalizedText text, QualifiedName name,
                       // ExtensionObject body
  std::string locale;  // LocalizedText locale
  NodeId id;           // NodeId, ExtensionObject binary encoding id
  uint16_t ns = 0;     // QualifiedName namespace
  std::vector<Variant> items;

  Variant() : i(0) {}
  static Variant Boolean(bool b) { Variant v; v.type = kBoolean; v.i = b; return v; }
  static Variant Byte(uint8_t x) { Variant v; v.type = kByte; v.u = x; return v; }
  static Variant UInt16(uint16_t x) { Variant v; v.type = kUInt16; v.u = x; return v; }
  static Variant Int32(int32_t x) { Variant v; v.type = kInt32; v.i = x; return v; }
  static Variant UInt32(uint32_t x) { Variant v; v.type = kUInt32; v.u = x; return v; }
  static Variant Float(float x) { Variant v; v.type = kFloat; v.d = x; return v; }
  static Variant Double(double x) { Variant v; v.type = kDouble; v.d = x; return v; }
  static Variant Text(std::string_view x) { Variant v; v.type = kString; v.s = x; return v; }
  static Variant Time(DateTime t) { Variant v; v.type = kDateTime; v.i = t; return v; }
  static Variant Status(uint32_t x) { Variant v; v.type = kStatusCode; v.i = x; return v; }
  static Variant Id(const NodeId& n) { Variant v; v.type = kNodeId; v.id = n; return v; }
  static Variant Name(uint16_t ns, std::string_view n) {
    Variant v; v.type = kQualifiedName; v.ns = ns; v.s = n; return v;
  }
  static Variant Localized(std::string_view locale, std::string_view text) {
    Variant v; v.type = kLocalizedText; v.locale = locale; v.s = text; return v;
  }
  static Variant Extension(uint32_t encodingId, std::string body) {
    Variant v; v.type = kExtensionObject; v.id = NodeId::Numeric(0, encodingId);
    v.s = std::move(body); return v;
  }
  static Variant TextArray(const std::vector<std::string>& texts);
  static Variant UInt32Array(const std::vector<uint32_t>& xs);
};

// DataValue with its encoding mask made from the flags.
struct DataValue {
  Variant value;
  bool hasValue = false;
  uint32_t status = 0;
  DateTime sourceTime = 0;
  DateTime serverTime = 0;
  bool hasSourceTime = false;
  bool hasServerTime = false;
};

// A decoded Variant: numeric and text scalars are kept, everything else is only typed
// (its bytes are skipped).
struct VariantView {
  uint8_t type = kNull;
  bool array = false;
  int32_t length = 0;  // array length
  int64_t i = 0;
  uint64_t u = 0;
  double d = 0;
  std::string_view s;
};

struct DataValueView {
  bool hasValue = false;
  VariantView value;
  uint32_t status = 0;
  bool hasStatus = false;
  bool hasSourceTime = false;
  bool hasServerTime = false;
};

struct ExtensionObjectView {
  NodeIdView typeId;
  uint8_t encoding = 0;  // 0 no body, 1 binary, 2 XML
  std::string_view body;
};

struct QualifiedNameView {
  uint16_t ns = 0;
  std::string_view name;
};

// Appends binary encodings to a buffer that keeps its capacity between messages.
// An encoder may have a size limit: an append that would pass it is dropped and the
// encoder reports Overflow(), so an answer too large to send is never built in full.
class Encoder {
 public:
  // Starts a new message; the limit is lifted.
  void Clear() {
    buf_.clear();
    limit_ = SIZE_MAX;
    overflow_ = false;
  }
  size_t Size() const { return buf_.size(); }
  const uint8_t* Data() const { return buf_.data(); }
  std::vector<uint8_t>& Buffer() { return buf_; }
  void Truncate(size_t n) { buf_.resize(n); }
  size_t Capacity() const { return buf_.capacity(); }
  void SetLimit(size_t n) { limit_ = n; }
  bool Overflow() const { return overflow_; }
  // Gives the buffer's memory back when one large message left it above `keep` bytes.
  void Trim(size_t keep) {
    if (buf_.capacity() > keep) std::vector<uint8_t>().swap(buf_);
  }

  void Bytes(const void* p, size_t n) {
    if (n == 0) return;
    size_t at = buf_.size();
    // After the first dropped append all later ones are dropped too, so the bytes kept
    // are a prefix of the message.
    if (overflow_ || n > limit_ - std::min(at, limit_)) {
      overflow_ = true;
      return;
    }
    buf_.resize(at + n);
    std::memcpy(buf_.data() + at, p, n);
  }
  template <class T>
  void Raw(T v) { Bytes(&v, sizeof v); }
  void U8(uint8_t v) { Bytes(&v, 1); }
  void Bool(bool v) { U8(v ? 1 : 0); }
  void U16(uint16_t v) { Raw(v); }
  void I32(int32_t v) { Raw(v); }
  void U32(uint32_t v) { Raw(v); }
  void I64(int64_t v) { Raw(v); }
  void U64(uint64_t v) { Raw(v); }
  void F32(float v) { Raw(v); }
  void F64(double v) { Raw(v); }
  void Time(DateTime t) { Raw(t); }

  // String and ByteString: Int32 length, -1 for null, then the bytes.
  void String(std::string_view s) { I32(int32_t(s.size())); Bytes(s.data(), s.size()); }
  void NullString() { I32(-1); }
  void ByteString(std::string_view s) { String(s); }
  void ArrayLength(size_t n) { I32(int32_t(n)); }
  void EmptyArray() { I32(0); }

  void NodeId(const NodeIdView& id);
  void NodeId(const uaclib::NodeId& id) { NodeId(id.View()); }
  void NumericNodeId(uint32_t n) { NodeId(NodeIdView{0, IdKind::Numeric, n, {}}); }
  void ExpandedNodeId(const NodeIdView& id) { NodeId(id); }
  void QualifiedName(uint16_t ns, std::string_view name) { U16(ns); String(name); }
  void LocalizedText(std::string_view locale, std::string_view text);
  void Variant(const uaclib::Variant& v);
  void DataValue(const uaclib::DataValue& v);
  void EmptyDiagnosticInfo() { U8(0); }
  // An ExtensionObject without body.
  void NullExtensionObject() { U8(0); U8(0); U8(0); }
  // ExtensionObject with a binary body: Begin writes the header and returns the place
  // of the length, End fills it in after the body was encoded.
  size_t BeginExtensionObject(uint32_t encodingId);
  void EndExtensionObject(size_t at);
  void PatchU32(size_t at, uint32_t v) {
    if (at <= buf_.size() && buf_.size() - at >= 4) std::memcpy(buf_.data() + at, &v, 4);
  }

 private:
  void VariantScalar(const uaclib::Variant& v);
  std::vector<uint8_t> buf_;
  size_t limit_ = SIZE_MAX;
  bool overflow_ = false;
};

// Reads binary encodings from [p, end). After the first error every read returns a
// zero value and ok() stays false; callers check ok() before they act on results.
class Decoder {
 public:
  Decoder(const uint8_t* p, size_t n) : p_(p), end_(p + n) {}
  bool ok() const { return ok_; }
  size_t Remaining() const { return size_t(end_ - p_); }
  const uint8_t* Pos() const { return p_; }
  void Fail() { ok_ = false; p_ = end_; }

  uint8_t U8() { uint8_t v = 0; Take(&v, 1); return v; }
  bool Bool() { return U8() != 0; }
  uint16_t U16() { uint16_t v = 0; Take(&v, 2); return v; }
  int16_t I16() { int16_t v = 0; Take(&v, 2); return v; }
  int32_t I32() { int32_t v = 0; Take(&v, 4); return v; }
  uint32_t U32() { uint32_t v = 0; Take(&v, 4); return v; }
  int64_t I64() { int64_t v = 0; Take(&v, 8); return v; }
  uint64_t U64() { uint64_t v = 0; Take(&v, 8); return v; }
  float F32() { float v = 0; Take(&v, 4); return v; }
  double F64() { double v = 0; Take(&v, 8); return v; }
  DateTime Time() { return I64(); }
  // String/ByteString: a null string has data() == nullptr.
  std::string_view String();
  std::string_view ByteString() { return String(); }
  // Array length checked against the bytes left (each element needs at least
  // `minElementSize` bytes); null arrays give 0.
  int32_t ArrayLength(size_t minElementSize = 1);
  NodeIdView NodeId();
  NodeIdView ExpandedNodeId();
  QualifiedNameView QualifiedName();
  void LocalizedText(std::string_view* locale, std::string_view* text);
  ExtensionObjectView ExtensionObject();
  VariantView Variant();
  DataValueView DataValue();
  void SkipDiagnosticInfo();
  void Skip(size_t n);

 private:
  void Take(void* out, size_t n) {
    if (size_t(end_ - p_) < n) { Fail(); return; }
    std::memcpy(out, p_, n);
    p_ += n;
  }
  NodeIdView NodeIdBody(uint8_t form);
  void SkipVariantValue(uint8_t type);
  void SkipDataValue();
  bool Enter();
  void Leave() { --depth_; }

  const uint8_t* p_;
  const uint8_t* end_;
  bool ok_ = true;
  int depth_ = 0;
};

// Time helpers.
DateTime UnixMsToDateTime(int64_t ms);
// Date-time double (days since 1899-12-30) to DateTime.
DateTime OleDateToDateTime(double days);

}  // namespace uaclib
#endif
