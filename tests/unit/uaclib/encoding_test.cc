// Byte-exact cases of the OPC UA binary codec, and decoder robustness on bad input.
#include "uaclib/encoding.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace {

using uaclib::Decoder;
using uaclib::Encoder;
using uaclib::IdKind;
using uaclib::NodeId;
using uaclib::NodeIdView;
using uaclib::Variant;
using Bytes = std::vector<uint8_t>;

Bytes Encoded(const std::function<void(Encoder&)>& f) {
  Encoder e;
  f(e);
  return Bytes(e.Data(), e.Data() + e.Size());
}

std::string Hex(const Bytes& b) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (uint8_t c : b) {
    if (!s.empty()) s += ' ';
    s += digits[c >> 4];
    s += digits[c & 15];
  }
  return s;
}

Bytes FromHex(const std::string& hex) {
  Bytes b;
  for (size_t i = 0; i + 1 < hex.size();) {
    if (hex[i] == ' ') {
      ++i;
      continue;
    }
    b.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return b;
}

struct EncodeCase {
  const char* what;
  std::function<void(Encoder&)> encode;
  const char* hex;
};

TEST(UaEncoding, BuiltInTypesAndNodeIdForms) {
  uint8_t guid[16] = {0x91, 0x2B, 0x96, 0x72, 0x75, 0xFA, 0xE6, 0x4A,
                      0x8D, 0x28, 0xB4, 0x04, 0xDC, 0x7D, 0xAF, 0x63};
  std::string guidBytes(reinterpret_cast<char*>(guid), 16);
  const EncodeCase cases[] = {
      {"Boolean", [](Encoder& e) { e.Bool(true); }, "01"},
      {"Int32 -2", [](Encoder& e) { e.I32(-2); }, "FE FF FF FF"},
      {"UInt16", [](Encoder& e) { e.U16(0x1234); }, "34 12"},
      {"Double 1.0", [](Encoder& e) { e.F64(1.0); }, "00 00 00 00 00 00 F0 3F"},
      {"Float -2.5", [](Encoder& e) { e.F32(-2.5f); }, "00 00 20 C0"},
      {"String", [](Encoder& e) { e.String("abc"); }, "03 00 00 00 61 62 63"},
      {"empty String", [](Encoder& e) { e.String(""); }, "00 00 00 00"},
      {"null String", [](Encoder& e) { e.NullString(); }, "FF FF FF FF"},
      {"DateTime", [](Encoder& e) { e.Time(uaclib::UnixMsToDateTime(0)); },
       "00 80 3E D5 DE B1 9D 01"},
      {"NodeId two-byte", [](Encoder& e) { e.NodeId(NodeId::Numeric(0, 85)); }, "00 55"},
      {"NodeId four-byte", [](Encoder& e) { e.NodeId(NodeId::Numeric(1, 300)); }, "01 01 2C 01"},
      {"NodeId numeric, big id", [](Encoder& e) { e.NodeId(NodeId::Numeric(0, 70000)); },
       "02 00 00 70 11 01 00"},
      {"NodeId numeric, big namespace", [](Encoder& e) { e.NodeId(NodeId::Numeric(300, 1)); },
       "02 2C 01 01 00 00 00"},
      {"NodeId string", [](Encoder& e) { e.NodeId(NodeId::String(1, "ab")); },
       "03 01 00 02 00 00 00 61 62"},
      {"NodeId guid",
       [&](Encoder& e) { e.NodeId(NodeIdView{2, IdKind::Guid, 0, guidBytes}); },
       "04 02 00 91 2B 96 72 75 FA E6 4A 8D 28 B4 04 DC 7D AF 63"},
      {"NodeId byte string",
       [](Encoder& e) { e.NodeId(NodeIdView{1, IdKind::ByteString, 0, "\x01\x02"}); },
       "05 01 00 02 00 00 00 01 02"},
      {"QualifiedName", [](Encoder& e) { e.QualifiedName(1, "T"); }, "01 00 01 00 00 00 54"},
      {"LocalizedText text only", [](Encoder& e) { e.LocalizedText("", "Hi"); },
       "02 02 00 00 00 48 69"},
      {"LocalizedText both", [](Encoder& e) { e.LocalizedText("en", "x"); },
       "03 02 00 00 00 65 6E 01 00 00 00 78"},
      {"LocalizedText empty", [](Encoder& e) { e.LocalizedText("", ""); }, "00"},
  };
  for (const auto& c : cases) EXPECT_EQ(Hex(Encoded(c.encode)), c.hex) << c.what;
}

TEST(UaEncoding, VariantDataValueAndExtensionObject) {
  uaclib::DataValue full;
  full.value = Variant::Double(2.0);
  full.hasValue = true;
  full.status = 0x80050000u;
  full.hasSourceTime = full.hasServerTime = true;
  full.sourceTime = 1;
  full.serverTime = 2;
  uaclib::DataValue statusOnly;
  statusOnly.status = 0x80340000u;
  uaclib::DataValue nullValue;
  nullValue.hasValue = true;
  const EncodeCase cases[] = {
      {"Variant null", [](Encoder& e) { e.Variant(Variant()); }, "00"},
      {"Variant Int32", [](Encoder& e) { e.Variant(Variant::Int32(5)); }, "06 05 00 00 00"},
      {"Variant Boolean", [](Encoder& e) { e.Variant(Variant::Boolean(true)); }, "01 01"},
      {"Variant Float", [](Encoder& e) { e.Variant(Variant::Float(1.0f)); }, "0A 00 00 80 3F"},
      {"Variant String array", [](Encoder& e) { e.Variant(Variant::TextArray({"a", "b"})); },
       "8C 02 00 00 00 01 00 00 00 61 01 00 00 00 62"},
      {"Variant empty UInt32 array", [](Encoder& e) { e.Variant(Variant::UInt32Array({})); },
       "87 00 00 00 00"},
      {"Variant LocalizedText", [](Encoder& e) { e.Variant(Variant::Localized("", "x")); },
       "15 02 01 00 00 00 78"},
      {"DataValue with every field", [&](Encoder& e) { e.DataValue(full); },
       "0F 0B 00 00 00 00 00 00 00 40 00 00 05 80 01 00 00 00 00 00 00 00 02 00 00 00 00 00 00 00"},
      {"DataValue status only", [&](Encoder& e) { e.DataValue(statusOnly); }, "02 00 00 34 80"},
      {"DataValue null value", [&](Encoder& e) { e.DataValue(nullValue); }, "01 00"},
      {"ExtensionObject binary body",
       [](Encoder& e) {
         size_t at = e.BeginExtensionObject(864);
         e.U32(7);
         e.EndExtensionObject(at);
       },
       "01 00 60 03 01 04 00 00 00 07 00 00 00"},
      {"ExtensionObject in a Variant",
       [](Encoder& e) { e.Variant(Variant::Extension(340, std::string("\x01\x02", 2))); },
       "16 01 00 54 01 01 02 00 00 00 01 02"},
      {"ExtensionObject without body", [](Encoder& e) { e.NullExtensionObject(); }, "00 00 00"},
  };
  for (const auto& c : cases) EXPECT_EQ(Hex(Encoded(c.encode)), c.hex) << c.what;
}

TEST(UaEncoding, NodeIdDecodingOfEveryForm) {
  struct Case {
    const char* hex;
    uint16_t ns;
    IdKind kind;
    uint32_t num;
    std::string text;
  };
  const Case cases[] = {
      {"00 55", 0, IdKind::Numeric, 85, ""},
      {"01 01 2C 01", 1, IdKind::Numeric, 300, ""},
      {"02 2C 01 01 00 00 00", 300, IdKind::Numeric, 1, ""},
      {"03 01 00 02 00 00 00 61 62", 1, IdKind::String, 0, "ab"},
      {"04 02 00 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F", 2, IdKind::Guid, 0,
       std::string("\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F", 16)},
      {"05 01 00 02 00 00 00 01 02", 1, IdKind::ByteString, 0, "\x01\x02"},
  };
  for (const auto& c : cases) {
    Bytes b = FromHex(c.hex);
    Decoder d(b.data(), b.size());
    NodeIdView id = d.NodeId();
    ASSERT_TRUE(d.ok()) << c.hex;
    EXPECT_EQ(d.Remaining(), 0u) << c.hex;
    EXPECT_EQ(id.ns, c.ns) << c.hex;
    EXPECT_EQ(id.kind, c.kind) << c.hex;
    EXPECT_EQ(id.num, c.num) << c.hex;
    EXPECT_EQ(std::string(id.text), c.text) << c.hex;
    // Encoding the decoded id gives the same bytes back.
    EXPECT_EQ(Hex(Encoded([&](Encoder& e) { e.NodeId(id); })), c.hex);
  }
  // ExpandedNodeId: a namespace URI or another server makes the id name no node here.
  Bytes withUri = FromHex("80 05 01 00 00 00 75");
  Decoder d1(withUri.data(), withUri.size());
  EXPECT_EQ(d1.ExpandedNodeId().ns, 0xFFFF);
  EXPECT_TRUE(d1.ok());
  Bytes localServer = FromHex("40 05 00 00 00 00");
  Decoder d2(localServer.data(), localServer.size());
  EXPECT_EQ(d2.ExpandedNodeId().num, 5u);
  EXPECT_TRUE(d2.ok());
}

TEST(UaEncoding, VariantAndDataValueDecoding) {
  {
    Bytes b = FromHex("06 FB FF FF FF");
    Decoder d(b.data(), b.size());
    auto v = d.Variant();
    EXPECT_TRUE(d.ok());
    EXPECT_EQ(v.type, uaclib::kInt32);
    EXPECT_EQ(v.i, -5);
  }
  {
    // Int32 array with dimensions [2] (mask 0xC6), then a trailing byte.
    Bytes b = FromHex("C6 02 00 00 00 01 00 00 00 02 00 00 00 01 00 00 00 02 00 00 00 AA");
    Decoder d(b.data(), b.size());
    auto v = d.Variant();
    EXPECT_TRUE(d.ok());
    EXPECT_TRUE(v.array);
    EXPECT_EQ(v.length, 2);
    EXPECT_EQ(d.Remaining(), 1u);
  }
  {
    // Array of Variants, one holding a String: nested values are skipped correctly.
    Bytes b = FromHex("98 01 00 00 00 0C 01 00 00 00 7A 01");
    Decoder d(b.data(), b.size());
    auto v = d.Variant();
    EXPECT_TRUE(d.ok());
    EXPECT_EQ(v.type, uaclib::kVariant);
    EXPECT_EQ(d.U8(), 1);
  }
  {
    // DataValue with value, status, both time stamps and both picosecond fields.
    Bytes b = FromHex("3F 0B 00 00 00 00 00 00 F0 3F 00 00 05 80 01 00 00 00 00 00 00 00 "
                      "07 00 02 00 00 00 00 00 00 00 08 00");
    Decoder d(b.data(), b.size());
    auto dv = d.DataValue();
    EXPECT_TRUE(d.ok());
    EXPECT_EQ(d.Remaining(), 0u);
    EXPECT_TRUE(dv.hasValue);
    EXPECT_EQ(dv.value.d, 1.0);
    EXPECT_EQ(dv.status, 0x80050000u);
    EXPECT_TRUE(dv.hasSourceTime && dv.hasServerTime);
  }
  {
    // ExtensionObject forms: no body, binary body, XML body.
    Bytes b = FromHex("00 00 00 01 00 60 03 01 02 00 00 00 AB CD 00 01 02 01 00 00 00 3C");
    Decoder d(b.data(), b.size());
    auto none = d.ExtensionObject();
    auto bin = d.ExtensionObject();
    auto xml = d.ExtensionObject();
    EXPECT_TRUE(d.ok());
    EXPECT_TRUE(none.typeId.IsNull());
    EXPECT_EQ(none.encoding, 0);
    EXPECT_TRUE(bin.typeId.IsNs0(864));
    EXPECT_EQ(bin.body, std::string("\xAB\xCD"));
    EXPECT_EQ(xml.encoding, 2);
    EXPECT_EQ(xml.body, "<");
  }
  {
    // DiagnosticInfo with every field and an inner DiagnosticInfo.
    Bytes b = FromHex("7F 01 00 00 00 02 00 00 00 03 00 00 00 04 00 00 00 01 00 00 00 41 "
                      "00 00 34 80 01 05 00 00 00 99");
    Decoder d(b.data(), b.size());
    d.SkipDiagnosticInfo();
    EXPECT_TRUE(d.ok());
    EXPECT_EQ(d.U8(), 0x99);
  }
}

TEST(UaEncoding, MalformedInputFailsWithoutReadingPastTheEnd) {
  const struct {
    const char* what;
    const char* hex;
    int which;  // 0 String, 1 NodeId, 2 Variant, 3 DataValue, 4 ExtensionObject, 5 array
  } cases[] = {
      {"string longer than the input", "05 00 00 00 61 62", 0},
      {"negative string length", "FE FF FF FF", 0},
      {"unknown node id form", "07 00", 1},
      {"truncated guid", "04 00 00 01 02", 1},
      {"variant type beyond DiagnosticInfo", "1A", 2},
      {"scalar Variant inside a Variant", "18 06 01 00 00 00", 2},
      {"array longer than the input", "86 FF FF FF 7F", 2},
      {"dimensions without array", "46 01 00 00 00", 2},
      {"data value cut short", "03 06 01 00", 3},
      {"extension object with encoding 3", "00 00 03", 4},
      {"array length beyond the input", "10 00 00 00 01", 5},
  };
  for (const auto& c : cases) {
    Bytes b = FromHex(c.hex);
    Decoder d(b.data(), b.size());
    switch (c.which) {
      case 0: d.String(); break;
      case 1: d.NodeId(); break;
      case 2: d.Variant(); break;
      case 3: d.DataValue(); break;
      case 4: d.ExtensionObject(); break;
      case 5: d.ArrayLength(4); break;
    }
    EXPECT_FALSE(d.ok()) << c.what;
    EXPECT_EQ(d.U32(), 0u) << c.what;  // reads after a failure give zero
  }
}

TEST(UaEncoding, NestingDeeperThanTheLimitIsRefused) {
  // Variant arrays of Variants nested 200 deep: refused, no stack exhaustion.
  Bytes b;
  for (int i = 0; i < 200; ++i) {
    b.push_back(0x98);
    b.insert(b.end(), {1, 0, 0, 0});
  }
  b.push_back(0x00);
  Decoder d(b.data(), b.size());
  d.Variant();
  EXPECT_FALSE(d.ok());
  // 50 levels are fine.
  Bytes ok;
  for (int i = 0; i < 50; ++i) {
    ok.push_back(0x98);
    ok.insert(ok.end(), {1, 0, 0, 0});
  }
  ok.push_back(0x00);
  Decoder d2(ok.data(), ok.size());
  d2.Variant();
  EXPECT_TRUE(d2.ok());
}

TEST(UaEncoding, LimitKeepsAPrefixAndClearLiftsIt) {
  struct Case {
    const char* name;
    size_t limit;
    std::function<void(Encoder&)> write;
    std::string kept;  // hex
    bool overflow;
  };
  const Case cases[] = {
      {"fits exactly", 5, [](Encoder& e) { e.U8(1); e.U32(2); }, "01 02 00 00 00", false},
      {"a wide value that does not fit is dropped whole", 4, [](Encoder& e) { e.U8(1); e.U32(2); },
       "01", true},
      {"nothing after the first dropped append", 4,
       [](Encoder& e) { e.U8(1); e.U32(2); e.U8(3); e.Bool(true); }, "01", true},
      {"an extension object cut inside its length", 4,
       [](Encoder& e) {
         size_t at = e.BeginExtensionObject(100);
         e.U32(7);
         e.EndExtensionObject(at);
       },
       "00 64 01", true},  // the length is never patched into missing bytes
      {"a string cut inside its bytes", 6, [](Encoder& e) { e.String("abc"); }, "03 00 00 00", true},
  };
  for (const Case& c : cases) {
    Encoder e;
    e.SetLimit(c.limit);
    c.write(e);
    EXPECT_EQ(Hex(Bytes(e.Data(), e.Data() + e.Size())), c.kept) << c.name;
    EXPECT_EQ(e.Overflow(), c.overflow) << c.name;
    e.Clear();
    EXPECT_FALSE(e.Overflow()) << c.name;
    e.Bytes(std::string(100, 'x').data(), 100);
    EXPECT_EQ(e.Size(), 100u) << c.name;
  }
}

TEST(UaEncoding, TrimGivesLargeBuffersBack) {
  Encoder e;
  e.Bytes(std::string(4096, 'x').data(), 4096);
  e.Trim(8192);
  EXPECT_GE(e.Capacity(), 4096u);  // small enough to keep
  e.Trim(1024);
  EXPECT_EQ(e.Capacity(), 0u);
  EXPECT_EQ(e.Size(), 0u);
}

TEST(UaEncoding, OleDateConversion) {
  // 2023-12-01 10:00:00 UTC as days since 1899-12-30.
  double days = 45261.0 + 10.0 / 24.0;
  int64_t unixMs = 1701424800000LL;
  EXPECT_EQ(uaclib::OleDateToDateTime(days), uaclib::UnixMsToDateTime(unixMs));
  EXPECT_EQ(uaclib::OleDateToDateTime(std::numeric_limits<double>::quiet_NaN()), 0);
}

}  // namespace
