// Attribute services: Read and Write (OPC UA Part 4), and the attribute values
// of every node class.
#include <charconv>
#include <cmath>
#include <limits>

#include "uaclib/node_ids.h"
#include "uaclib/server.h"

namespace uaclib {

namespace {

Variant SlotVariant(const VarSlot& s) {
  double v = s.value;
  switch (s.type) {
    case VarType::Boolean: return Variant::Boolean(v != 0);
    case VarType::Int32: {
      if (std::isnan(v)) return Variant::Int32(0);
      double r = std::round(v);
      if (r <= double(std::numeric_limits<int32_t>::min())) return Variant::Int32(INT32_MIN);
      if (r >= double(std::numeric_limits<int32_t>::max())) return Variant::Int32(INT32_MAX);
      return Variant::Int32(int32_t(r));
    }
    case VarType::Float: return Variant::Float(float(v));
    case VarType::Double: return Variant::Double(v);
    case VarType::String: {
      // Shortest text that reads back as the same double, without an exponent for the
      // magnitudes devices report (4000000000, not 4e+09).
      char text[64];
      double mag = std::fabs(v);
      bool plain = v == 0 || (mag >= 1e-6 && mag < 1e21);
      auto r = plain ? std::to_chars(text, text + sizeof text, v, std::chars_format::fixed)
                     : std::to_chars(text, text + sizeof text, v);
      if (r.ec != std::errc()) r = std::to_chars(text, text + sizeof text, v);
      return Variant::Text(std::string_view(text, size_t(r.ptr - text)));
    }
  }
  return Variant::Double(v);
}

bool IsTypeClass(NodeClass c) {
  return c == NodeClass::ObjectType || c == NodeClass::VariableType ||
         c == NodeClass::DataType || c == NodeClass::ReferenceType;
}

// NumericRange "a" or "a:b" (OPC UA Part 4) applied to a one-dimensional array.
StatusCode ApplyIndexRange(std::string_view range, DataValue& dv) {
  uint32_t lo = 0, hi = 0;
  auto colon = range.find(':');
  std::string_view a = range.substr(0, colon);
  auto r1 = std::from_chars(a.data(), a.data() + a.size(), lo);
  if (r1.ec != std::errc() || r1.ptr != a.data() + a.size()) return status::BadIndexRangeInvalid;
  hi = lo;
  if (colon != std::string_view::npos) {
    std::string_view b = range.substr(colon + 1);
    auto r2 = std::from_chars(b.data(), b.data() + b.size(), hi);
    if (r2.ec != std::errc() || r2.ptr != b.data() + b.size() || hi <= lo)
      return status::BadIndexRangeInvalid;
  }
  if (!dv.hasValue || !dv.value.array || lo >= dv.value.items.size())
    return status::BadIndexRangeNoData;
  auto& items = dv.value.items;
  size_t end = std::min<size_t>(size_t(hi) + 1, items.size());
  items = std::vector<Variant>(items.begin() + lo, items.begin() + long(end));
  return status::Good;
}

}  // namespace

void Server::ReadValue(const Node& n, Timestamps ts, DataValue& out) {
  out = DataValue{};
  // The clock only where the value has no time of its own: a variable with a value
  // carries both times, and this runs once per node read and per sample.
  DateTime source = 0, server = 0;
  if (n.slot) {
    const VarSlot& s = *n.slot;
    out.status = s.status;
    // A Bad status carries no value (OPC UA Part 4).
    if (!IsBad(s.status)) {
      out.value = SlotVariant(s);
      out.hasValue = true;
    }
    source = s.sourceTime;
    server = s.serverTime ? s.serverTime : UtcNow();
  } else if (n.dynamic != Dynamic::None) {
    DateTime now = UtcNow();
    server = now;
    source = now;
    out.hasValue = true;
    if (n.dynamic == Dynamic::CurrentTime) {
      out.value = Variant::Time(now);
    } else if (n.dynamic == Dynamic::State) {
      out.value = Variant::Int32(0);  // ServerState Running
    } else {
      // ServerStatusDataType (OPC UA Part 5): StartTime, CurrentTime, State, BuildInfo,
      // SecondsTillShutdown, ShutdownReason.
      Encoder e;
      e.Time(startTime_);
      e.Time(now);
      e.I32(0);
      e.String(config_.info.productUri);
      e.String(config_.info.manufacturerName);
      e.String(config_.info.productName);
      e.String(config_.info.softwareVersion);
      e.String(config_.info.buildNumber);
      e.Time(config_.info.buildDate);
      e.U32(0);
      e.LocalizedText("", "");
      out.value = Variant::Extension(
          ns0::ServerStatusDefaultBinary,
          std::string(reinterpret_cast<const char*>(e.Data()), e.Size()));
    }
  } else {
    out.value = n.value;
    out.hasValue = n.value.type != kNull;
    server = UtcNow();
  }
  bool wantSource = ts == Timestamps::Source || ts == Timestamps::Both;
  bool wantServer = ts == Timestamps::Server || ts == Timestamps::Both;
  out.hasSourceTime = wantSource && source != 0;
  out.sourceTime = source;
  out.hasServerTime = wantServer;
  out.serverTime = server;
}

StatusCode Server::ReadAttribute(const Node& n, uint32_t attributeId, Timestamps ts,
                                 DataValue& out) {
  bool variable = n.cls == NodeClass::Variable;
  bool varLike = variable || n.cls == NodeClass::VariableType;
  StatusCode sc = status::Good;
  out = DataValue{};
  Variant& v = out.value;
  switch (attributeId) {
    case attr::NodeId: v = Variant::Id(n.id); break;
    case attr::NodeClass: v = Variant::Int32(int32_t(n.cls)); break;
    case attr::BrowseName: v = Variant::Name(n.browseNs, n.browseName); break;
    case attr::DisplayName: v = Variant::Localized("", n.displayName); break;
    case attr::Description: v = Variant::Localized("", n.description); break;
    case attr::WriteMask:
    case attr::UserWriteMask: v = Variant::UInt32(0); break;
    case attr::IsAbstract:
      if (IsTypeClass(n.cls)) v = Variant::Boolean(n.isAbstract); else sc = status::BadAttributeIdInvalid;
      break;
    case attr::Symmetric:
      if (n.cls == NodeClass::ReferenceType) v = Variant::Boolean(n.symmetric); else sc = status::BadAttributeIdInvalid;
      break;
    case attr::InverseName:
      if (n.cls == NodeClass::ReferenceType) v = Variant::Localized("", n.inverseName);
      else sc = status::BadAttributeIdInvalid;
      break;
    case attr::EventNotifier:
      if (n.cls == NodeClass::Object || n.cls == NodeClass::View) v = Variant::Byte(n.eventNotifier);
      else sc = status::BadAttributeIdInvalid;
      break;
    case attr::Value:
      if (!varLike) {
        sc = status::BadAttributeIdInvalid;
        break;
      }
      ReadValue(n, ts, out);
      return status::Good;
    case attr::DataType:
      if (varLike) v = Variant::Id(NodeId::Numeric(0, n.dataType)); else sc = status::BadAttributeIdInvalid;
      break;
    case attr::ValueRank:
      if (varLike) v = Variant::Int32(n.valueRank); else sc = status::BadAttributeIdInvalid;
      break;
    case attr::ArrayDimensions:
      if (!varLike) sc = status::BadAttributeIdInvalid;
      else v = Variant::UInt32Array(n.valueRank == 1 ? std::vector<uint32_t>{0} : std::vector<uint32_t>{});
      break;
    case attr::AccessLevel:
    case attr::UserAccessLevel:
      if (variable) v = Variant::Byte(n.accessLevel); else sc = status::BadAttributeIdInvalid;
      break;
    case attr::AccessLevelEx:
      if (variable) v = Variant::UInt32(n.accessLevel); else sc = status::BadAttributeIdInvalid;
      break;
    case attr::MinimumSamplingInterval:
      if (variable) v = Variant::Double(n.minimumSamplingInterval); else sc = status::BadAttributeIdInvalid;
      break;
    case attr::Historizing:
      if (variable) v = Variant::Boolean(false); else sc = status::BadAttributeIdInvalid;
      break;
    default: sc = status::BadAttributeIdInvalid; break;
  }
  if (IsBad(sc)) {
    out.status = sc;
    return sc;
  }
  out.hasValue = true;
  return status::Good;
}

StatusCode Server::Read(Call& c) {
  Decoder& in = c.in;
  double maxAge = in.F64();
  uint32_t ts = in.U32();
  int32_t n = in.ArrayLength(16);
  if (!in.ok()) return status::BadDecodingError;
  if (ts > 3) return status::BadTimestampsToReturnInvalid;
  if (!(maxAge >= 0)) return status::BadMaxAgeInvalid;
  if (n == 0) return status::BadNothingToDo;
  if (uint32_t(n) > limits_.maxNodesPerRead) return status::BadTooManyOperations;
  Encoder& out = c.out;
  out.ArrayLength(size_t(n));
  DataValue dv;
  for (int32_t i = 0; i < n && in.ok() && !out.Overflow(); ++i) {
    NodeIdView id = in.NodeId();
    uint32_t attributeId = in.U32();
    std::string_view range = in.String();
    QualifiedNameView encoding = in.QualifiedName();
    const Node* node = space_.Find(id);
    if (!node) {
      dv = DataValue{};
      dv.status = status::BadNodeIdUnknown;
    } else if (!encoding.name.empty() && attributeId != attr::Value) {
      dv = DataValue{};
      dv.status = status::BadDataEncodingInvalid;
    } else if (!encoding.name.empty() && (encoding.ns != 0 || encoding.name != "Default Binary")) {
      dv = DataValue{};
      dv.status = status::BadDataEncodingUnsupported;
    } else if (IsBad(ReadAttribute(*node, attributeId, Timestamps(ts), dv))) {
      // the status is in dv
    } else if (!range.empty()) {
      StatusCode sc = ApplyIndexRange(range, dv);
      if (IsBad(sc)) {
        dv = DataValue{};
        dv.status = sc;
      }
    }
    out.DataValue(dv);
  }
  out.EmptyArray();  // diagnostic infos
  return status::Good;
}

StatusCode Server::WriteValue(Node& n, const VariantView& v) {
  VarSlot& slot = *n.slot;
  if (v.array) return status::BadTypeMismatch;
  double d = 0;
  switch (v.type) {
    case kBoolean: d = v.i ? 1 : 0; break;
    case kSByte: case kInt16: case kInt32: case kInt64: d = double(v.i); break;
    case kByte: case kUInt16: case kUInt32: case kUInt64: d = double(v.u); break;
    case kFloat: case kDouble: d = v.d; break;
    default: return status::BadTypeMismatch;
  }
  // No device takes NaN or infinity, and a Float variable nothing beyond float's range.
  if (!std::isfinite(d)) return status::BadOutOfRange;
  if (slot.type == VarType::Float && std::fabs(d) > double(std::numeric_limits<float>::max()))
    return status::BadOutOfRange;
  if (slot.type == VarType::Boolean) d = d != 0 ? 1 : 0;
  if (slot.type == VarType::Int32 &&
      !(d >= double(std::numeric_limits<int32_t>::min()) && d <= double(std::numeric_limits<int32_t>::max())))
    return status::BadOutOfRange;
  if (onWrite_) onWrite_(nullptr, slot.context, &d);
  return status::Good;
}

StatusCode Server::Write(Call& c) {
  Decoder& in = c.in;
  int32_t n = in.ArrayLength(11);
  if (!in.ok()) return status::BadDecodingError;
  if (n == 0) return status::BadNothingToDo;
  if (uint32_t(n) > limits_.maxNodesPerWrite) return status::BadTooManyOperations;
  // Decode everything before the first callback: a callback may update values.
  struct Item {
    Node* node;
    uint32_t attributeId;
    bool ranged;
    DataValueView value;
  };
  std::vector<Item> items;
  items.reserve(size_t(n));
  for (int32_t i = 0; i < n && in.ok(); ++i) {
    Item it;
    it.node = space_.Find(in.NodeId());
    it.attributeId = in.U32();
    it.ranged = !in.String().empty();
    it.value = in.DataValue();
    items.push_back(it);
  }
  if (!in.ok()) return status::BadDecodingError;
  c.out.ArrayLength(items.size());
  for (const Item& it : items) {
    StatusCode sc;
    if (!it.node)
      sc = status::BadNodeIdUnknown;
    else if (it.attributeId == 0 || it.attributeId > attr::AccessLevelEx)
      sc = status::BadAttributeIdInvalid;
    else if (it.attributeId != attr::Value || !it.node->slot || !it.node->slot->writable)
      sc = status::BadNotWritable;
    else if (it.ranged)
      sc = status::BadIndexRangeInvalid;
    else if (!it.value.hasValue)
      sc = status::BadTypeMismatch;
    else
      sc = WriteValue(*it.node, it.value.value);
    c.out.U32(sc);
  }
  c.out.EmptyArray();  // diagnostic infos
  return status::Good;
}

}  // namespace uaclib
