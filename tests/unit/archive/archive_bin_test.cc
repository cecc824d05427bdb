// Binary archive: exact bytes, format selection, and files that must be refused.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>

#include "common/archive/obj_archive_bin.h"
#include "common/archive/obj_archive_xml.h"
#include "common/platform/paths.h"

namespace {

uint32_t U32At(const std::string& b, size_t off) {
  uint32_t v;
  std::memcpy(&v, b.data() + off, 4);
  return v;
}
void PutU32At(std::string& b, size_t off, uint32_t v) { std::memcpy(b.data() + off, &v, 4); }

std::string Store(ObjArFormat fmt, void (*fill)(CNxObjAr&)) {
  TNxMemStream s;
  auto ar = CreateArchiveForWrite(s.Designation(), fmt);
  EXPECT_TRUE(ar);
  fill(*ar);
  EXPECT_TRUE(ar->Close());
  return s.Bytes();
}

void WorkedExample(CNxObjAr& ar) {
  ar.WriteInt("Count", 1);
  ar.EnterNode("IO0");
  ar.WriteString("Name", "A");
  ar.LeaveNode();
}

std::unique_ptr<CNxObjAr> OpenBytes(const std::string& bytes, TNxMemStream& s, ObjArFormat fmt = ObjArFormat::Auto) {
  s.Bytes() = bytes;
  s.Seek(0);
  return OpenArchiveForRead(s.Designation(), fmt);
}

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("zel_archive_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Path(const char* name) const { return (dir_ / name).string(); }
  std::filesystem::path dir_;
};

TEST(BinFormat, RootOnlyArchiveIs80Bytes) {
  std::string b = Store(ObjArFormat::BIN, [](CNxObjAr&) {});
  ASSERT_EQ(b.size(), 80u);
  EXPECT_EQ(U32At(b, 0), 0xF0FFCCFFu);
  EXPECT_EQ(U32At(b, 4), 80u);
  EXPECT_EQ(U32At(b, 8), 0u);
  EXPECT_EQ(U32At(b, 12), 0u);
  EXPECT_EQ(U32At(b, 16), 1u);  // N
  EXPECT_EQ(U32At(b, 20), 8u);  // record of the root
  EXPECT_EQ(U32At(b, 24), 56u);
  EXPECT_EQ(U32At(b, 28), 0u);
  EXPECT_EQ(U32At(b, 32), 1u);
  EXPECT_EQ(U32At(b, 44), 13u);
  std::u16string name(13, u'\0');
  std::memcpy(name.data(), b.data() + 48, 26);
  EXPECT_EQ(name, u"BIN_OBJ_STORE");
  EXPECT_EQ(b.substr(74), std::string(6, '\0'));
}

TEST(BinFormat, WorkedExampleByteForByte) {
  std::string b = Store(ObjArFormat::BIN, WorkedExample);
  // Every byte spelled out: header, index, root record, child record.
  std::string e;
  auto u32 = [&](uint32_t v) { e.append(reinterpret_cast<const char*>(&v), 4); };
  auto text = [&](const char16_t* t) {
    for (; *t; ++t) e.append(reinterpret_cast<const char*>(t), 2);
    e.append(2, '\0');
  };
  auto pad = [&](size_t recStart) { while ((e.size() - recStart) % 8) e.push_back('\0'); };
  u32(0xF0FFCCFF); u32(180); u32(0); u32(0);
  u32(2); u32(12); u32(100);
  size_t r = e.size();
  u32(88); u32(0); u32(1); u32(1); u32(1); u32(13);
  u32(2);
  u32(68); u32(80); u32(uint32_t(-1));
  text(u"BIN_OBJ_STORE");
  text(u"Count");
  u32(1);
  pad(r);
  r = e.size();
  u32(64); u32(1); u32(2); u32(0); u32(1); u32(3);
  u32(44); u32(54); u32(0);
  text(u"IO0");
  text(u"Name");
  text(u"A");
  pad(r);
  ASSERT_EQ(e.size(), 180u);
  EXPECT_EQ(b, e);

  TNxMemStream s;
  auto ar = OpenBytes(b, s);
  ASSERT_TRUE(ar);
  EXPECT_EQ(ar->ReadInt("Count", 0), 1);
  ASSERT_TRUE(ar->EnterNode("IO0"));
  EXPECT_EQ(ar->ReadString("Name", "x"), "A");
}

TEST(BinFormat, FormatNamesAndOpenModes) {
  std::string plain = Store(ObjArFormat::BIN, WorkedExample);
  std::string packed = Store(ObjArFormat::BINZ, WorkedExample);
  ASSERT_EQ(uint8_t(packed[0]), 0x1F);
  ASSERT_EQ(uint8_t(packed[1]), 0x8B);
  struct Case { const std::string* bytes; ObjArFormat open; const char* name; };
  const Case cases[] = {
      {&packed, ObjArFormat::Auto, "BINZ"}, {&packed, ObjArFormat::BIN, "BINZ"},
      {&packed, ObjArFormat::BINZ, "BINZ"}, {&plain, ObjArFormat::Auto, "BIN"},
      {&plain, ObjArFormat::BINZ, "BIN"},
  };
  for (const Case& c : cases) {
    TNxMemStream s;
    auto ar = OpenBytes(*c.bytes, s, c.open);
    ASSERT_TRUE(ar) << c.name;
    EXPECT_EQ(ar->FormatName(), c.name);
    EXPECT_EQ(ar->ReadInt("Count", 0), 1);
  }
  TNxMemStream s;
  EXPECT_FALSE(OpenBytes(plain, s, static_cast<ObjArFormat>(7)));
}

TEST(BinFormat, CompressedStreamUsesTheStatedDeflateSettings) {
  std::string plain = Store(ObjArFormat::BIN, WorkedExample);
  std::string packed = Store(ObjArFormat::BINZ, WorkedExample);
  z_stream zs{};
  ASSERT_EQ(deflateInit2(&zs, 1, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY), Z_OK);
  std::string expect(deflateBound(&zs, plain.size()), '\0');
  zs.next_in = reinterpret_cast<Bytef*>(plain.data());
  zs.avail_in = uInt(plain.size());
  zs.next_out = reinterpret_cast<Bytef*>(expect.data());
  zs.avail_out = uInt(expect.size());
  ASSERT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
  expect.resize(zs.total_out);
  deflateEnd(&zs);
  EXPECT_EQ(packed, expect);
}

// Each mutation of a valid file must make the open fail, never crash or read outside.
TEST(BinFormat, DamagedFilesFailTheOpen) {
  const std::string good = Store(ObjArFormat::BIN, WorkedExample);
  struct Case { const char* what; void (*mutate)(std::string&); };
  const Case cases[] = {
      {"length one byte more", [](std::string& b) { PutU32At(b, 4, 181); }},
      {"length one byte less", [](std::string& b) { PutU32At(b, 4, 179); }},
      {"file cut by one byte", [](std::string& b) { b.pop_back(); }},
      {"16 bytes only", [](std::string& b) { b.resize(16); PutU32At(b, 4, 16); }},
      {"wrong magic", [](std::string& b) { b[0] = 0; }},
      {"N too large", [](std::string& b) { PutU32At(b, 16, 1000); }},
      {"N zero", [](std::string& b) { PutU32At(b, 16, 0); }},
      {"offset outside", [](std::string& b) { PutU32At(b, 24, 0xFFFFFFF0u); }},
      {"record length past body", [](std::string& b) { PutU32At(b, 28, 200); }},
      {"child id outside", [](std::string& b) { PutU32At(b, 28 + 24, 9); }},
      {"child id is itself", [](std::string& b) { PutU32At(b, 28 + 24, 1); }},
      {"child count huge", [](std::string& b) { PutU32At(b, 28 + 12, 0x40000000u); }},
      {"value count huge", [](std::string& b) { PutU32At(b, 28 + 16, 0x15555556u); }},
      {"name length wrong", [](std::string& b) { PutU32At(b, 28 + 20, 12); }},
      {"value name offset outside", [](std::string& b) { PutU32At(b, 28 + 28, 4000); }},
      {"text without terminator", [](std::string& b) {
         // child record at body offset 100: make the text "A" run into the padding end
         size_t rec = 16 + 100;
         for (size_t i = rec + 54; i < rec + 64; i += 2) { b[i] = 'A'; b[i + 1] = 0; }
       }},
      {"int data past record", [](std::string& b) { PutU32At(b, 28 + 32, 86); }},
      {"own id wrong", [](std::string& b) { PutU32At(b, 16 + 100 + 8, 1); }},
      {"parent of child wrong", [](std::string& b) { PutU32At(b, 16 + 100 + 4, 2); }},
      {"root has a parent", [](std::string& b) { PutU32At(b, 28 + 4, 2); }},
  };
  for (const Case& c : cases) {
    std::string b = good;
    c.mutate(b);
    TNxMemStream s;
    EXPECT_FALSE(OpenBytes(b, s, ObjArFormat::BIN)) << c.what;
  }
  TNxMemStream s;
  EXPECT_TRUE(OpenBytes(good, s, ObjArFormat::BIN));
}

TEST(BinFormat, DamagedGzipFailsTheOpen) {
  std::string packed = Store(ObjArFormat::BINZ, WorkedExample);
  TNxMemStream s;
  EXPECT_FALSE(OpenBytes(packed.substr(0, packed.size() / 2), s));
  std::string flipped = packed;
  flipped[12] ^= 0x55;
  EXPECT_FALSE(OpenBytes(flipped, s));
}

TEST(BinFormat, DuplicateChildNamesReachTheFirst) {
  std::string b = Store(ObjArFormat::BIN, [](CNxObjAr& ar) {
    ar.EnterNode("A"); ar.WriteInt("X", 1); ar.LeaveNode();
    ar.EnterNode("A"); ar.WriteInt("X", 2); ar.LeaveNode();
  });
  EXPECT_EQ(U32At(b, 16), 3u);  // two children were made
  TNxMemStream s;
  auto ar = OpenBytes(b, s);
  ASSERT_TRUE(ar);
  ASSERT_TRUE(ar->EnterNode("A"));
  EXPECT_EQ(ar->ReadInt("X", 0), 1);
}

TEST(BinFormat, ValueKindsAndConversions) {
  std::string b = Store(ObjArFormat::BIN, [](CNxObjAr& ar) {
    ar.WriteString("t12", "12");
    ar.WriteString("t125", "12.5");
    ar.WriteString("abc", "abc");
    ar.WriteInt("i", -7);
    ar.WriteFloat("d", 2.5);
    ar.WriteString("lines", "a\r\nb\nc");
    ar.WriteString("wide", "中文ü\U0001F600");
    ar.WriteDateTime("dt", 45000.5);
  });
  TNxMemStream s;
  auto ar = OpenBytes(b, s);
  ASSERT_TRUE(ar);
  EXPECT_EQ(ar->ReadInt("t12", 9), 12);
  EXPECT_EQ(ar->ReadInt("t125", 9), 9);
  EXPECT_EQ(ar->ReadInt("abc", 9), 9);
  EXPECT_EQ(ar->ReadInt("i", 9), -7);
  EXPECT_EQ(ar->ReadInt("d", 9), 9);          // a double never reads as int
  EXPECT_EQ(ar->ReadString("i", "def"), "def");  // nor an int as text
  EXPECT_DOUBLE_EQ(ar->ReadFloat("d", 0), 2.5);
  EXPECT_DOUBLE_EQ(ar->ReadFloat("i", 0), -7);
  EXPECT_DOUBLE_EQ(ar->ReadFloat("t125", 0), 12.5);
  EXPECT_EQ(ar->ReadString("lines", ""), "a\r\nb\nc");
  EXPECT_EQ(ar->ReadString("wide", ""), "中文ü\U0001F600");
  EXPECT_DOUBLE_EQ(ar->ReadDateTime("dt", 0), 45000.5);
  EXPECT_EQ(ar->ReadString("missing", "def"), "def");
  // Reading out of order still finds every value.
  EXPECT_EQ(ar->ReadInt("i", 0), -7);
  EXPECT_EQ(ar->ReadInt("t12", 0), 12);
}

TEST(BinFormat, CallerErrorsKeepThePosition) {
  std::string b = Store(ObjArFormat::BIN, WorkedExample);
  TNxMemStream s;
  auto ar = OpenBytes(b, s);
  ASSERT_TRUE(ar);
  EXPECT_FALSE(ar->LeaveNode());          // at the root
  EXPECT_FALSE(ar->EnterNode("IO1"));     // missing
  EXPECT_EQ(ar->ReadInt("Count", 0), 1);  // still on the root
  ar->WriteInt("Count", 5);               // ignored while loading
  EXPECT_EQ(ar->ReadInt("Count", 0), 1);
  ASSERT_TRUE(ar->EnterNode("IO0"));
  EXPECT_FALSE(ar->HasNode("IO0"));
  ASSERT_TRUE(ar->LeaveNode());
  EXPECT_TRUE(ar->HasNode("IO0"));

  auto w = CreateArchiveForWrite(s.Designation(), ObjArFormat::BIN);
  ASSERT_TRUE(w);
  EXPECT_FALSE(w->LeaveNode());
  EXPECT_EQ(w->ReadInt("x", 3), 3);
}

struct TThing : CNxLoadStoreAble {
  int32_t v = 42;
  void Serialize(CNxObjAr& ar) override {
    if (ar.IsStoring()) ar.WriteInt("v", v);
    else v = ar.ReadInt("v", v);
  }
};

TEST(BinFormat, SerializeChildSkipsMissingChild) {
  std::string b = Store(ObjArFormat::BIN, WorkedExample);
  TNxMemStream s;
  auto ar = OpenBytes(b, s);
  ASSERT_TRUE(ar);
  TThing t;
  SerializeChild(*ar, "Nope", t);
  EXPECT_EQ(t.v, 42);
  EXPECT_EQ(ar->ReadInt("Count", 0), 1);
  ASSERT_TRUE(ar->EnterNode("IO0"));  // still at the root
}

TEST_F(TempDir, XmlFormatFallsBackToXbin) {
  std::string dat = Path("ZelOpc.Dat");
  auto w = CreateArchiveForWrite(ChangeFileExt(dat, ".XBIN"), ObjArFormat::BIN);
  ASSERT_TRUE(w);
  WorkedExample(*w);
  w->Close();
  auto ar = OpenArchiveForRead(dat, ObjArFormat::XML);
  ASSERT_TRUE(ar);
  EXPECT_EQ(ar->FormatName(), "BIN");
  EXPECT_EQ(ar->ReadInt("Count", 0), 1);
  EXPECT_FALSE(OpenArchiveForRead(dat, ObjArFormat::BIN));
  EXPECT_FALSE(OpenArchiveForRead(dat, ObjArFormat::Auto));
  EXPECT_FALSE(OpenArchiveForRead("", ObjArFormat::BIN));
}

TEST_F(TempDir, FileTargetsRoundTripAndAutoDetects) {
  const ObjArFormat fmts[] = {ObjArFormat::BIN, ObjArFormat::BINZ, ObjArFormat::XML};
  const char* names[] = {"BIN", "BINZ", "XML"};
  for (int i = 0; i < 3; ++i) {
    std::string p = Path(names[i]);
    auto w = CreateArchiveForWrite(p, fmts[i]);
    ASSERT_TRUE(w);
    WorkedExample(*w);
    EXPECT_FALSE(FileExists(p));  // nothing before Close
    w->Close();
    auto ar = OpenArchiveForRead(p, ObjArFormat::Auto);
    ASSERT_TRUE(ar) << names[i];
    EXPECT_EQ(ar->FormatName(), names[i]);
    ASSERT_TRUE(ar->EnterNode("IO0"));
    EXPECT_EQ(ar->ReadString("Name", ""), "A");
  }
}

// A text that is not UTF-8 is stored as the program shows it: every format gives back
// the same text, with U+FFFD where the bytes did not decode, and keeps it on a second
// round.
TEST(ArchiveTexts, IllFormedUtf8ComesBackTheSameFromEveryFormat) {
  static const std::string kBad = "A\xC3" "B\xE4\xB8\xF0\x9F\x98\x80\xED\xA0\x80\xFF\xC0\xAFZ";
  const std::string want = "A\xEF\xBF\xBD" "B\xEF\xBF\xBD\xF0\x9F\x98\x80\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
                           "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDZ";
  for (const ObjArFormat fmt : {ObjArFormat::BIN, ObjArFormat::BINZ, ObjArFormat::XML}) {
    std::string text = kBad;
    for (int round = 0; round < 2; ++round) {
      TNxMemStream s;
      auto w = CreateArchiveForWrite(s.Designation(), fmt);
      ASSERT_TRUE(w);
      w->WriteString("T", text);
      ASSERT_TRUE(w->Close());
      s.Seek(0);
      auto r = OpenArchiveForRead(s.Designation(), ObjArFormat::Auto);
      ASSERT_TRUE(r);
      text = r->ReadString("T", "");
      EXPECT_EQ(text, want) << r->FormatName() << " round " << round;
    }
  }
}

TEST(BinFormat, StaleStreamDesignationDoesNotResolve) {
  std::string name;
  {
    TNxMemStream s;
    name = s.Designation();
    EXPECT_EQ(TNxMemStream::FromDesignation(name), &s);
  }
  EXPECT_EQ(TNxMemStream::FromDesignation(name), nullptr);
  EXPECT_FALSE(OpenArchiveForRead(name, ObjArFormat::Auto));
  EXPECT_FALSE(OpenArchiveForRead(":zz", ObjArFormat::BIN));
}

}  // namespace
