// Data servers driving server projects, with hand-made batch results: how read and
// write answers reach the projects, display names that collide, stale batches, and
// data servers that no project uses any more.
#include <gtest/gtest.h>

#include <thread>

#include "common/link/data_server.h"
#include "common/link/link_state.h"
#include "common/link/login.h"
#include "common/log/link_texts.h"
#include "common/settings/sys_config.h"
#include "server/runtime/zel_main.h"
#include "tests/common/test_clock.h"

namespace {
// Nothing listens there: a batch sent to it fails at once.
const std::string kDeadUrl = "http://127.0.0.1:1";

std::string Marker() { return std::string(kBatchMarker); }
// A binary read section: status 0, a count, then 32-bit floats (tag 7).
std::string Section(int count, std::initializer_list<float> values) {
  std::string s("\x0C\x00\x03", 3);
  s += char(count);
  for (float f : values) {
    s += '\x07';
    s.append(reinterpret_cast<const char*>(&f), 4);
  }
  return s;
}
const std::string kTrailer(2, '\0');  // the end of every batch result

class DataLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TSysOP = TSysOPRecord{};
    TSysOP.RetryAttempts = 1;
    TSysOP.LogWebErr = 1;
    g_DataServerMgr = std::make_unique<TDataServerMgr>();
  }
  void TearDown() override { g_DataServerMgr.reset(); }

  // A running project with the variables Pressure and Setpoint, attached to ds.
  TOpcSPrj& AddPrj(const std::string& name, const std::string& dispName, TOpcDataServer* ds = nullptr) {
    main_.Prjs.push_back(main_.NewPrj());
    auto& p = static_cast<TOpcSPrj&>(*main_.Prjs.back());
    p.Name = name;
    p.DispName = dispName;
    p.SID = "sid-" + name;
    p.DataUrl = kDeadUrl;
    p.LinkMode = lmRun;
    p.TOpcPrj::Vars = {{"Pressure", "", 3, 1}, {"Setpoint", "", 3, 0}};
    p.BuildVars();
    p.NetState = ncsEnum;
    if (ds) {
      EXPECT_TRUE(ds->AddProject(p));
      p.NetState = ncsRunning;
    }
    return p;
  }
  static bool WaitDone(TOpcDataThread& t) {
    for (int i = 0; i < 1000 && !t.IsDone(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return t.IsDone();
  }

  TTestClocks clocks_{1000000000, 5000000};
  TZelMain main_;
};
}  // namespace

// A section cut short never borrows bytes from what follows it (the next marker, or the
// two zero bytes that end the result): its project fails, the others read on.
TEST_F(DataLinkTest, SectionCutShortInsideABatchResult) {
  struct Case {
    const char* name;
    bool cutFirst;  // the cut section comes first (the next marker follows it) or last
  } cases[] = {{"last section, before the two zero bytes", false}, {"first section, before a marker", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    main_.Prjs.clear();
    TOpcDataServer ds(kDeadUrl);
    TOpcSPrj& good = AddPrj("1001", "Good", &ds);
    TOpcSPrj& cut = AddPrj("1002", "Cut", &ds);
    std::string whole = Section(2, {1.5f, 2.5f});
    std::string cutShort = Section(2, {7.0f});
    cutShort += std::string("\x07\x00\x00", 3);  // the second float lacks two bytes
    TOpcDataThread& t = ds.Reader();
    t.Projects = c.cutFirst ? std::vector<TOpcPrj*>{&cut, &good} : std::vector<TOpcPrj*>{&good, &cut};
    t.Result = c.cutFirst ? Marker() + cutShort + Marker() + whole + kTrailer
                          : Marker() + whole + Marker() + cutShort + kTrailer;
    t.HttpStatus = 200;
    t.BinaryMode = true;
    ds.ProcessReadResult(clocks_.Steady());

    EXPECT_EQ(cut.NetState, ncsError);
    EXPECT_EQ(cut.ErrCode, nceNotSupported);
    for (auto& v : cut.Vars) EXPECT_FALSE(IsGood(*v)) << v->Name;
    EXPECT_EQ(good.NetState, ncsRunning);
    EXPECT_EQ(good.Vars[0]->Value, 1.5);
    EXPECT_EQ(good.Vars[1]->Value, 2.5);
    EXPECT_TRUE(IsGood(*good.Vars[1]));
  }
}

// A failed read keeps the accepted writes; the write goes out once the project reads
// again, and its answer releases it.
TEST_F(DataLinkTest, ReadFailureWithinTheWriteDelayKeepsTheWrite) {
  TOpcDataServer ds(kDeadUrl);
  TOpcSPrj& p = AddPrj("1001", "Dev", &ds);
  p.SetValue(*p.Vars[1], 42);
  TOpcDataThread& t = ds.Reader();
  t.Projects = {&p};
  t.Result = Marker() + Section(2, {1.0f}) + kTrailer;  // cut short
  t.HttpStatus = 200;
  t.BinaryMode = true;
  ds.ProcessReadResult(clocks_.Steady());
  ASSERT_EQ(p.NetState, ncsError);
  ASSERT_EQ(p.WriteQ.size(), 1u);
  EXPECT_EQ(p.Vars[1]->WriteLock, 1);
  // In error nothing is written; once running again the kept write goes out.
  clocks_.Advance(kWriteDelayMs);
  ds.SendWrites(clocks_.Steady());
  EXPECT_FALSE(ds.Writer().IsBusy());
  p.NetState = ncsRunning;
  ds.SendWrites(clocks_.Steady());
  ASSERT_TRUE(ds.Writer().IsBusy());
  ASSERT_EQ(ds.Writer().Lines.size(), 1u);
  EXPECT_NE(ds.Writer().Lines[0].find("\r\n1\r\nSetpoint\r\n42\r\n"), std::string::npos) << ds.Writer().Lines[0];
  ASSERT_TRUE(WaitDone(ds.Writer()));
}

// The entries of a "W" line, by the answer of its batch.
TEST_F(DataLinkTest, WriteBatchAnswers) {
  struct Case {
    const char* name;
    int32_t http;
    std::string result;  // after the marker; empty: none
    size_t queued;       // entries waiting to go again
    int state;
    bool relogin;
  } cases[] = {
      {"written", 200, "OK\r\n1\r\n0", 0, ncsRunning, false},
      {"session expired", 200, "ERROR\r\n8", 1, ncsReLogin, true},
      {"device offline", 200, "ERROR\r\n14", 0, ncsError, false},
      {"connection failed", -12029, "", 1, ncsError, false},
      {"answer without the item", 200, "", 1, ncsError, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    main_.Prjs.clear();
    main_.RetryList.clear();
    main_.ReLoginList.clear();
    TOpcDataServer ds(kDeadUrl);
    TOpcSPrj& p = AddPrj("1001", "Dev", &ds);
    p.SetValue(*p.Vars[1], 42);
    std::string payload = p.BuildWriteRequest();
    TOpcDataThread& t = ds.Writer();
    t.QueueOp(p, "W", payload);
    t.Result = c.http < 0 ? kTrailer : Marker() + c.result + kTrailer;
    t.HttpStatus = c.http;
    ds.ProcessWriteResult(clocks_.Steady());
    EXPECT_TRUE(p.SentQ.empty());
    EXPECT_EQ(p.WriteQ.size(), c.queued);
    EXPECT_EQ(p.Vars[1]->WriteLock, int(c.queued));
    EXPECT_EQ(p.NetState, c.state);
    EXPECT_EQ(main_.ReLoginList.size(), c.relogin ? 1u : 0u);
  }
}

TEST_F(DataLinkTest, SameDisplayNameOnOneDataServerIsReported) {
  TOpcSPrj& first = AddPrj("1001", "Pump");
  TOpcSPrj& second = AddPrj("1002", "Pump");
  EXPECT_EQ(AttachLoggedIn(main_, {&first, &second}), 1);
  TOpcDataServer* ds = g_DataServerMgr->FindServer(kDeadUrl);
  ASSERT_TRUE(ds);
  EXPECT_TRUE(ds->Has(first));
  EXPECT_FALSE(ds->Has(second));
  // Not a silent "fetching variables": an error, and the login retry takes it up again.
  EXPECT_EQ(second.NetState, ncsError);
  EXPECT_EQ(second.ErrCode, nceDeviceId);
  EXPECT_TRUE(second.SID.empty());
  ASSERT_EQ(main_.RetryList.size(), 1u);
  EXPECT_EQ(main_.RetryList[0], &second);
}

// A batch that finished while its data server had no project is dropped, so it cannot
// fail the next project; a data server left without projects goes.
TEST_F(DataLinkTest, FinishedBatchWithoutProjectsAndUnusedDataServers) {
  TOpcSPrj& old = AddPrj("1001", "Old");
  ASSERT_TRUE(g_DataServerMgr->AddProject(old));
  TOpcDataServer* ds = g_DataServerMgr->FindServer(kDeadUrl);
  ASSERT_TRUE(ds);
  old.NetState = ncsRunning;
  ds->SendEnumsAndReads(clocks_.Steady());
  ASSERT_TRUE(ds->Reader().IsBusy());
  ASSERT_TRUE(g_DataServerMgr->DetachProject(old));  // e.g. its session expired
  ASSERT_TRUE(WaitDone(ds->Reader()));                // the read failed: no connection
  ASSERT_EQ(ds->Reader().HttpStatus, -12029);

  ds->Step(clocks_.Steady());  // nothing attached: the stale result goes
  EXPECT_FALSE(ds->Reader().IsBusy());
  // A project logged in afterwards starts with a batch of its own, not the old failure.
  TOpcSPrj& fresh = AddPrj("1002", "Fresh");
  ASSERT_TRUE(g_DataServerMgr->AddProject(fresh));
  g_DataServerMgr->Step(clocks_.Steady());
  EXPECT_EQ(fresh.NetState, ncsEnum);
  EXPECT_TRUE(main_.RetryList.empty());
  EXPECT_EQ(g_DataServerMgr->Count(), 1u);

  // Left without projects, the data server goes once its batch is over.
  ASSERT_TRUE(g_DataServerMgr->DetachProject(fresh));
  ASSERT_TRUE(WaitDone(ds->Reader()));
  g_DataServerMgr->Step(clocks_.Steady());
  EXPECT_EQ(g_DataServerMgr->Count(), 0u);
}
