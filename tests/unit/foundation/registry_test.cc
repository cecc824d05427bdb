#include <gtest/gtest.h>

#include "common/platform/paths.h"
#include "common/platform/registry.h"
#include "tests/common/test_env.h"

class RegistryTest : public ::testing::Test {
 protected:
  TTempDir dir_;
  TScopedEnv root_{"ZELOPC_DATA_ROOT", dir_.path()};
  TScopedEnv xdg_{"XDG_CONFIG_HOME", dir_ / "config"};
};

TEST_F(RegistryTest, ValuesRoundTripWithoutRegardToCase) {
  EXPECT_FALSE(RegKeyExists(TRegRoot::HKCR, "ZelOpcServer3.ZELOPC\\Clsid"));
  ASSERT_TRUE(RegWriteString(TRegRoot::HKCR, "ZelOpcServer3.ZELOPC\\Clsid\\", "", "{X}"));
  ASSERT_TRUE(RegWriteString(TRegRoot::HKCR, "Odd", "Quote\"Name", "a\\b\"c\nd"));
  std::string v;
  ASSERT_TRUE(RegReadString(TRegRoot::HKCR, "zelopcserver3.zelopc\\CLSID", "", v));
  EXPECT_EQ(v, "{X}");
  ASSERT_TRUE(RegReadString(TRegRoot::HKCR, "odd", "quote\"name", v));
  EXPECT_EQ(v, "a\\b\"c\nd");
  EXPECT_FALSE(RegReadString(TRegRoot::HKCU, "Odd", "Quote\"Name", v));  // roots are apart
  EXPECT_TRUE(RegDeleteKey(TRegRoot::HKCR, "ZelOpcServer3.ZELOPC"));
  EXPECT_FALSE(RegKeyExists(TRegRoot::HKCR, "ZelOpcServer3.ZELOPC\\Clsid"));
  EXPECT_TRUE(RegKeyExists(TRegRoot::HKCR, "Odd"));
}

TEST_F(RegistryTest, RunValuesBecomeAutostartEntries) {
  const char* run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
  ASSERT_TRUE(RegWriteString(TRegRoot::HKCU, run, "ZelOpcServer3", "/opt/zel/ZelOpcServer3 -K"));
  std::string text;
  ASSERT_TRUE(ReadFileBytes(AutostartFileName("ZelOpcServer3"), text));
  EXPECT_NE(text.find("Exec=/opt/zel/ZelOpcServer3 -K\n"), std::string::npos);
  EXPECT_TRUE(RegDeleteValue(TRegRoot::HKCU, run, "ZelOpcServer3"));
  EXPECT_FALSE(FileExists(AutostartFileName("ZelOpcServer3")));
}

TEST_F(RegistryTest, AutostartEntryQuotesAProgramPathWithReservedCharacters) {
  const char* run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
  const struct {
    std::string value;  // relative to the test folder when `exists`
    bool exists;
    std::string exec;
  } cases[] = {
      {"my apps/ZelOpcServer3", true, "\"<dir>/my apps/ZelOpcServer3\""},
      {"a$b\\c/ZelOpcServer3", true, "\"<dir>/a\\\\$b\\\\\\\\c/ZelOpcServer3\""},
      {"100%/ZelOpcServer3", true, "<dir>/100%%/ZelOpcServer3"},
      {"/opt/zel/ZelOpcServer3 -K", false, "/opt/zel/ZelOpcServer3 -K"},  // a command line
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    std::string value = c.value;
    if (c.exists) {
      dir_.Write(c.value, "");
      value = dir_ / c.value;
    }
    ASSERT_TRUE(RegWriteString(TRegRoot::HKCU, run, "Prog", value));
    std::string text, exec = c.exec;
    if (exec.find("<dir>") != std::string::npos) exec.replace(exec.find("<dir>"), 5, dir_.path());
    ASSERT_TRUE(ReadFileBytes(AutostartFileName("Prog"), text));
    EXPECT_NE(text.find("\nExec=" + exec + "\n"), std::string::npos) << text;
  }
}
