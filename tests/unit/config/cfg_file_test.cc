// Projects in ZelOpc.Dat: every field through every format, the format rule, password
// handling, tolerant loading and the save that never loses the old file.
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include "common/archive/obj_archive_xml.h"
#include "common/config/cfg_file.h"
#include "common/log/link_texts.h"
#include "common/log/server_log.h"
#include "common/platform/clock.h"
#include "common/platform/paths.h"
#include "common/platform/text.h"
#include "tests/common/test_clock.h"
#include "tests/unit/config/cfg_fixture.h"

namespace {

void AddPrj(TOpcCfgFile& cfg, const std::string& name, size_t vars) {
  auto p = cfg.NewPrj();
  p->Name = name;
  p->DispName = "显示" + name;
  p->Password = "pw" + name;
  p->CustServer = "https://127.0.0.1:1/x";
  p->Server_RefreshDelayMS = 250;
  p->WriteOpt = 1;
  p->UseGroup = 1;
  p->DevName = "dev";
  p->StrMD5 = "ABCDEF";
  for (size_t i = 0; i < vars; ++i)
    p->Vars.push_back({"v" + std::to_string(i), i % 2 ? "g1,g2" : "", int32_t(1 + i % 3), int32_t(i % 2)});
  p->Owner = &cfg;
  cfg.Prjs.push_back(std::move(p));
}

std::string XmlFile(const std::string& inner) {
  return "<?xml version=\"1.0\"?><XML_OBJ_STORE Count=\"1\"><PRJ0 " + inner + "</PRJ0></XML_OBJ_STORE>";
}

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

TEST_F(CfgTest, EveryPersistedFieldSurvivesEachFormat) {
  for (ObjArFormat fmt : {ObjArFormat::XML, ObjArFormat::BIN, ObjArFormat::BINZ}) {
    TTestCfg a;
    AddPrj(a, "1001", 3);
    AddPrj(a, "1002", 0);
    a.Prjs[1]->StrMD5.clear();
    a.Prjs[0]->NetState = 5;  // runtime fields are not persisted
    a.Prjs[0]->SID = "sid";
    std::string err;
    ASSERT_TRUE(a.SavePrjFileAs(Path("ZelOpc.Dat"), fmt, err)) << err;
    TTestCfg b;
    ASSERT_TRUE(b.LoadPrjFile(Path("ZelOpc.Dat")));
    EXPECT_EQ(b.LoadedFromXML, fmt == ObjArFormat::XML);
    ASSERT_EQ(b.Prjs.size(), 2u);
    const TOpcPrj& p = *b.Prjs[0];
    EXPECT_EQ(p.Owner, &b);
    EXPECT_EQ(p.Name, "1001");
    EXPECT_EQ(p.DispName, "显示1001");
    EXPECT_EQ(p.Password, "pw1001");
    EXPECT_EQ(p.CustServer, "https://127.0.0.1:1/x");
    EXPECT_EQ(p.Server_RefreshDelayMS, 250);
    EXPECT_EQ(p.WriteOpt, 1);
    EXPECT_EQ(p.UseGroup, 1);
    EXPECT_EQ(p.DevName, "dev");
    EXPECT_EQ(p.StrMD5, "ABCDEF");
    EXPECT_EQ(p.NetState, 0);
    EXPECT_EQ(p.SID, "");
    ASSERT_EQ(p.Vars.size(), 3u);
    EXPECT_EQ(p.Vars[1].Name, "v1");
    EXPECT_EQ(p.Vars[1].Group, "g1,g2");
    EXPECT_EQ(p.Vars[1].Type, 2);
    EXPECT_EQ(p.Vars[1].RW, 1);
    EXPECT_EQ(b.Prjs[1]->Name, "1002");
    EXPECT_TRUE(b.Prjs[1]->Vars.empty());
  }
}

TEST_F(CfgTest, FormatRuleBySize) {
  struct Case { size_t prjs; size_t varsEach; int forceXml; ObjArFormat want; };
  const Case cases[] = {
      {20, 100, 0, ObjArFormat::XML},  // 20 projects, 2000 variables
      {21, 0, 0, ObjArFormat::BIN},
      {1, 2001, 0, ObjArFormat::BIN},
      {21, 100, 1, ObjArFormat::XML},
      {0, 0, 0, ObjArFormat::XML},
  };
  for (const Case& c : cases) {
    TTestCfg cfg;
    for (size_t i = 0; i < c.prjs; ++i) AddPrj(cfg, std::to_string(i), c.varsEach);
    TSysOP.ForceXML = c.forceXml;
    EXPECT_EQ(cfg.SaveFormat(), c.want) << c.prjs << "x" << c.varsEach;
    cfg.SavePrjFile(Path("f.Dat"));
    auto ar = OpenArchiveForRead(Path("f.Dat"), ObjArFormat::Auto);
    ASSERT_TRUE(ar);
    EXPECT_EQ(ar->FormatName(), c.want == ObjArFormat::XML ? "XML" : "BIN");
  }
  EXPECT_TRUE(errors_.empty());
}

TEST_F(CfgTest, PasswordsInTheFile) {
  TTestCfg a;
  AddPrj(a, "1", 0);
  a.Prjs[0]->NoSavePass = 1;
  a.SavePrjFile(Path("a.Dat"));
  std::string bytes;
  ASSERT_TRUE(ReadFileBytes(Path("a.Dat"), bytes));
  EXPECT_EQ(bytes.find(std::string("E\0P\0a\0s\0s\0", 10)), std::string::npos);
  TTestCfg b;
  ASSERT_TRUE(b.LoadPrjFile(Path("a.Dat")));
  EXPECT_EQ(b.Prjs[0]->Password, "");

  // Older files carry the password in plain text; it loads and is saved scrambled.
  WriteText(Path("old.Dat"), XmlFile("Name=\"7\" Password=\"plain\">"));
  TTestCfg c;
  ASSERT_TRUE(c.LoadPrjFile(Path("old.Dat")));
  EXPECT_EQ(c.Prjs[0]->Password, "plain");
  c.SavePrjFile(Path("old.Dat"));
  CNxObjArXML x;
  ASSERT_TRUE(x.Open(Path("old.Dat"), false));
  ASSERT_TRUE(x.EnterNode("PRJ0"));
  EXPECT_EQ(x.ReadString("Password", "none"), "none");
  EXPECT_EQ(DecodePass(x.ReadString("EPass", "")), "plain");

  WriteText(Path("both.Dat"), XmlFile("EPass=\"" + EncodePass("new") + "\" Password=\"old\">"));
  TTestCfg d;
  ASSERT_TRUE(d.LoadPrjFile(Path("both.Dat")));
  EXPECT_EQ(d.Prjs[0]->Password, "new");
}

TEST(PassScramble, EncodeDecode) {
  struct Case { std::string in; std::string back; };
  const Case cases[] = {
      {"", ""},
      {"1234567890abcdef", "1234567890abcdef"},   // 16 characters
      {"1234567890abcdefXYZ", "1234567890abcdef"},  // longer ones are cut to 16
      {"密码ü", "密码ü"},
  };
  for (const Case& c : cases) {
    std::string e = EncodePass(c.in);
    EXPECT_EQ(e.size(), 64u);
    EXPECT_EQ(UpperCase(e), e);
    EXPECT_EQ(DecodePass(e), c.back) << c.in;
  }
  // The empty password is the key itself; its words decode to zero.
  std::string k = EncodePass("");
  EXPECT_EQ(DecodePass(k), "");
  EXPECT_EQ(DecodePass(LowerCase(EncodePass("ab"))), "ab");
  // Conversion stops at the first pair that is not hexadecimal.
  std::string cut = EncodePass("ab");
  cut[4] = 'x';
  std::string d = DecodePass(cut);
  EXPECT_EQ(d.substr(0, 1), "a");
  EXPECT_NE(d.substr(0, 2), "ab");
  EXPECT_NO_THROW(DecodePass("zz"));
}

TEST_F(CfgTest, TolerantLoading) {
  struct Case { const char* what; std::string file; int writeOpt; const char* md5; size_t vars; };
  const Case cases[] = {
      {"WriteOpt 3", XmlFile("WriteOpt=\"3\">"), 0, "", 0},
      {"WriteOpt -1", XmlFile("WriteOpt=\"-1\">"), -1, "", 0},
      {"WriteOpt 2", XmlFile("WriteOpt=\"2\">"), 2, "", 0},
      {"IO0 Count 0 clears md5", XmlFile("><IO0 StrMD5=\"X\" Count=\"0\"/>"), 0, "", 0},
      {"IO0 without Count", XmlFile("><IO0 StrMD5=\"X\"/>"), 0, "", 0},
      {"two variables", XmlFile("><IO0 StrMD5=\"X\" Count=\"2\"><V0 Name=\"a\"/><V1 Name=\"b\"/></IO0>"), 0, "X", 2},
      {"counted variable missing", XmlFile("><IO0 StrMD5=\"X\" Count=\"3\"><V0 Name=\"a\"/><V2/></IO0>"), 0, "", 1},
      {"no IO0", XmlFile(">"), 0, "", 0},
  };
  for (const Case& c : cases) {
    WriteText(Path("t.Dat"), c.file);
    TTestCfg cfg;
    ASSERT_TRUE(cfg.LoadPrjFile(Path("t.Dat"))) << c.what;
    ASSERT_EQ(cfg.Prjs.size(), 1u) << c.what;
    EXPECT_EQ(cfg.Prjs[0]->WriteOpt, c.writeOpt) << c.what;
    EXPECT_EQ(cfg.Prjs[0]->StrMD5, c.md5) << c.what;
    EXPECT_EQ(cfg.Prjs[0]->Vars.size(), c.vars) << c.what;
  }
  // A missing project node gives a default project; Count may come first or last.
  WriteText(Path("m.Dat"), "<XML_OBJ_STORE><PRJ1 Name=\"b\"/><x/></XML_OBJ_STORE>");
  TTestCfg none;
  ASSERT_TRUE(none.LoadPrjFile(Path("m.Dat")));
  EXPECT_TRUE(none.Prjs.empty());
  WriteText(Path("m.Dat"), "<XML_OBJ_STORE Count=\"2\"><PRJ1 Name=\"b\"/></XML_OBJ_STORE>");
  TTestCfg two;
  ASSERT_TRUE(two.LoadPrjFile(Path("m.Dat")));
  ASSERT_EQ(two.Prjs.size(), 2u);
  EXPECT_EQ(two.Prjs[0]->Name, "");
  EXPECT_EQ(two.Prjs[1]->Name, "b");

  TTestCfg missing;
  EXPECT_FALSE(missing.LoadPrjFile(Path("nothing.Dat")));
  WriteText(Path("junk.Dat"), "not xml at all");
  EXPECT_FALSE(missing.LoadPrjFile(Path("junk.Dat")));
  EXPECT_TRUE(missing.Prjs.empty());
}

class TThrowingPrj : public TOpcPrj {
 public:
  void Serialize(CNxObjAr& ar) override {
    if (ar.IsStoring()) throw std::runtime_error("boom");
    TOpcPrj::Serialize(ar);
  }
};

TEST_F(CfgTest, FailedSaveKeepsTheOldFile) {
  TTestCfg good;
  AddPrj(good, "1", 2);
  good.SavePrjFile(Path("ZelOpc.Dat"));
  ASSERT_TRUE(errors_.empty());
  std::string before;
  ASSERT_TRUE(ReadFileBytes(Path("ZelOpc.Dat"), before));

  TTestCfg bad;
  bad.Prjs.push_back(std::make_unique<TThrowingPrj>());
  bad.SavePrjFile(Path("ZelOpc.Dat"));
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_EQ(errors_[0], "保存文件错误: " + Path("ZelOpc.Dat"));
  std::string after;
  ASSERT_TRUE(ReadFileBytes(Path("ZelOpc.Dat"), after));
  EXPECT_EQ(after, before);
  for (auto& e : std::filesystem::directory_iterator(dir_))
    EXPECT_EQ(e.path().filename(), "ZelOpc.Dat") << "left behind: " << e.path();

  errors_.clear();
  good.SavePrjFile(Path("nodir/ZelOpc.Dat"));
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_EQ(errors_[0], "保存文件错误: " + Path("nodir/ZelOpc.Dat"));

  // The old "file" cannot be replaced: a non-empty directory stands in its place.
  errors_.clear();
  std::filesystem::create_directories(dir_ / "busy.Dat" / "x");
  good.SavePrjFile(Path("busy.Dat"));
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_EQ(errors_[0], "无法保存文件: " + Path("busy.Dat"));
}

// The pid of a process that has ended.
pid_t EndedPid() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  ::waitpid(pid, nullptr, 0);
  return pid;
}

// A save killed halfway leaves "<file>.new<pid>"; the next save or load of that file
// removes it, and nothing that belongs to a running process or to another file.
TEST_F(CfgTest, SaveAndLoadRemoveStaleTemporariesOfTheirFile) {
  TTestCfg good;
  AddPrj(good, "1", 2);
  const std::string dead = std::to_string(EndedPid());
  struct TCase {
    const char* what;
    std::function<void()> act;
    std::string target;  // the file acted on
    std::string marker;
  } cases[] = {
      {"project save", [&] { good.SavePrjFile(Path("ZelOpc.Dat")); }, "ZelOpc.Dat", ".new"},
      {"project load", [&] { TTestCfg c; EXPECT_TRUE(c.LoadPrjFile(Path("ZelOpc.Dat"))); }, "ZelOpc.Dat", ".new"},
      {"atomic write", [&] { EXPECT_TRUE(WriteFileAtomic(Path("config.ini"), "[Sys]\n")); }, "config.ini", ".tmp"},
  };
  for (const TCase& c : cases) {
    const std::string stale = c.target + c.marker + dead;
    const std::vector<std::string> kept = {
        c.target + c.marker + std::to_string(::getppid()),  // a process still running
        "Other.Dat" + c.marker + dead,                      // another file's
        c.target + c.marker + "x" + dead,                   // not a pid
    };
    WriteText(Path(stale), "half");
    for (const std::string& k : kept) WriteText(Path(k), "keep");
    c.act();
    EXPECT_FALSE(FileExists(Path(stale))) << c.what;
    for (const std::string& k : kept) {
      EXPECT_TRUE(FileExists(Path(k))) << c.what << ": " << k;
      DeleteFileAt(Path(k));
    }
  }
  EXPECT_TRUE(errors_.empty());
}

TEST(PrjHelpers, FindStateCountersAndLogTag) {
  TTestCfg cfg;
  AddPrj(cfg, "Ab", 0);
  AddPrj(cfg, "ab", 0);
  AddPrj(cfg, "ab", 0);
  EXPECT_EQ(cfg.FindPrj("ab"), 1);
  EXPECT_EQ(cfg.FindPrj("AB"), -1);

  TOpcPrj& p = *cfg.Prjs[0];
  p.ErrCode = nceNetwork;
  p.HttpCode = -12029;
  p.NetState = ncsError;
  std::vector<std::string> lines;
  AddStateLines(p, lines);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "ErrCode=" + ErrText(nceNetwork, -12029));
  EXPECT_EQ(lines[1], "State=" + StateText(ncsError));
  EXPECT_EQ(LogTag(p, "[T]"), LogTagText("[T]", p.DispName, p.Name, ncsError, nceNetwork, -12029));

  lines.clear();
  p.ReadCount = 12;
  p.ClientWriteCount = 3;
  double dt = 0;
  ASSERT_TRUE(ObjArParseDateTime("2026-03-04 05:06:07.089", dt));
  // Counter times are link-clock times, shown as wall-clock times.
  TTestClocks clocks(DateTimeToMs(dt) + 5000, 7000000);
  p.LastRead = 7000000 - 5000;
  p.LastError = 0;
  p.LastWrite = 0;
  AddCounterLines(p, lines);
  const std::vector<std::string> want = {"ReadAll=12", "Write=3", "LastRead=26-03-04,05:06:07.089"};
  EXPECT_EQ(lines, want);
  EXPECT_EQ(CounterTimeText(0), "00-00-00,00:00:00.000");
}

TEST_F(CfgTest, RegistryPassword) {
  TOpcPrj p;
  EXPECT_EQ(p.ReadRegPass("x"), "");
  p.WriteRegPass("x", "secret");
  EXPECT_EQ(p.ReadRegPass("x"), "secret");
  EXPECT_EQ(p.ReadRegPass("y"), "");
}

TEST(PrjBase, VirtualDefaults) {
  TOpcPrj p;
  TNxMemStream s;
  EXPECT_TRUE(p.ApplyReadText("x"));
  EXPECT_TRUE(p.ApplyReadBin(s));
  EXPECT_TRUE(p.ApplyWriteResult("x"));
  EXPECT_FALSE(p.IsWriteDue(1));
  EXPECT_EQ(p.BuildWriteRequest(), "");
  p.LastRead = 1000;
  p.ReadIntervalMS = 500;
  EXPECT_FALSE(p.IsReadDue(1499));
  EXPECT_TRUE(p.IsReadDue(1500));
}

}  // namespace
