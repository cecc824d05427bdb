#include <gtest/gtest.h>

#include "common/config/app_paths.h"
#include "common/platform/paths.h"
#include "common/settings/sys_config.h"
#include "tests/common/test_env.h"

TEST(Settings, NoConfigFile) {
  TSysOPRecord op;
  op.Enable = 5;
  LoadSysConfig("/nonexistent/config.ini", op);
  EXPECT_EQ(op.LogWebErr, 1);
  EXPECT_EQ(op.RetryAttempts, 21);
  EXPECT_EQ(op.WriteMaxLen, 32);
  EXPECT_EQ(op.Enable, 0);
  EXPECT_EQ(op.Port, 0);
  EXPECT_EQ(op.DispAddFolder, 0);
  EXPECT_EQ(op.AllowNone, 1);
}

TEST(Settings, AutoTrustIsOffUnlessSet) {
  TTempDir dir;
  for (const auto& [text, expected] : {std::pair{"[OPCUA]\n", 0}, std::pair{"[OPCUA]\nAutoTrust=1\n", 1},
                                       std::pair{"[OPCUA]\nAutoTrust=7\n", 1}, std::pair{"[OPCUA]\nAutoTrust=x\n", 0}}) {
    dir.Write("config.ini", text);
    TSysOPRecord op;
    LoadSysConfig(dir / "config.ini", op);
    EXPECT_EQ(op.AutoTrust, expected) << text;
  }
}

TEST(Settings, Cases) {
  struct Case {
    const char* text;
    int retry, port, disp;
    const char* closePass;
    int allowNone = 1;
  } cases[] = {
      {"[OPCUA]\n", 21, 4866, 1, ""},
      {"[OPCUA]\nAllowNone=0\n", 21, 4866, 1, "", 0},
      {"[OPCUA]\nAllowNone=7\n", 21, 4866, 1, "", 1},
      {"[SYS]\nErrorRetrySec=20\n", 1, 4866, 1, ""},
      {"[SYS]\nErrorRetrySec=21\n", 1, 4866, 1, ""},
      {"[SYS]\nErrorRetrySec=22\n", 2, 4866, 1, ""},
      {"[SYS]\nErrorRetrySec=60\n", 21, 4866, 1, ""},
      {"[SYS]\nErrorRetrySec=-5\n", 1, 4866, 1, ""},
      {"[OPCUA]\nPort=4840\nDispAddFolder=0\nClosePass=1234567890\n", 21, 4840, 0, "12345678"},
      {"[OPCUA]\nClosePass=12a4\n", 21, 4866, 1, ""},
      {"[OPCUA]\nClosePass=-1234\n", 21, 4866, 1, "-1234"},
      {"[OPCUA]\nPort=0x10\n", 21, 16, 1, ""},
  };
  TTempDir dir;
  for (const Case& c : cases) {
    dir.Write("config.ini", c.text);
    TSysOPRecord op;
    LoadSysConfig(dir / "config.ini", op);
    EXPECT_EQ(op.RetryAttempts, c.retry) << c.text;
    EXPECT_EQ(op.Port, c.port) << c.text;
    EXPECT_EQ(op.DispAddFolder, c.disp) << c.text;
    EXPECT_EQ(op.ClosePass, c.closePass) << c.text;
    EXPECT_EQ(op.AllowNone, c.allowNone) << c.text;
    EXPECT_EQ(op.LogWebErr, 1) << c.text;
    EXPECT_EQ(op.WriteMaxLen, 32) << c.text;
  }
}

TEST(AppPaths, NormalizeKeepsCase) {
  EXPECT_EQ(NormalizeAppDir("/Opt/./Zel/./bin/"), "/Opt/Zel/bin");
  EXPECT_EQ(NormalizeAppDir("/opt/zel/."), "/opt/zel");
  EXPECT_EQ(NormalizeAppDir("/"), "/");
}

TEST(AppPaths, DataDirectoryAndFirstRunCopies) {
  TTempDir dir;
  TScopedEnv root("ZELOPC_DATA_ROOT", dir.path());
  ResetAppPathsForTest();
  InitAppPaths();
  EXPECT_EQ(g_DataDir, dir.path() + "/ZelOPC3");
  EXPECT_TRUE(DirExists(g_DataDir + "/cert/self"));
  EXPECT_TRUE(DirExists(g_DataDir + "/cert/trust"));
  EXPECT_TRUE(DirExists(g_DataDir + "/cert/issuers"));
  EXPECT_TRUE(DirExists(g_DataDir + "/cert/rejected"));
  EXPECT_EQ(g_CfgFileName, g_DataDir + "/config.ini");
  EXPECT_EQ(g_PrjFileName, g_DataDir + "/ZelOpc.Dat");
  EXPECT_EQ(g_RegCacheFileName, g_DataDir + "/OpcRegCache.Dat");
  EXPECT_EQ(g_UID.size(), 16u);
  std::string uid = g_UID;
  // A config.ini already in the data directory is never replaced by the shipped one.
  dir.Write("ZelOPC3/config.ini", "[OPCUA]\nEnable=1\n");
  ResetAppPathsForTest();
  InitAppPaths();
  EXPECT_EQ(TSysOP.Enable, 1);
  EXPECT_EQ(g_UID, uid);
  ResetAppPathsForTest();
}
