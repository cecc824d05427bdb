// The real server's Modbus TCP listener over cloudsim, with real clients: libmodbus (C)
// and pymodbus read every variable of a three-device plant by its exported address,
// writes reach the devices, the error rules and the status registers hold, and hostile
// clients (silent, garbage, unfinished, not reading, a flood of connections) cost the
// others nothing.
#include <arpa/inet.h>
#include <modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "common/config/cfg_file.h"
#include "common/log/link_texts.h"
#include "common/platform/clock.h"
#include "common/platform/paths.h"
#include "common/platform/window_channel.h"
#include "tests/common/child_process.h"
#include "tests/common/cloudsim_fixture.h"
#include "tests/common/free_port.h"
#include "tests/common/log_receiver.h"
#include "tests/common/plant_archive.h"
#include "tests/common/loopback_client.h"
#include "tests/common/sim_plant.h"
#include "tests/common/test_env.h"
#include "tests/common/text_fields.h"

namespace {
const std::string kServer = std::string(ZEL_BIN_DIR) + "/ZelOpcServer3";
const std::string kHere = std::string(ZEL_SOURCE_DIR) + "/tests/integration/modbus";

// Three devices, each with a counter (INT32), a writable float, a writable switch and a
// writable integer.
std::string Plant() {
  std::string d;
  for (int i = 1; i <= 3; ++i) {
    if (i > 1) d += ",";
    d += SimDevice(i, (i - 1) % 2,
                   SimVar("Count", "I", "R", "G1", "counter", 0) + "," + SimVar("Set", "F", "W", "G1.S", "constant", 1.5) +
                       "," + SimVar("On", "B", "W", "", "constant", 0) + "," +
                       SimVar("Level", "I", "W", "", "constant", 10 * i));
  }
  return "{\"dataServers\":2,\"sessionTimeoutMs\":600000,\"devices\":[" + d + "]}";
}

struct TPair {
  int reg = 0;
  std::string type, var, device;
};

// A libmodbus client on the server's port.
class TClient {
 public:
  explicit TClient(int port) : ctx_(modbus_new_tcp("127.0.0.1", port)) {
    modbus_set_response_timeout(ctx_, 10, 0);
    connected_ = modbus_connect(ctx_) == 0;
  }
  ~TClient() {
    modbus_close(ctx_);
    modbus_free(ctx_);
  }
  bool Connected() const { return connected_; }
  // Registers of a 1-based register number; the Modbus exception as errno on failure.
  bool Read(int reg, int count, std::vector<uint16_t>& out, int* error = nullptr) {
    out.assign(size_t(count), 0);
    int n = modbus_read_registers(ctx_, reg - 1, count, out.data());
    if (error) *error = n < 0 ? errno : 0;
    return n == count;
  }
  int Write(int reg, const std::vector<uint16_t>& words) {
    int n = words.size() == 1 ? modbus_write_register(ctx_, reg - 1, words[0])
                              : modbus_write_registers(ctx_, reg - 1, int(words.size()), words.data());
    return n < 0 ? errno : 0;
  }
  modbus_t* Ctx() { return ctx_; }

 private:
  modbus_t* ctx_;
  bool connected_ = false;
};

double Decode(const std::string& type, const uint16_t* w) {
  uint32_t bits = uint32_t(w[0]) | uint32_t(w[1]) << 16;
  if (type == "FLOAT32") {
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
  }
  return int32_t(bits);
}

class ModbusE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim_.Start(dir_, Plant()));
    port_ = FreePort();
    ASSERT_GT(port_, 0);
    WriteConfig("");  // also makes the data directory
  }
  void TearDown() override {
    if (server_.Running()) server_.Signal(SIGTERM);
    server_.Wait(10000);
  }
  std::string DataFile(const char* name) const { return dir_ / (std::string("ZelOPC3/") + name); }
  void WriteConfig(const std::string& modbus) {
    dir_.Write("ZelOPC3/config.ini", "[SYS]\nLogWebErr=1\nErrorRetrySec=20\n[OPCUA]\nEnable=0\n" + modbus);
  }
  void WriteEnabled(const std::string& extra = "") {
    WriteConfig("[MODBUS]\nEnable=1\nPort=" + std::to_string(port_) + "\nBind=127.0.0.1\nIdleSeconds=3\n" + extra);
  }
  void WritePlant() {
    std::string error;
    ASSERT_TRUE(WriteSimPlantArchive(sim_, DataFile("ZelOpc.Dat"), 3,
                                     {{"Count", "G1", 2, 1}, {"Set", "G1.S", 3, 0}, {"On", "", 1, 0}, {"Level", "", 2, 0}},
                                     error))
        << error;
  }
  void Start(std::vector<std::string> args = {"-K"}) {
    ASSERT_TRUE(server_.Start(kServer, args, {log_.Env()}, dir_ / "server.txt"));
  }
  std::vector<std::string> Request(const std::string& what) {
    std::vector<std::string> lines;
    if (!WindowRequest("TfrmOpcServer3Main", "$ZEL_OPC_SERVER3$", what, lines, 3000)) lines.clear();
    return lines;
  }
  bool Until(const std::function<bool()>& pred, int ms) {
    const int64_t until = MonotonicMs() + ms;
    while (MonotonicMs() < until) {
      if (pred()) return true;
      if (!server_.Running()) return pred();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  std::string State(const std::string& dev) {
    for (const auto& l : Request("status"))
      if (Fields(l).size() > 3 && Fields(l)[1] == dev) return Fields(l)[2];
    return "";
  }
  bool AllRunning() {
    for (const char* d : {"1001", "1002", "1003"})
      if (State(d) != StateText(ncsRunning)) return false;
    return true;
  }
  // The server's value of one variable (what its clients see).
  bool ServerValue(const std::string& device, const std::string& var, double& value) {
    for (const auto& l : Request("values")) {
      auto f = Fields(l);
      if (f.size() == 4 && f[0] == device && f[1] == var && f[3] == "good") {
        value = std::strtod(f[2].c_str(), nullptr);
        return true;
      }
    }
    return false;
  }
  double SimValue(const std::string& device, const std::string& var) {
    std::string v = sim_.Control("value?device=" + device + "&name=" + var);
    size_t p = v.find("\"value\":");
    if (p == std::string::npos) return NAN;
    p += 8;
    if (v[p] == '"') ++p;
    return std::strtod(v.c_str() + p, nullptr);
  }
  // The exported CSV's variable lines.
  std::vector<TPair> ExportedPairs() {
    TChildProcess zelcfg;
    EXPECT_TRUE(zelcfg.Start(std::string(ZEL_BIN_DIR) + "/zelcfg",
                             {"modbus-export", DataFile("ZelOpc.Dat"), dir_ / "table.csv"}));
    int code = -1;
    EXPECT_TRUE(zelcfg.Wait(10000, &code));
    EXPECT_EQ(code, 0);
    std::string csv;
    EXPECT_TRUE(ReadFileBytes(dir_ / "table.csv", csv));
    std::vector<TPair> pairs;
    std::istringstream in(csv);
    std::string line;
    std::getline(in, line);  // the title line
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::vector<std::string> f(1);
      for (char c : line) {
        if (c == ',') f.emplace_back();
        else f.back().push_back(c);
      }
      if (f.size() == 6 && f[1] != "UINT16") pairs.push_back({std::stoi(f[0]), f[1], f[2], f[4]});
    }
    return pairs;
  }
  std::string Diagnose() { return "server output:\n" + server_.Output() + "\ncounters: " + sim_.Control("counters"); }
  bool Connectable() {
    TClient c(port_);
    return c.Connected();
  }

  TTempDir dir_;
  TScopedEnv root_{"ZELOPC_DATA_ROOT", dir_.path()};
  TScopedEnv runtime_{"XDG_RUNTIME_DIR", dir_.path()};
  TLogReceiver log_;
  TCloudSim sim_;
  TChildProcess server_;
  int port_ = 0;
};

TEST_F(ModbusE2E, ShippedConfigurationListensNowhereEvenWithAPort) {
  WritePlant();
  std::string shipped;
  ASSERT_TRUE(ReadFileBytes(std::string(ZEL_SOURCE_DIR) + "/server/ship/config.ini", shipped));
  dir_.Write("ZelOPC3/config.ini", shipped);
  Start({"-K", "-M", std::to_string(port_)});
  ASSERT_TRUE(Until([&] { return AllRunning(); }, 20000)) << Diagnose();
  EXPECT_FALSE(Connectable());
}

TEST_F(ModbusE2E, PortInUseIsReportedAndTheServerRunsOn) {
  WritePlant();
  WriteEnabled();
  int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port_));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(taken, 1), 0);
  Start();
  ASSERT_TRUE(Until([&] { return AllRunning(); }, 20000)) << Diagnose();
  EXPECT_NE(server_.Output().find("服务器无法启动! 端口被占用:" + std::to_string(port_)), std::string::npos)
      << server_.Output();
  close(taken);
}

TEST_F(ModbusE2E, ExportMatchesTheCheckedInTables) {
  WritePlant();
  for (const char* name : {"table.csv", "table.htm"}) {
    TChildProcess zelcfg;
    ASSERT_TRUE(zelcfg.Start(std::string(ZEL_BIN_DIR) + "/zelcfg", {"modbus-export", DataFile("ZelOpc.Dat"), dir_ / name}));
    int code = -1;
    ASSERT_TRUE(zelcfg.Wait(10000, &code));
    ASSERT_EQ(code, 0);
    std::string got, expected;
    ASSERT_TRUE(ReadFileBytes(dir_ / name, got));
    // ZEL_UPDATE_EXPECTED=1 rewrites the checked-in tables after a deliberate change.
    if (std::getenv("ZEL_UPDATE_EXPECTED")) {
      ASSERT_TRUE(WriteFileAtomic(kHere + "/expected_" + name, got));
    }
    ASSERT_TRUE(ReadFileBytes(kHere + "/expected_" + name, expected)) << name;
    EXPECT_EQ(got, expected) << name;
  }
}

TEST_F(ModbusE2E, ClientsReadEveryVariableByItsExportedAddress) {
  WritePlant();
  WriteEnabled();
  // Values that tell the types apart: a negative float, a switch on, a negative integer.
  sim_.Control("set?device=1003&name=Set&value=-2.25");
  sim_.Control("set?device=1002&name=On&value=1");
  sim_.Control("set?device=1001&name=Level&value=-70000");
  Start();
  ASSERT_TRUE(Until([&] { return AllRunning(); }, 20000)) << Diagnose();
  double v = 0;
  ASSERT_TRUE(Until([&] { return ServerValue("1001", "Level", v) && v == -70000; }, 10000)) << Diagnose();
  std::vector<TPair> pairs = ExportedPairs();
  ASSERT_EQ(pairs.size(), 12u);

  TClient c(port_);
  ASSERT_TRUE(c.Connected());
  std::vector<std::string> pyArgs{"/usr/bin/python3", kHere + "/pymodbus_read.py", std::to_string(port_)};
  for (const TPair& p : pairs) {
    std::vector<uint16_t> w;
    ASSERT_TRUE(c.Read(p.reg, 2, w)) << p.reg;
    double got = Decode(p.type, w.data());
    double sim = SimValue(p.device, p.var);
    if (p.var == "Count") {
      // A counter: the server's value is one the device had, never ahead of it.
      EXPECT_EQ(p.type, "INT32");
      EXPECT_LE(got, sim) << p.device;
      EXPECT_GE(got, 0) << p.device;
    } else {
      EXPECT_EQ(got, sim) << p.device << " " << p.var;
    }
    pyArgs.push_back(std::to_string(p.reg) + ":" + p.type);
  }
  std::vector<uint16_t> status;
  ASSERT_TRUE(c.Read(64001, 3, status));
  EXPECT_EQ(status, (std::vector<uint16_t>{0, 0, 0}));

  // pymodbus sees the same values (counters aside), decoded from the same word order.
  pyArgs.push_back("64001:UINT16");
  TChildProcess py;
  ASSERT_TRUE(py.Start(pyArgs[0], std::vector<std::string>(pyArgs.begin() + 1, pyArgs.end()), {}, dir_ / "py.txt"));
  int code = -1;
  ASSERT_TRUE(py.Wait(30000, &code));
  ASSERT_EQ(code, 0) << py.Output();
  std::istringstream out(py.Output());
  std::string line;
  for (const TPair& p : pairs) {
    ASSERT_TRUE(std::getline(out, line)) << py.Output();
    if (p.var != "Count") EXPECT_EQ(std::strtod(line.c_str(), nullptr), SimValue(p.device, p.var)) << line;
    else EXPECT_EQ(line.find('.'), std::string::npos) << line;  // an integer
  }
  ASSERT_TRUE(std::getline(out, line));
  EXPECT_EQ(line, "0");
}

TEST_F(ModbusE2E, WritesReachTheDevicesAndBadAccessAnswersException2) {
  WritePlant();
  WriteEnabled();
  Start();
  ASSERT_TRUE(Until([&] { return AllRunning(); }, 20000)) << Diagnose();
  TClient c(port_);
  ASSERT_TRUE(c.Connected());
  // Device 1002 (k = 1) starts at register 4001: Set at 4003, On at 4005, Level at 4007.
  float f = 7.25f;
  uint32_t bits;
  std::memcpy(&bits, &f, 4);
  const uint32_t level = uint32_t(-123456);
  EXPECT_EQ(c.Write(4003, {uint16_t(bits), uint16_t(bits >> 16), 1, 0, uint16_t(level), uint16_t(level >> 16)}), 0);
  ASSERT_TRUE(Until([&] { return SimValue("1002", "Level") == -123456 && SimValue("1002", "Set") == 7.25; }, 15000))
      << sim_.Control("writes") << Diagnose();
  std::string writes = sim_.Control("writes");
  EXPECT_NE(writes.find("\"device\":\"1002\",\"name\":\"Set\",\"value\":\"7.25\",\"result\":0"), std::string::npos) << writes;
  EXPECT_NE(writes.find("\"name\":\"Level\",\"value\":\"-123456\",\"result\":0"), std::string::npos) << writes;

  struct {
    const char* name;
    std::function<int()> call;
  } bad[] = {
      {"one register at wire 0", [&] { std::vector<uint16_t> w; int e; c.Read(1, 1, w, &e); return e; }},
      {"two registers at wire 1", [&] { std::vector<uint16_t> w; int e; c.Read(2, 2, w, &e); return e; }},
      {"beyond the devices", [&] { std::vector<uint16_t> w; int e; c.Read(3 * 4000 + 1, 2, w, &e); return e; }},
      {"function 6", [&] { return c.Write(3, {1}); }},
      {"odd write count", [&] { return c.Write(3, {1, 2, 3}); }},
  };
  for (auto& b : bad) EXPECT_EQ(b.call(), EMBXILADD) << b.name;
  // The connection is still served after the exceptions.
  std::vector<uint16_t> w;
  EXPECT_TRUE(c.Read(4003, 2, w));
}

TEST_F(ModbusE2E, StatusRegisterShowsARefusedLoginAndNoErrorReadsZero) {
  WritePlant();
  WriteEnabled();
  sim_.Control("loginerror?device=1002&code=3");
  for (bool noError : {false, true}) {
    SCOPED_TRACE(noError);
    Start(noError ? std::vector<std::string>{"-K", "-MBNOERROR"} : std::vector<std::string>{"-K"});
    ASSERT_TRUE(Until([&] { return State("1002") == StateText(ncsError) && State("1001") == StateText(ncsRunning); },
                      20000))
        << Diagnose();
    TClient c(port_);
    ASSERT_TRUE(c.Connected());
    std::vector<uint16_t> w;
    ASSERT_TRUE(c.Read(64001, 3, w));
    EXPECT_EQ(w, (std::vector<uint16_t>{0, uint16_t(ncePassword), 0}));
    int error = 0;
    EXPECT_EQ(c.Read(4003, 2, w, &error), noError);
    if (noError) EXPECT_EQ(w, (std::vector<uint16_t>{0, 0}));
    else EXPECT_EQ(error, EMBXSFAIL);
    EXPECT_EQ(c.Write(4003, {0, 0}), noError ? 0 : EMBXSBUSY);
    server_.Signal(SIGTERM);
    ASSERT_TRUE(server_.Wait(10000));
  }
}

TEST_F(ModbusE2E, TenClientsAtOnceAndHostileClientsCostThemNothing) {
  WritePlant();
  WriteEnabled("MaxConnections=16\n");
  Start();
  ASSERT_TRUE(Until([&] { return AllRunning(); }, 20000)) << Diagnose();

  auto rawConnect = [&] {
    int s = ConnectLoopback(port_);
    EXPECT_GE(s, 0);
    return s;
  };
  // Ended by the server: a read sees the end (or a reset), not a time-out.
  auto closedByServer = [](int s) {
    char b[64];
    ssize_t n;
    while ((n = recv(s, b, sizeof b, 0)) > 0) {
    }
    return n == 0 || errno == ECONNRESET;
  };

  int silent = rawConnect();
  int garbage = rawConnect();
  const char http[] = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
  ASSERT_GT(send(garbage, http, sizeof http - 1, 0), 0);
  // Half a request that never finishes.
  int trickle = rawConnect();
  const uint8_t half[] = {0, 1, 0, 0, 0, 6, 1, 3};
  ASSERT_GT(send(trickle, half, sizeof half, 0), 0);

  // Thousands of requests for 125 registers, and never a read of the answers.
  int greedy = rawConnect();
  std::vector<uint8_t> requests;
  for (int i = 0; i < 4000; ++i) requests.insert(requests.end(), {0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 125});
  ASSERT_GT(send(greedy, requests.data(), requests.size(), MSG_NOSIGNAL | MSG_DONTWAIT), 0);

  std::atomic<int> failures{0}, reads{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 10; ++t) {
    clients.emplace_back([&, t] {
      TClient c(port_);
      if (!c.Connected()) {
        ++failures;
        return;
      }
      std::vector<uint16_t> w;
      for (int i = 0; i < 100; ++i) {
        const int reg = 1 + (t % 3) * 4000;
        if (!c.Read(reg, 8, w) || Decode("FLOAT32", &w[2]) != 1.5f) ++failures;
        else ++reads;
      }
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(reads, 1000);

  EXPECT_TRUE(closedByServer(garbage));
  EXPECT_TRUE(closedByServer(silent));
  EXPECT_TRUE(closedByServer(trickle));
  EXPECT_TRUE(closedByServer(greedy));
  close(greedy);
  close(garbage);
  close(silent);
  close(trickle);

  // A flood beyond the bound: every connection ends (the extra ones at once, the others
  // when idle), and the listener serves again afterwards.
  std::vector<int> flood;
  for (int i = 0; i < 40; ++i) flood.push_back(rawConnect());
  for (int s : flood) {
    EXPECT_TRUE(closedByServer(s));
    close(s);
  }
  ASSERT_TRUE(Until([&] { return Connectable(); }, 10000));
  TClient c(port_);
  std::vector<uint16_t> w;
  EXPECT_TRUE(c.Read(1, 2, w));
  // Memory stays within a bound after the attack (the resident size of the process).
  std::string status;
  ASSERT_TRUE(ReadFileBytes("/proc/" + std::to_string(server_.pid()) + "/status", status));
  long rssKb = std::strtol(status.c_str() + status.find("VmRSS:") + 6, nullptr, 10);
  EXPECT_LT(rssKb, 200 * 1024) << status;
}
}  // namespace
