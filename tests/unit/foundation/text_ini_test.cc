#include <gtest/gtest.h>

#include "common/platform/ini_file.h"
#include "common/platform/text.h"

TEST(Text, IntegersReadLikeThePlatform) {
  struct Case {
    const char* in;
    std::optional<int32_t> out;
  } cases[] = {
      {"12", 12},   {"-7", -7},          {"0x1F", 31},        {"$ff", 255},       {"0XFFFFFFFF", -1},
      {"12.5", {}}, {"abc", {}},         {"", {}},            {" 5", {}},         {"2147483647", 2147483647},
      {"2147483648", {}}, {"-2147483648", INT32_MIN}, {"0x", {}}, {"$", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(TryStrToInt(c.in), c.out) << c.in;
  EXPECT_EQ(TryDecimalToInt("0x10"), std::nullopt);
}

TEST(Text, Utf16RoundTripAndCounting) {
  const std::string s = "A\xE4\xB8\xAD\xF0\x9F\x98\x80";  // "A", 中, an emoji (surrogate pair)
  EXPECT_EQ(Utf16Length(s), 4u);
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(s)), s);
  EXPECT_EQ(Utf16Left(s, 3), "A\xE4\xB8\xAD");  // the pair is not split
  EXPECT_EQ(Utf16Left(s, 4), s);
}

TEST(IniFile, ProfileSemantics) {
  TIniFile ini = TIniFile::FromText(
      "; comment\r\n[Sys]\r\n LogWebR = 2 \r\nlogwebr=9\r\nHex=0x10\r\nDollar=$20\r\nBad=12abc\r\n"
      "Empty=\r\n[OPCUA]\r\nUser = op erator \r\n");
  EXPECT_EQ(ini.ReadInteger("SYS", "LogWebR", 0), 2);  // case-insensitive, first wins
  EXPECT_EQ(ini.ReadInteger("sys", "Hex", 0), 16);
  EXPECT_EQ(ini.ReadInteger("sys", "Dollar", 0), 32);
  EXPECT_EQ(ini.ReadInteger("sys", "Bad", 7), 7);
  EXPECT_EQ(ini.ReadInteger("sys", "Empty", 7), 7);
  EXPECT_EQ(ini.ReadInteger("sys", "Missing", 7), 7);
  EXPECT_EQ(ini.ReadString("opcua", "user", ""), "op erator");
  EXPECT_TRUE(ini.SectionExists("OPCUA"));
}

TEST(IniFile, WritesKeepOtherLines) {
  TIniFile ini = TIniFile::FromText("; keep me\r\n[SYS]\r\nA=1\r\n\r\n[OPCUA]\r\nPort=1\r\n");
  ini.WriteInteger("OPCUA", "Port", 4866);
  ini.WriteString("SYS", "B", "x");
  ini.WriteString("NEW", "K", "v");
  EXPECT_EQ(ini.Text(), "; keep me\r\n[SYS]\r\nA=1\r\nB=x\r\n\r\n[OPCUA]\r\nPort=4866\r\n[NEW]\r\nK=v\r\n");
}
