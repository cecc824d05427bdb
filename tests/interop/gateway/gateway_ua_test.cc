// The gateway as OPC UA clients see it: the real server process with OPC UA enabled,
// cloudsim as the cloud, node-opcua's client as the peer. Browsing, values and statuses,
// subscriptions, writes that reach the device, a device offline, user and password.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>
#include <functional>
#include <map>

#include "common/platform/clock.h"
#include "common/platform/paths.h"
#include "tests/common/child_process.h"
#include "tests/common/cloudsim_fixture.h"
#include "tests/common/free_port.h"
#include "tests/common/log_receiver.h"
#include "tests/common/sim_plant.h"
#include "tests/common/test_env.h"
#include "tests/common/text_fields.h"

namespace {
const std::string kServer = std::string(ZEL_BIN_DIR) + "/ZelOpcServer3";

class GatewayUa : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(ZEL_NODE_MODULES "/node-opcua")) GTEST_SKIP() << "node-opcua is not installed";
    std::filesystem::create_directories(dir_ / "ZelOPC3");
    ASSERT_TRUE(sim_.Start(dir_, SimPlant(2), {"--write-config", dir_ / "ZelOPC3/ZelOpc.Dat"}));
  }
  void TearDown() override {
    if (server_.Running()) server_.Signal(SIGTERM);
    server_.Wait(5000);
  }
  void Start(const std::string& user = "", const std::string& pass = "") {
    port_ = FreePort();
    dir_.Write("ZelOPC3/config.ini", "[SYS]\nLogWebErr=1\nErrorRetrySec=20\n[OPCUA]\nEnable=1\nPort=" +
                                         std::to_string(port_) + "\nDispAddFolder=1\nLogLevel=0\nUser=" + user +
                                         "\nPass=" + pass + "\n");
    ASSERT_TRUE(server_.Start(kServer, {}, {log_.Env()}, dir_ / "server.txt"));
    // Ready once a client gets a session (the certificate is made at the first start).
    ASSERT_TRUE(Until([&] { return Client({"connect"}, user, pass) != std::vector<std::string>{}; }, 20000))
        << server_.Output();
  }
  // One run of the node client; its output lines.
  std::vector<std::string> Client(const std::vector<std::string>& cmd, const std::string& user = "",
                                  const std::string& pass = "") {
    std::vector<std::string> args{"node", ZEL_UA_CLIENT_JS, "opc.tcp://127.0.0.1:" + std::to_string(port_)};
    if (!user.empty() || !pass.empty()) args.insert(args.end(), {"--user", user, "--pass", pass});
    args.insert(args.end(), cmd.begin(), cmd.end());
    TChildProcess node;
    const std::string out = dir_ / "node.txt";
    if (!node.Start("/usr/bin/env", args,
                    {"NODE_PATH=" ZEL_NODE_MODULES, "HOME=" + dir_.path(), "XDG_CONFIG_HOME=" + dir_ / "config"}, out))
      return {};
    if (!node.Wait(30000)) return {};
    std::vector<std::string> lines;
    std::istringstream in(node.Output());
    for (std::string l; std::getline(in, l);)
      if (!l.empty() && l.find("node-opcua") == std::string::npos) lines.push_back(l);
    if (!lines.empty() && lines[0].rfind("error connect", 0) == 0) return {};
    return lines;
  }
  // value and status name of one node
  std::pair<std::string, std::string> Read(const std::string& id) {
    for (const auto& l : Client({"read", id})) {
      auto f = Fields(l);
      if (f.size() == 3 && f[0] == id) return {f[1], f[2]};
    }
    return {};
  }
  bool Until(const std::function<bool()>& pred, int ms) {
    const int64_t until = MonotonicMs() + ms;
    while (MonotonicMs() < until) {
      if (pred()) return true;
      if (!server_.Running()) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
  }

  TTempDir dir_;
  TScopedEnv root_{"ZELOPC_DATA_ROOT", dir_.path()};
  TScopedEnv runtime_{"XDG_RUNTIME_DIR", dir_.path()};
  TLogReceiver log_;
  TCloudSim sim_;
  TChildProcess server_;
  int port_ = 0;
};
}  // namespace

TEST_F(GatewayUa, BrowseReadSubscribeAndWrite) {
  Start();
  // Every configured variable under its device and group folders.
  std::map<std::string, std::string> vars;
  std::vector<std::string> folders;
  for (const auto& l : Client({"browse"})) {
    if (l.rfind("var ", 0) == 0) {
      auto f = Fields(l.substr(4));
      if (f.size() == 2) vars[f[0]] = f[1];
    } else if (l.rfind("folder ", 0) == 0) {
      folders.push_back(l.substr(7));
    }
  }
  const std::map<std::string, std::string> want = {
      {"Dev1.G1.Count", "Dev1/G1/Dev1_G1_Count"}, {"Dev1.G1.S.Set", "Dev1/G1/S/Dev1_G1_S_Set"},
      {"Dev1.On", "Dev1/Dev1_On"},               {"Dev2.G1.Count", "Dev2/G1/Dev2_G1_Count"},
      {"Dev2.G1.S.Set", "Dev2/G1/S/Dev2_G1_S_Set"}, {"Dev2.On", "Dev2/Dev2_On"}};
  // Browse names are the variable names; the paths above use display names only where
  // the browse result gives them, so compare the node ids and the folder chain.
  for (const auto& [id, path] : want) {
    ASSERT_EQ(vars.count(id), 1u) << id;
    EXPECT_EQ(vars[id].substr(0, vars[id].rfind('/')), path.substr(0, path.rfind('/'))) << id;
  }
  EXPECT_EQ(vars.size(), want.size());

  // Values and statuses as the device has them.
  ASSERT_TRUE(Until([&] { return Read("Dev1.G1.S.Set") == std::make_pair(std::string("1.5"), std::string("Good")); },
                    15000))
      << Read("Dev1.G1.S.Set").first << " " << Read("Dev1.G1.S.Set").second;
  EXPECT_EQ(Read("Dev2.On").second, "Good");

  // A subscription follows the device's counter.
  std::vector<double> seen;
  for (const auto& l : Client({"watch", "Dev1.G1.Count", "3000"})) {
    auto f = Fields(l);
    if (f.size() == 3 && f[0] == "change" && f[2] == "Good") seen.push_back(std::strtod(f[1].c_str(), nullptr));
  }
  ASSERT_GE(seen.size(), 3u);
  for (size_t i = 1; i < seen.size(); ++i) EXPECT_GT(seen[i], seen[i - 1]);

  // A client write reaches the device as a write of that variable.
  auto w = Client({"write", "Dev2.G1.S.Set", "42.5"});
  ASSERT_EQ(w, std::vector<std::string>{"Good"});
  ASSERT_TRUE(Until([&] {
    return sim_.Control("writes").find("\"device\":\"1002\",\"name\":\"Set\",\"value\":\"42.5\"") != std::string::npos;
  }, 10000)) << sim_.Control("writes");
  ASSERT_TRUE(Until([&] { return Read("Dev2.G1.S.Set").first == "42.5"; }, 10000));
  // A read-only variable refuses.
  EXPECT_EQ(Client({"write", "Dev1.G1.Count", "7"}), std::vector<std::string>{"BadNotWritable"});
}

TEST_F(GatewayUa, DeviceOfflineTurnsItsVariablesBad) {
  Start();
  ASSERT_TRUE(Until([&] { return Read("Dev1.G1.Count").second == "Good"; }, 15000));
  sim_.Control("offline?device=1001&mode=error");
  ASSERT_TRUE(Until([&] { return Read("Dev1.G1.Count").second == "BadCommunicationError"; }, 15000))
      << Read("Dev1.G1.Count").second;
  EXPECT_EQ(Read("Dev1.G1.Count").first, "null");
  EXPECT_EQ(Read("Dev2.G1.Count").second, "Good");  // the other device goes on
  sim_.Control("online?device=1001");
  ASSERT_TRUE(Until([&] { return Read("Dev1.G1.Count").second == "Good"; }, 40000));
}

TEST_F(GatewayUa, UserAndPasswordWhenSet) {
  Start("operator", "s3cret");
  struct Case {
    std::string user, pass, want;  // the answer starts with want
  } cases[] = {
      {"operator", "s3cret", "ok"},
      {"operator", "wrong", "error BadUserAccessDenied"},
      // Anonymous: the endpoints offer no anonymous token, so no session either way.
      {"", "", "error"},
  };
  for (const auto& c : cases) {
    auto out = Client({"connect"}, c.user, c.pass);
    ASSERT_FALSE(out.empty()) << c.user << "/" << c.pass;
    EXPECT_EQ(out[0].rfind(c.want, 0), 0u) << out[0];
  }
}

TEST_F(GatewayUa, UnknownClientCertificateIsTrustedByMovingIt) {
  Start();
  const std::filesystem::path cert = dir_.path() + "/ZelOPC3/cert";
  auto files = [&](const char* folder) {
    std::vector<std::filesystem::path> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(cert / folder, ec)) out.push_back(e.path());
    return out;
  };
  auto out = Client({"--secure", "connect"});
  ASSERT_FALSE(out.empty());
  EXPECT_NE(out[0], "ok");
  const auto rejected = files("rejected");
  ASSERT_EQ(rejected.size(), 1u) << server_.Output();
  EXPECT_TRUE(files("trust").empty());
  // The administrator's move counts without a restart.
  std::filesystem::rename(rejected[0], cert / "trust" / rejected[0].filename());
  EXPECT_TRUE(Until([&] { auto r = Client({"--secure", "connect"}); return !r.empty() && r[0] == "ok"; }, 20000));
}
