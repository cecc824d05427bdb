// The server project: value conversions, write queue and merging, read answers.
#include <gtest/gtest.h>

#include "common/archive/obj_archive.h"
#include "common/link/link_state.h"
#include "common/link/typed_value.h"
#include "common/log/link_texts.h"
#include "common/platform/clock.h"
#include "common/settings/sys_config.h"
#include "server/runtime/opc_sprj.h"

namespace {
int64_t g_now = 1000000000;
int64_t TestNow() { return g_now; }

struct TPushLog : TValuePush {
  std::vector<std::pair<std::string, bool>> pushes;
  void UpdateVar(TZelVarItem& v, bool bad) override { pushes.emplace_back(v.Name, bad); }
};

class SPrjTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetNowSource(TestNow);
    SetSteadySource(TestNow);
    TSysOP = TSysOPRecord{};
    TSysOP.WriteMaxLen = 32;
    Fill(prj_);
    prj_.Push = &push_;
  }
  // Four variables: discrete D, integer L, analog A, read-only analog R; running.
  static void Fill(TOpcSPrj& p) {
    for (auto [name, type, rw] : {std::tuple{"D", 1, 0}, {"L", 2, 0}, {"A", 3, 0}, {"R", 3, 1}})
      p.TOpcPrj::Vars.push_back(TOpcCfgVar{name, "", type, rw});
    p.BuildVars();
    p.NetState = ncsRunning;
  }
  void TearDown() override {
    SetNowSource(nullptr);
    SetSteadySource(nullptr);
  }
  TZelVarItem& Var(size_t i) { return *prj_.Vars[i]; }
  static std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int x : b) s.push_back(char(x));
    return s;
  }
  // A binary read section: status 0, count, then the given values.
  static std::string Section(int count, const std::string& values) {
    return std::string("\x0C\x00", 2) + "\x03" + char(count) + values;
  }
  TOpcSPrj prj_;
  TPushLog push_;
};
}  // namespace

TEST_F(SPrjTest, SetValueConversions) {
  struct Case {
    size_t var;
    double in, stored;
  } cases[] = {{0, 5, 1.0}, {0, -0.5, 1.0}, {1, 2.9, 2.0}, {1, -2.9, -2.0}, {1, 1e12, 2147483647.0}, {2, 2.9, 2.9}};
  for (const Case& c : cases) {
    prj_.WriteQ.clear();
    Var(c.var).Value = 0;
    prj_.SetValue(Var(c.var), c.in);
    EXPECT_EQ(Var(c.var).Value, c.stored) << c.in;
    ASSERT_EQ(prj_.WriteQ.size(), 1u);
    EXPECT_EQ(prj_.WriteQ.back().Value, c.stored);
  }
}

TEST_F(SPrjTest, MergingByWriteOpt) {
  struct Case {
    int opt;
    size_t entries;
    int lock;
    int64_t counted;
  } cases[] = {{0, 1, 1, 1}, {1, 3, 3, 3}, {2, 4, 4, 4}};
  for (const Case& c : cases) {
    TOpcSPrj p;
    p.TOpcPrj::Vars.push_back(TOpcCfgVar{"A", "", 3, 0});
    p.BuildVars();
    p.WriteOpt = c.opt;
    TZelVarItem& v = *p.Vars[0];
    for (double x : {10.0, 11.0, 12.0, 12.0}) p.SetValue(v, x);
    EXPECT_EQ(p.WriteQ.size(), c.entries) << "WriteOpt " << c.opt;
    EXPECT_EQ(p.WriteQ.back().Value, 12.0);
    EXPECT_EQ(v.WriteLock, c.lock);
    EXPECT_EQ(p.ClientWriteCount, c.counted);
    // The value it already holds is no write for 0 and 1.
    p.SetValue(v, 12.0);
    EXPECT_EQ(p.WriteQ.size(), c.entries + (c.opt == 2 ? 1 : 0));
  }
}

TEST_F(SPrjTest, QueueCapDropsTheOldest) {
  prj_.WriteOpt = 2;
  for (int i = 1; i <= 513; ++i) prj_.SetValue(Var(i % 2 ? 2 : 3), i);
  EXPECT_EQ(prj_.WriteQ.size(), 512u);
  EXPECT_EQ(prj_.WriteQ.front().Value, 2.0);
  EXPECT_EQ(Var(2).WriteLock + Var(3).WriteLock, 512);
}

TEST_F(SPrjTest, WriteRequestsInPieces) {
  struct Case {
    int maxLen;
    std::vector<int> pieces;
  } cases[] = {{32, {32, 8}}, {0, {1, 1, 1}}, {-5, {1, 1, 1}}};
  for (const Case& c : cases) {
    TSysOP.WriteMaxLen = c.maxLen;
    TOpcSPrj p;
    p.WriteOpt = 2;
    p.TOpcPrj::Vars.push_back(TOpcCfgVar{"A", "", 3, 0});
    p.BuildVars();
    int total = c.maxLen > 0 ? 40 : 3;
    for (int i = 0; i < total; ++i) p.SetValue(*p.Vars[0], i + 1);
    EXPECT_FALSE(p.IsWriteDue(g_now + 199));
    int64_t t = g_now;
    for (int expected : c.pieces) {
      t += 200;
      ASSERT_TRUE(p.IsWriteDue(t)) << c.maxLen;
      std::string req = p.BuildWriteRequest();
      EXPECT_EQ(req.substr(0, req.find("\r\n")), std::to_string(expected));
      EXPECT_EQ(p.SentQ.size(), size_t(expected));
      EXPECT_FALSE(p.IsWriteDue(t + 1000));  // one request in flight at a time
      EXPECT_EQ(p.BuildWriteRequest(), "");
      int64_t saved = g_now;
      g_now = t;
      EXPECT_TRUE(p.ApplyWriteResult("OK"));
      g_now = saved;
      // The next request waits 200 ms from the answer.
      if (!p.WriteQ.empty()) {
        EXPECT_FALSE(p.IsWriteDue(t + 199));
      }
    }
    EXPECT_TRUE(p.WriteQ.empty());
    EXPECT_EQ(p.Vars[0]->WriteLock, 0);
  }
}

TEST_F(SPrjTest, WritePayloadFormat) {
  prj_.SetValue(Var(2), 0.5);
  prj_.SetValue(Var(1), 7);
  prj_.SetValue(Var(0), 1);
  EXPECT_EQ(prj_.BuildWriteRequest(), "3\r\nA\r\n0.5\r\nL\r\n7\r\nD\r\n1\r\n");
  EXPECT_EQ(FormatWriteValue(1.0 / 3), "0.333333333333333");
  EXPECT_EQ(FormatWriteValue(1e20), "1e+20");
}

TEST_F(SPrjTest, BinaryReads) {
  std::string values = Bytes({0x01, 0x05, 0x2A, 0, 0, 0, 0x0C, 0x00, 0x02});
  TNxMemStream in;
  in.Bytes() = Section(4, values);
  ASSERT_TRUE(prj_.ApplyReadBin(in));
  EXPECT_EQ(in.Position(), in.Size());
  EXPECT_EQ(Var(0).Value, 1.0);
  EXPECT_EQ(Var(1).Value, 42.0);
  EXPECT_FALSE(Var(2).Valid);
  EXPECT_TRUE(Var(3).Valid);
  EXPECT_TRUE(IsGood(Var(0)));
  EXPECT_FALSE(IsGood(Var(2)));
  EXPECT_EQ(push_.pushes[2], std::make_pair(std::string("A"), true));
}

TEST_F(SPrjTest, ReadIgnoredWhileWriteQueued) {
  prj_.SetValue(Var(2), 7.5);
  TNxMemStream in;
  in.Bytes() = Section(4, Bytes({0x00, 0x00, 0x03, 0x09, 0x00}));
  ASSERT_TRUE(prj_.ApplyReadBin(in));
  EXPECT_EQ(Var(2).Value, 7.5);
  EXPECT_TRUE(prj_.ApplyReadText("OK\r\n4\r\n1\r\n2\r\n3\r\n4"));
  EXPECT_EQ(Var(2).Value, 7.5);
  EXPECT_EQ(Var(3).Value, 4.0);
}

TEST_F(SPrjTest, BadReadAnswers) {
  struct Case {
    const char* name;
    std::string bin;  // empty: text
    std::string text;
    int state, err;
  } cases[] = {
      {"first tag not 12", std::string("\x05\0\0\0\0", 5), "", ncsError, nceNotSupported},
      {"status 8", std::string("\x0C\x08", 2), "", ncsReLogin, nceNone},
      {"status 3", std::string("\x0C\x03", 2), "", ncsError, ncePassword},
      {"count differs", Section(3, std::string("\0\0\0", 3)), "", ncsError, nceNotSupported},
      {"section cut short", Section(4, std::string("\0", 1)), "", ncsError, nceNotSupported},
      {"text count differs", "", "OK\r\n3\r\n1\r\n2\r\n3", ncsError, nceVarConfig},
      {"text error item", "", "ERROR\r\n14", ncsError, nceDeviceConn},
      {"text session", "", "ERROR\r\n8", ncsReLogin, nceNone},
  };
  for (const Case& c : cases) {
    TOpcSPrj p;
    Fill(p);
    p.Vars[0]->Valid = true;
    bool ok;
    if (!c.bin.empty()) {
      TNxMemStream in;
      in.Bytes() = c.bin;
      ok = p.ApplyReadBin(in);
    } else {
      ok = p.ApplyReadText(c.text);
    }
    EXPECT_FALSE(ok) << c.name;
    EXPECT_EQ(p.NetState, c.state) << c.name;
    EXPECT_EQ(p.ErrCode, c.err) << c.name;
    // ncsReLogin keeps the values good; an error makes them bad.
    EXPECT_EQ(IsGood(*p.Vars[0]), c.state == ncsReLogin) << c.name;
  }
}

TEST_F(SPrjTest, TextValues) {
  prj_.NetState = ncsStartRW;
  ASSERT_TRUE(prj_.ApplyReadText("OK\r\n4\r\n1\r\nabc\r\n#N/A\r\n-2.5e1"));
  EXPECT_EQ(prj_.NetState, ncsRunning);
  EXPECT_TRUE(Var(1).Valid);
  EXPECT_EQ(Var(1).Value, 0.0);
  EXPECT_FALSE(Var(2).Valid);
  EXPECT_EQ(Var(3).Value, -25.0);
}

TEST_F(SPrjTest, ReadDueAfterWrites) {
  prj_.ReadIntervalMS = 10000;
  prj_.LastRead = g_now;
  EXPECT_FALSE(prj_.IsReadDue(g_now + 2001));
  EXPECT_TRUE(prj_.IsReadDue(g_now + 10000));
  prj_.SetValue(Var(2), 3);  // a write now: reads every 2 s for a minute
  EXPECT_FALSE(prj_.IsReadDue(g_now + 2000));
  EXPECT_TRUE(prj_.IsReadDue(g_now + 2001));
  prj_.LastRead = g_now + 59000;
  EXPECT_FALSE(prj_.IsReadDue(g_now + 61000));  // the minute is over: the interval counts
}

TEST_F(SPrjTest, ResetKeepsWritesUntilTheConfigurationIsGone) {
  struct TCloser : TCloseScheduler {
    int seconds = 0;
    void ScheduleClose(int s) override { seconds = s; }
  } closer;
  prj_.Closer = &closer;
  prj_.SetValue(Var(2), 3);
  // A failed read, a network fault, a lost session: the accepted write stays queued.
  for (int err : {nceNotSupported, nceNetwork, nceDeviceConn}) {
    SetProjectError(prj_, err);
    ASSERT_EQ(prj_.WriteQ.size(), 1u) << err;
    EXPECT_EQ(Var(2).WriteLock, 1) << err;
    EXPECT_FALSE(Var(2).Valid);
  }
  EXPECT_EQ(closer.seconds, 0);
  // The variable list changed: the writes had no place to go any more.
  SetProjectError(prj_, nceVarConfig);
  EXPECT_TRUE(prj_.WriteQ.empty());
  EXPECT_EQ(Var(2).WriteLock, 0);
  EXPECT_EQ(closer.seconds, 10);
}

// What happens to the entries in flight, by the answer of their "W" line.
TEST_F(SPrjTest, WriteAnswers) {
  struct Case {
    const char* name;
    std::string item;  // empty: no answer at all
    bool ok;
    size_t queued;  // entries waiting to go (again) afterwards
    int state, err;
  } cases[] = {
      {"written", "OK\r\n2\r\n0\r\n0", true, 1, ncsRunning, nceNone},
      {"one refused by the device", "OK\r\n2\r\n0\r\n12", true, 1, ncsRunning, nceNone},
      {"session expired", "ERROR\r\n8", false, 3, ncsReLogin, nceNone},
      {"device offline", "ERROR\r\n14", false, 1, ncsError, nceDeviceConn},
      {"no answer", "", true, 3, ncsRunning, nceNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TOpcSPrj p;
    Fill(p);
    p.WriteOpt = 2;
    TSysOP.WriteMaxLen = 2;
    for (double x : {1.0, 2.0, 3.0}) p.SetValue(*p.Vars[2], x);
    ASSERT_EQ(p.BuildWriteRequest(), "2\r\nA\r\n1\r\nA\r\n2\r\n");
    bool ok = true;
    if (c.item.empty()) p.WritesUnanswered();
    else ok = p.ApplyWriteResult(c.item);
    EXPECT_EQ(ok, c.ok);
    EXPECT_TRUE(p.SentQ.empty());
    EXPECT_EQ(p.WriteQ.size(), c.queued);
    EXPECT_EQ(p.Vars[2]->WriteLock, int(c.queued));
    EXPECT_EQ(p.NetState, c.state);
    EXPECT_EQ(p.ErrCode, c.err);
    // Kept entries go out again first, in their order.
    if (c.queued == 3) {
      EXPECT_EQ(p.BuildWriteRequest(), "2\r\nA\r\n1\r\nA\r\n2\r\n");
    }
  }
}

TEST(GroupPath, Split) {
  struct Case {
    const char* group;
    bool use;
    const char* g;
    const char* s;
  } cases[] = {{"A.B.C", true, "A", "B.C"}, {"A.", true, "A", ""}, {".B", true, "", "B"},
               {"A", true, "A", ""},       {"A.B", false, "", ""}, {"", true, "", ""}};
  for (const Case& c : cases) {
    std::string g, s;
    SplitGroupPath(c.group, c.use, g, s);
    EXPECT_EQ(g, c.g) << c.group;
    EXPECT_EQ(s, c.s) << c.group;
  }
}
