#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "common/log/link_texts.h"
#include "common/log/log_datagram.h"
#include "common/log/server_log.h"
#include "common/settings/sys_config.h"
#include "tests/common/test_env.h"

namespace {
// A real UDP receiver on an ephemeral port; the sender follows ZELOPC_LOG_PORT.
class LogChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sock_ = socket(AF_INET, SOCK_DGRAM, 0);
    int size = 8 << 20;  // room for a burst of datagrams
    setsockopt(sock_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(sock_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    getsockname(sock_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = std::make_unique<TScopedEnv>("ZELOPC_LOG_PORT", std::to_string(ntohs(a.sin_port)));
  }
  void TearDown() override { close(sock_); }
  std::string Receive() {
    pollfd p{sock_, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return {};
    char buf[65536];
    ssize_t n = recv(sock_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, size_t(n)) : std::string();
  }
  int sock_ = -1;
  std::unique_ptr<TScopedEnv> port_;
};
}  // namespace

TEST_F(LogChannelTest, DatagramLayout) {
  TServerLog log;
  ASSERT_TRUE(log.Open(kLogSourceServer));
  ASSERT_TRUE(log.Send("", 0));
  std::string d = Receive();
  ASSERT_EQ(d.size(), 20u);
  EXPECT_EQ(uint8_t(d[0]), 0x7B);
  EXPECT_EQ(uint8_t(d[1]), 0xFF);
  EXPECT_EQ(d.substr(4, 4), std::string("\x01\0\0\0", 4));  // first sequence number 1
  EXPECT_EQ(d.substr(16, 4), std::string("\x02\0\0\0", 4));  // length 2, one zero unit

  ASSERT_TRUE(log.Send(std::string(5000, 'a'), 5));
  d = Receive();
  ASSERT_EQ(d.size(), 4020u);
  TLogDatagram p;
  ASSERT_TRUE(ParseLogDatagram(reinterpret_cast<const uint8_t*>(d.data()), d.size(), p));
  EXPECT_EQ(p.level, 5);
  EXPECT_EQ(p.seq, 2);
  EXPECT_EQ(p.text, std::string(2000, 'a'));
  EXPECT_EQ(d.substr(4018), std::string("\0\0", 2));

  ASSERT_TRUE(log.Send("中文", 3));
  d = Receive();
  ASSERT_TRUE(ParseLogDatagram(reinterpret_cast<const uint8_t*>(d.data()), d.size(), p));
  EXPECT_EQ(p.text, "中文");
  EXPECT_EQ(d.size(), 18u + 6u);
}

TEST_F(LogChannelTest, ConcurrentSendsStayWhole) {
  TServerLog log;
  ASSERT_TRUE(log.Open(kLogSourceManager));
  auto sender = [&](char c) {
    for (int i = 0; i < 100; ++i) log.Send(std::string(100, c), 0);
  };
  std::thread a(sender, 'a'), b(sender, 'b');
  a.join();
  b.join();
  std::vector<bool> seen(201, false);
  for (int i = 0; i < 200; ++i) {
    std::string d = Receive();
    TLogDatagram p;
    ASSERT_TRUE(ParseLogDatagram(reinterpret_cast<const uint8_t*>(d.data()), d.size(), p));
    EXPECT_TRUE(p.text == std::string(100, 'a') || p.text == std::string(100, 'b'));
    ASSERT_GE(p.seq, 1);
    ASSERT_LE(p.seq, 200);
    EXPECT_FALSE(seen[size_t(p.seq)]);
    seen[size_t(p.seq)] = true;
  }
}

TEST_F(LogChannelTest, UALogMapping) {
  ASSERT_TRUE(g_ServerLog.Open(kLogSourceServer));
  struct Case {
    int logLevel, category, severity;
    const char* text;  // nullptr: nothing sent
    int level;
  } cases[] = {
      {1, 3, 2, "[server]m", 8},   {1, 3, 1, nullptr, 0},       {0, 3, 4, nullptr, 0},
      {2, 3, 1, "[server]m", 7},   {2, -1, 2, "#errortypem", 8}, {2, 12, 2, "#errortypem", 8},
      {2, 999, 5, "[log]m", 10},   {2, 0, 999, "[network]m", 11}, {2, 6, 7, "[sec_policy]m", 11},
  };
  for (const Case& c : cases) {
    OnUALogAt(c.logLevel, c.category, c.severity, "m");
    g_ServerLog.Send("marker", 1);
    TLogDatagram p;
    std::string d = Receive();
    ASSERT_TRUE(ParseLogDatagram(reinterpret_cast<const uint8_t*>(d.data()), d.size(), p));
    if (!c.text) {
      EXPECT_EQ(p.text, "marker") << c.category << "/" << c.severity;
      continue;
    }
    EXPECT_EQ(p.text, c.text);
    EXPECT_EQ(p.level, c.level);
    d = Receive();  // the marker
  }
  g_ServerLog.Close();
}

TEST(LinkTexts, TagsAndTexts) {
  EXPECT_EQ(StateText(5), "正常运行");
  EXPECT_EQ(StateText(7), "#ERROR");
  EXPECT_EQ(ErrText(9), "#错误");
  EXPECT_EQ(ErrText(nceNetwork, -12029), "网络通讯故障#12029");
  EXPECT_EQ(ErrText(nceNetwork, 0), "网络通讯故障");
  EXPECT_EQ(LogTagText("[DoRead]", "Pump", "1001", ncsRunning, 0, 0), "[DoRead]Pump:1001");
  EXPECT_EQ(LogTagText("[T]", "Pump", "1001", ncsError, ncePassword, 0), "[T]Pump:1001,[错误]ERR:序号密码错误,");
}

// The journal line of each log level: the priority the journal files it under, and a
// text that stays one line whatever it holds.
TEST(JournalLine, PriorityPerLevelAndOneLinePerText) {
  struct {
    uint16_t level;
    const char* text;
    const char* line;
  } cases[] = {
      {0, "ZelOpcServer_V3 Start!", "<6>ZelOpcServer_V3 Start!\n"},
      {5, "HttpError:[12029]", "<3>HttpError:[12029]\n"},
      {3, "write", "<7>write\n"},
      {4, "[DoRead]", "<7>[DoRead]\n"},
      {6, "trace", "<7>trace\n"},
      {8, "[server]info", "<6>[server]info\n"},
      {9, "warn", "<4>warn\n"},
      {10, "error", "<3>error\n"},
      {11, "system", "<2>system\n"},
      {5, "a\nb\r\tc\x7f", "<3>a\\x0Ab\\x0D\\x09c\\x7F\n"},  // a text cannot forge a second entry
      {0, "", "<6>\n"},
      {0, "泵站", "<6>泵站\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(JournalLine(c.text, c.level), c.line) << c.level << " " << c.text;
}
