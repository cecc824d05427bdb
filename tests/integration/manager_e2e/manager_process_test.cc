// The manager as a real process (offscreen platform): a second start signals the first
// and ends, "-GENCERT" with and without a certificate, "-XML" converting a binary archive
// at start.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "common/config/app_paths.h"
#include "common/platform/clock.h"
#include "common/platform/paths.h"
#include "common/platform/window_channel.h"
#include "manager/core/mgr_process.h"
#include "manager/core/opc_cfg_mgr.h"
#include "tests/common/child_process.h"
#include "tests/common/log_receiver.h"
#include "tests/common/manager_window.h"
#include "tests/common/test_env.h"

namespace {
const std::string kMgr = std::string(ZEL_BIN_DIR) + "/ZelOpcMgr3";

bool WaitUntil(const std::function<bool()>& done, int ms) {
  const int64_t until = MonotonicMs() + ms;
  while (!done()) {
    if (MonotonicMs() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

class MgrProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Write("ZelOPC3/config.ini", "[OPCUA]\nEnable=0\n");
    RegisterServerProgram(std::string(ZEL_BIN_DIR) + "/ZelOpcServer3");
  }
  bool Start(TChildProcess& p, const std::vector<std::string>& args, const std::string& out) {
    return p.Start(kMgr, args,
                   {"QT_QPA_PLATFORM=offscreen", "ZELOPC_DATA_ROOT=" + dir_.path(), "XDG_RUNTIME_DIR=" + dir_.path(),
                    "XDG_CONFIG_HOME=" + dir_ / "config", log_.Env()},
                   dir_ / out);
  }
  std::string Read(const std::string& name) {
    std::string s;
    (void)ReadFileBytes(dir_ / name, s);
    return s;
  }

  TTempDir dir_;
  TScopedEnv root_{"ZELOPC_DATA_ROOT", dir_.path()};
  TScopedEnv runtime_{"XDG_RUNTIME_DIR", dir_.path()};
  TLogReceiver log_;
};
}  // namespace

TEST_F(MgrProcess, SecondStartSignalsTheFirstAndEnds) {
  TChildProcess first;
  ASSERT_TRUE(Start(first, {}, "first.txt"));
  ASSERT_FALSE(log_.WaitFor("ZelOpcMgr_V3 Start!", 20000).empty());
  ASSERT_TRUE(WaitUntil([] { return FindWindowChannel(kMgrWindowClass, kMgrChannelCaption); }, 20000))
      << first.Output();
  TChildProcess second;
  ASSERT_TRUE(Start(second, {}, "second.txt"));
  int code = -1;
  ASSERT_TRUE(second.Wait(20000, &code));
  EXPECT_EQ(code, 0);
  // The second process ended before its own start-up: it sent no start line.
  EXPECT_TRUE(log_.WaitFor("ZelOpcMgr_V3 Start!", 300).empty());
  EXPECT_TRUE(first.Running());
  EXPECT_TRUE(FindWindowChannel(kMgrWindowClass, kMgrChannelCaption));
  first.Kill();
}

TEST_F(MgrProcess, GenCertMakesAMissingCertificateAndKeepsAnExistingOne) {
  {
    TChildProcess p;
    ASSERT_TRUE(Start(p, {"-GENCERT"}, "gen1.txt"));
    int code = -1;
    ASSERT_TRUE(p.Wait(60000, &code));
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(std::filesystem::exists(dir_ / "ZelOPC3/cert/self/localhost.crt")) << p.Output();
    EXPECT_TRUE(std::filesystem::exists(dir_ / "ZelOPC3/cert/self/localhost_cert.der"));
  }
  const std::string cert = Read("ZelOPC3/cert/self/localhost_cert.der");
  ASSERT_FALSE(cert.empty());
  TChildProcess p;
  ASSERT_TRUE(Start(p, {"/gencert"}, "gen2.txt"));
  int code = -1;
  ASSERT_TRUE(p.Wait(20000, &code));
  EXPECT_EQ(code, 0);
  EXPECT_EQ(Read("ZelOPC3/cert/self/localhost_cert.der"), cert);
}

TEST_F(MgrProcess, XmlSwitchConvertsABinaryArchiveAtStart) {
  {
    ResetAppPathsForTest();
    ASSERT_TRUE(InitAppPaths());
    TOpcCfgMgr cfg;
    for (const char* name : {"A", "B"}) {
      auto p = cfg.NewPrj();
      p->DispName = name;
      p->Name = "12345678901";
      p->Vars.push_back({"V1", "G", 2, 0});
      cfg.Prjs.push_back(std::move(p));
    }
    std::string error;
    ASSERT_TRUE(cfg.SavePrjFileAs(g_PrjFileName, ObjArFormat::BIN, error)) << error;
  }
  auto isXml = [this] {
    TOpcCfgMgr cfg;
    return cfg.LoadPrjFile(dir_ / "ZelOPC3/ZelOpc.Dat") && cfg.LoadedFromXML;
  };
  ASSERT_FALSE(isXml());
  TChildProcess p;
  ASSERT_TRUE(Start(p, {"-xml"}, "xml.txt"));
  ASSERT_TRUE(WaitUntil(isXml, 20000)) << p.Output();
  TOpcCfgMgr back;
  ASSERT_TRUE(back.LoadPrjFile(dir_ / "ZelOPC3/ZelOpc.Dat"));
  ASSERT_EQ(back.Prjs.size(), 2u);
  EXPECT_EQ(back.Prjs[1]->DispName, "B");
  EXPECT_EQ(back.Prjs[1]->Vars.size(), 1u);
  EXPECT_TRUE(p.Running());
  p.Kill();
}
