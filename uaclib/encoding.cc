// OPC UA binary encoding of the built-in types (OPC UA Part 6).
#include "uaclib/encoding.h"

#include <cmath>

namespace uaclib {

namespace {
// OPC UA Part 6 NodeId encoding byte (low nibble) and ExpandedNodeId flags.
constexpr uint8_t kFormTwoByte = 0, kFormFourByte = 1, kFormNumeric = 2, kFormString = 3,
                  kFormGuid = 4, kFormByteString = 5;
constexpr uint8_t kNamespaceUriFlag = 0x80, kServerIndexFlag = 0x40;
// OPC UA Part 6 Variant encoding byte.
constexpr uint8_t kArrayFlag = 0x80, kDimensionsFlag = 0x40;
// OPC UA Part 6: decoders support at least 100 nesting levels; deeper input is refused.
constexpr int kMaxDepth = 100;
}  // namespace

bool operator==(const NodeIdView& a, const NodeIdView& b) {
  if (a.ns != b.ns || a.kind != b.kind) return false;
  if (a.kind == IdKind::Numeric) return a.num == b.num;
  return a.text == b.text;
}

size_t NodeIdHash::operator()(const NodeIdView& v) const {
  // FNV-1a over namespace, kind and identifier.
  uint64_t h = 1469598103934665603ull;
  auto mix = [&h](uint8_t b) { h = (h ^ b) * 1099511628211ull; };
  mix(uint8_t(v.ns)); mix(uint8_t(v.ns >> 8)); mix(uint8_t(v.kind));
  if (v.kind == IdKind::Numeric) {
    for (int i = 0; i < 4; ++i) mix(uint8_t(v.num >> (8 * i)));
  } else {
    for (char c : v.text) mix(uint8_t(c));
  }
  return size_t(h);
}

Variant Variant::TextArray(const std::vector<std::string>& texts) {
  Variant v;
  v.type = kString;
  v.array = true;
  v.items.reserve(texts.size());
  for (const auto& t : texts) v.items.push_back(Text(t));
  return v;
}

Variant Variant::UInt32Array(const std::vector<uint32_t>& xs) {
  Variant v;
  v.type = kUInt32;
  v.array = true;
  for (uint32_t x : xs) v.items.push_back(UInt32(x));
  return v;
}

// ---------------------------------------------------------------------------- Encoder

void Encoder::NodeId(const NodeIdView& id) {
  switch (id.kind) {
    case IdKind::Numeric:
      if (id.ns == 0 && id.num <= 0xFF) {
        U8(kFormTwoByte);
        U8(uint8_t(id.num));
      } else if (id.ns <= 0xFF && id.num <= 0xFFFF) {
        U8(kFormFourByte);
        U8(uint8_t(id.ns));
        U16(uint16_t(id.num));
      } else {
        U8(kFormNumeric);
        U16(id.ns);
        U32(id.num);
      }
      return;
    case IdKind::String:
      U8(kFormString);
      U16(id.ns);
      String(id.text);
      return;
    case IdKind::Guid: {
      U8(kFormGuid);
      U16(id.ns);
      uint8_t g[16] = {};
      std::memcpy(g, id.text.data(), id.text.size() < 16 ? id.text.size() : 16);
      Bytes(g, 16);
      return;
    }
    case IdKind::ByteString:
      U8(kFormByteString);
      U16(id.ns);
      ByteString(id.text);
      return;
  }
}

void Encoder::LocalizedText(std::string_view locale, std::string_view text) {
  // OPC UA Part 6: mask 0x01 locale present, 0x02 text present.
  uint8_t mask = (locale.empty() ? 0 : 0x01) | (text.empty() ? 0 : 0x02);
  U8(mask);
  if (mask & 0x01) String(locale);
  if (mask & 0x02) String(text);
}

size_t Encoder::BeginExtensionObject(uint32_t encodingId) {
  NumericNodeId(encodingId);
  U8(0x01);  // binary body
  size_t at = Size();
  U32(0);
  return at;
}

void Encoder::EndExtensionObject(size_t at) { PatchU32(at, uint32_t(Size() - at - 4)); }

void Encoder::VariantScalar(const uaclib::Variant& v) {
  switch (v.type) {
    case kBoolean: Bool(v.i != 0); break;
    case kSByte: U8(uint8_t(int8_t(v.i))); break;
    case kByte: U8(uint8_t(v.u)); break;
    case kInt16: U16(uint16_t(int16_t(v.i))); break;
    case kUInt16: U16(uint16_t(v.u)); break;
    case kInt32: I32(int32_t(v.i)); break;
    case kUInt32: U32(uint32_t(v.u)); break;
    case kInt64: I64(v.i); break;
    case kUInt64: U64(v.u); break;
    case kFloat: F32(float(v.d)); break;
    case kDouble: F64(v.d); break;
    case kString: case kByteString: case kXmlElement: String(v.s); break;
    case kDateTime: I64(v.i); break;
    case kStatusCode: U32(uint32_t(v.i)); break;
    case kNodeId: case kExpandedNodeId: NodeId(v.id); break;
    case kQualifiedName: QualifiedName(v.ns, v.s); break;
    case kLocalizedText: LocalizedText(v.locale, v.s); break;
    case kExtensionObject:
      NodeId(v.id);
      U8(0x01);
      ByteString(v.s);
      break;
    default: break;  // the server never builds other scalars
  }
}

void Encoder::Variant(const uaclib::Variant& v) {
  if (v.type == kNull) {
    U8(0);
    return;
  }
  if (v.array) {
    U8(uint8_t(v.type | kArrayFlag));
    ArrayLength(v.items.size());
    for (const auto& e : v.items) VariantScalar(e);
    return;
  }
  U8(v.type);
  VariantScalar(v);
}

void Encoder::DataValue(const uaclib::DataValue& v) {
  // OPC UA Part 6: mask 0x01 value, 0x02 status, 0x04 source time, 0x08 server time.
  uint8_t mask = (v.hasValue ? 0x01 : 0) | (v.status ? 0x02 : 0) |
                 (v.hasSourceTime ? 0x04 : 0) | (v.hasServerTime ? 0x08 : 0);
  U8(mask);
  if (mask & 0x01) Variant(v.value);
  if (mask & 0x02) U32(v.status);
  if (mask & 0x04) I64(v.sourceTime);
  if (mask & 0x08) I64(v.serverTime);
}

// ---------------------------------------------------------------------------- Decoder

bool Decoder::Enter() {
  if (++depth_ > kMaxDepth) {
    Fail();
    return false;
  }
  return true;
}

void Decoder::Skip(size_t n) {
  if (size_t(end_ - p_) < n) {
    Fail();
    return;
  }
  p_ += n;
}

std::string_view Decoder::String() {
  int32_t n = I32();
  if (!ok_ || n == -1) return {};
  if (n < -1 || size_t(n) > Remaining()) {
    Fail();
    return {};
  }
  // An empty string keeps a non-null pointer so that it differs from a null string.
  std::string_view s(reinterpret_cast<const char*>(p_), size_t(n));
  p_ += n;
  return s;
}

int32_t Decoder::ArrayLength(size_t minElementSize) {
  int32_t n = I32();
  if (!ok_ || n == -1) return 0;
  if (n < -1 || size_t(n) > Remaining() / (minElementSize ? minElementSize : 1)) {
    Fail();
    return 0;
  }
  return n;
}

NodeIdView Decoder::NodeIdBody(uint8_t form) {
  NodeIdView id;
  switch (form) {
    case kFormTwoByte: id.num = U8(); break;
    case kFormFourByte: id.ns = U8(); id.num = U16(); break;
    case kFormNumeric: id.ns = U16(); id.num = U32(); break;
    case kFormString: id.ns = U16(); id.kind = IdKind::String; id.text = String(); break;
    case kFormGuid:
      id.ns = U16();
      id.kind = IdKind::Guid;
      if (Remaining() < 16) {
        Fail();
        break;
      }
      id.text = std::string_view(reinterpret_cast<const char*>(p_), 16);
      p_ += 16;
      break;
    case kFormByteString: id.ns = U16(); id.kind = IdKind::ByteString; id.text = ByteString(); break;
    default: Fail(); break;
  }
  if (!ok_) return {};
  return id;
}

NodeIdView Decoder::NodeId() { return NodeIdBody(U8()); }

NodeIdView Decoder::ExpandedNodeId() {
  uint8_t first = U8();
  NodeIdView id = NodeIdBody(first & 0x0F);
  if (first & 0x30) Fail();
  if (first & kNamespaceUriFlag) {
    std::string_view uri = String();
    // A namespace given by URI is not resolved: such an id names no node here.
    if (uri.data() != nullptr) id.ns = 0xFFFF;
  }
  if (first & kServerIndexFlag) {
    if (U32() != 0) id.ns = 0xFFFF;  // a node of another server
  }
  if (!ok_) return {};
  return id;
}

QualifiedNameView Decoder::QualifiedName() {
  QualifiedNameView q;
  q.ns = U16();
  q.name = String();
  return q;
}

void Decoder::LocalizedText(std::string_view* locale, std::string_view* text) {
  uint8_t mask = U8();
  std::string_view l, t;
  if (mask & 0x01) l = String();
  if (mask & 0x02) t = String();
  if (locale) *locale = l;
  if (text) *text = t;
}

ExtensionObjectView Decoder::ExtensionObject() {
  ExtensionObjectView x;
  x.typeId = NodeId();
  x.encoding = U8();
  if (x.encoding == 1 || x.encoding == 2) {
    x.body = ByteString();
  } else if (x.encoding != 0) {
    Fail();
  }
  if (!ok_) return {};
  return x;
}

void Decoder::SkipVariantValue(uint8_t type) {
  switch (type) {
    case kBoolean: case kSByte: case kByte: Skip(1); break;
    case kInt16: case kUInt16: Skip(2); break;
    case kInt32: case kUInt32: case kFloat: case kStatusCode: Skip(4); break;
    case kInt64: case kUInt64: case kDouble: case kDateTime: Skip(8); break;
    case kString: case kByteString: case kXmlElement: String(); break;
    case kGuid: Skip(16); break;
    case kNodeId: NodeId(); break;
    case kExpandedNodeId: ExpandedNodeId(); break;
    case kQualifiedName: QualifiedName(); break;
    case kLocalizedText: LocalizedText(nullptr, nullptr); break;
    case kExtensionObject: ExtensionObject(); break;
    case kDataValue: SkipDataValue(); break;
    case kVariant:
      if (Enter()) {
        Variant();
        Leave();
      }
      break;
    case kDiagnosticInfo: SkipDiagnosticInfo(); break;
    default: Fail(); break;
  }
}

VariantView Decoder::Variant() {
  VariantView v;
  uint8_t mask = U8();
  if (!ok_) return v;
  v.type = mask & 0x3F;
  v.array = (mask & kArrayFlag) != 0;
  if (v.type > kDiagnosticInfo) {
    Fail();
    return {};
  }
  if (v.type == kNull) {
    if (mask != 0) Fail();
    return v;
  }
  if (v.array) {
    v.length = ArrayLength(1);
    for (int32_t k = 0; k < v.length && ok_; ++k) SkipVariantValue(v.type);
    if (mask & kDimensionsFlag) {
      int32_t dims = ArrayLength(4);
      Skip(size_t(dims) * 4);
    }
    if (!ok_) return {};
    return v;
  }
  if (mask & kDimensionsFlag) {  // dimensions without an array
    Fail();
    return {};
  }
  switch (v.type) {
    case kBoolean: v.i = U8() != 0; v.u = uint64_t(v.i); break;
    case kSByte: v.i = int8_t(U8()); break;
    case kByte: v.u = U8(); v.i = int64_t(v.u); break;
    case kInt16: v.i = I16(); break;
    case kUInt16: v.u = U16(); v.i = int64_t(v.u); break;
    case kInt32: v.i = I32(); break;
    case kUInt32: v.u = U32(); v.i = int64_t(v.u); break;
    case kInt64: v.i = I64(); break;
    case kUInt64: v.u = U64(); break;
    case kFloat: v.d = F32(); break;
    case kDouble: v.d = F64(); break;
    case kString: case kByteString: case kXmlElement: v.s = String(); break;
    case kDateTime: v.i = I64(); break;
    case kStatusCode: v.u = U32(); break;
    case kLocalizedText: LocalizedText(nullptr, &v.s); break;
    case kVariant: Fail(); break;  // OPC UA Part 6: a Variant holds no scalar Variant
    default: SkipVariantValue(v.type); break;
  }
  if (!ok_) return {};
  return v;
}

void Decoder::SkipDataValue() {
  if (!Enter()) return;
  DataValue();
  Leave();
}

DataValueView Decoder::DataValue() {
  DataValueView dv;
  uint8_t mask = U8();
  if (mask & 0x01) {
    dv.hasValue = true;
    if (Enter()) {
      dv.value = Variant();
      Leave();
    }
  }
  if (mask & 0x02) {
    dv.hasStatus = true;
    dv.status = U32();
  }
  if (mask & 0x04) { dv.hasSourceTime = true; I64(); }
  if (mask & 0x10) U16();
  if (mask & 0x08) { dv.hasServerTime = true; I64(); }
  if (mask & 0x20) U16();
  if (!ok_) return {};
  return dv;
}

void Decoder::SkipDiagnosticInfo() {
  if (!Enter()) return;
  uint8_t mask = U8();
  if (mask & 0x01) I32();  // symbolic id
  if (mask & 0x02) I32();  // namespace uri
  if (mask & 0x08) I32();  // locale
  if (mask & 0x04) I32();  // localized text
  if (mask & 0x10) String();  // additional info
  if (mask & 0x20) U32();  // inner status code
  if (mask & 0x40) SkipDiagnosticInfo();
  Leave();
}

// ------------------------------------------------------------------------------ Time

DateTime UnixMsToDateTime(int64_t ms) { return ms * 10000 + 116444736000000000LL; }

DateTime OleDateToDateTime(double days) {
  if (!std::isfinite(days)) return 0;
  // 25569 days lie between 1899-12-30 and 1970-01-01.
  double ms = (days - 25569.0) * 86400000.0;
  if (ms < -11644473600000.0 || ms > 2.0e14) return 0;
  return UnixMsToDateTime(int64_t(std::llround(ms)));
}

}  // namespace uaclib
