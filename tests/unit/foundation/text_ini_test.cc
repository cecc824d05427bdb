#include <gtest/gtest.h>

#include "common/platform/ini_file.h"
#include "common/platform/paths.h"
#include "common/platform/text.h"
#include "tests/common/test_env.h"

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

// Ill-formed UTF-8 gives one U+FFFD per maximal subpart and never swallows the byte
// that ended it; counting agrees with the conversion.
TEST(Text, Utf8ToUtf16ReplacesEachMaximalSubpart) {
  struct Case {
    const char* what;
    std::string in;
    std::u16string out;
  } cases[] = {
      {"stray continuation", "\x80" "A", u"\uFFFD" "A"},
      {"two stray continuations", "\xBF\x80", u"\uFFFD\uFFFD"},
      {"overlong two-byte", "\xC0\xAF", u"\uFFFD\uFFFD"},
      {"C1 lead", "\xC1\xBF", u"\uFFFD\uFFFD"},
      {"overlong three-byte", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
      {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"F5 lead", "\xF5\x80", u"\uFFFD\uFFFD"},
      {"FF byte", "\xFF", u"\uFFFD"},
      {"truncated at the end", "\xE4\xB8", u"\uFFFD"},
      {"truncated before ASCII", "\xE4\xB8" "A", u"\uFFFD" "A"},
      {"two-byte lead before ASCII", "\xC3" "A", u"\uFFFD" "A"},
      {"four-byte truncated", "\xF0\x9F\x98" "A", u"\uFFFD" "A"},
      {"inside an ASCII run", "ABCDEFGH\xFFIJKLMNOP", u"ABCDEFGH\uFFFDIJKLMNOP"},
      {"smallest three-byte", "\xE0\xA0\x80", u"\u0800"},
      {"U+FFFD itself", "\xEF\xBF\xBD", u"\uFFFD"},
      {"largest code point", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
      {"emoji", "\xF0\x9F\x98\x80", u"\U0001F600"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf8ToUtf16(c.in), c.out) << c.what;
    EXPECT_EQ(Utf16Length(c.in), c.out.size()) << c.what;
    EXPECT_EQ(ValidUtf8(c.in), Utf16ToUtf8(c.out)) << c.what;
    EXPECT_EQ(Utf8ToUtf16(ValidUtf8(c.in)), c.out) << c.what;
  }
}

TEST(Text, Utf16ToUtf8ReplacesLoneSurrogates) {
  struct Case {
    const char* what;
    std::u16string in;
    std::string out;
  } cases[] = {
      {"lone high", std::u16string{0xD800}, "\xEF\xBF\xBD"},
      {"lone low", std::u16string{0xDC00, u'A'}, "\xEF\xBF\xBD" "A"},
      {"high before ASCII", std::u16string{0xD83D, u'A'}, "\xEF\xBF\xBD" "A"},
      {"reversed pair", std::u16string{0xDE00, 0xD83D}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"pair", std::u16string{0xD83D, 0xDE00}, "\xF0\x9F\x98\x80"},
      {"ASCII run then CJK", u"ABCDEFGH\u4E2D", "ABCDEFGH\xE4\xB8\xAD"},
  };
  for (const Case& c : cases) EXPECT_EQ(Utf16ToUtf8(c.in), c.out) << c.what;
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

// Bytes of a text in each form a Windows INI file may take.
std::string InForm(const std::string& utf8, TTextEncoding form) { return EncodeTextFile(utf8, form); }

// config.ini in UTF-16 with its mark reads like the 8-bit file, and a save keeps the form.
TEST(IniFile, ReadsEveryEncodingAndSavesInTheSame) {
  const std::string text = "[OPCUA]\r\nEnable=1\r\nUser=操作员\r\n";
  struct Case {
    const char* what;
    TTextEncoding form;
    std::string mark;
  } cases[] = {
      {"8-bit", TTextEncoding::Utf8, ""},
      {"UTF-8 with mark", TTextEncoding::Utf8Bom, "\xEF\xBB\xBF"},
      {"UTF-16LE with mark", TTextEncoding::Utf16Le, "\xFF\xFE"},
      {"UTF-16BE with mark", TTextEncoding::Utf16Be, "\xFE\xFF"},
  };
  for (const Case& c : cases) {
    TTempDir dir;
    const std::string bytes = InForm(text, c.form);
    EXPECT_EQ(bytes.substr(0, c.mark.size()), c.mark) << c.what;
    dir.Write("config.ini", bytes);
    TIniFile ini(dir / "config.ini");
    EXPECT_EQ(ini.ReadInteger("OPCUA", "Enable", 0), 1) << c.what;
    EXPECT_EQ(ini.ReadString("OPCUA", "User", ""), "操作员") << c.what;
    ini.WriteInteger("OPCUA", "Port", 4866);
    ASSERT_TRUE(ini.Save(dir / "config.ini")) << c.what;
    std::string saved;
    ASSERT_TRUE(ReadFileBytes(dir / "config.ini", saved));
    EXPECT_EQ(saved, InForm(text + "Port=4866\r\n", c.form)) << c.what;
  }
  // A last odd byte of a UTF-16 file is no unit; the text before it stays.
  EXPECT_EQ(DecodeTextFile(std::string("\xFF\xFE" "A\0B\0C", 7)), "AB");
}

TEST(IniFile, WritesKeepOtherLines) {
  TIniFile ini = TIniFile::FromText("; keep me\r\n[SYS]\r\nA=1\r\n\r\n[OPCUA]\r\nPort=1\r\n");
  ini.WriteInteger("OPCUA", "Port", 4866);
  ini.WriteString("SYS", "B", "x");
  ini.WriteString("NEW", "K", "v");
  EXPECT_EQ(ini.Text(), "; keep me\r\n[SYS]\r\nA=1\r\nB=x\r\n\r\n[OPCUA]\r\nPort=4866\r\n[NEW]\r\nK=v\r\n");
}
