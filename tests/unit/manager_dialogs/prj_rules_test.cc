// The project editor's rules: the check digit, the display-name suggestion and the
// display-name character rule.
#include <gtest/gtest.h>

#include <string>

#include "manager/core/prj_rules.h"

TEST(PrjRules, DeviceNumberFixReplacesTheLastDigitByTheCheckDigit) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"31415926530", "31415926532"}, {"31415926539", "31415926532"}, {"31415926532", "31415926532"},
      {"00000000009", "00000000009"}, {"00000000000", "00000000009"},
      // Every position with its own weight: S = 12 + 2*15 + 3*18 = 96.
      {"12345678900", "12345678903"},
      {"99999999990", "99999999998"},  // S = 171: the tens do not count
      {"3141592653", ""},              // 10 digits
      {"314159265320", ""},            // 12 digits
      {"3141592653a", ""},
      {" 3141592653", ""},
      {"", ""},
      {"３１４１５９２６５３２", ""},  // full-width digits are no decimal digits here
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(DeviceNumberFix(c.in), c.out);
    EXPECT_EQ(IsValidDeviceNumber(c.in), *c.out && std::string(c.in) == c.out);
  }
}

TEST(PrjRules, NextDisplayNameCountsUpTheTrailingNumber) {
  std::string cjk24;
  for (int i = 0; i < 24; ++i) cjk24 += "泵";
  const struct {
    std::string base, next;
  } cases[] = {
      {"ZEL", "ZEL1"},
      {"Pump9", "Pump10"},
      {"Line007", "Line8"},
      {"", "1"},
      {"Tank12", "Tank13"},
      {"99", "100"},
      {"泵站3", "泵站4"},
      {"A1B", "A1B1"},  // only a trailing run counts
      // Beyond 32 bits the number keeps counting as decimal text instead of failing.
      {"A2147483647", "A2147483648"},
      {"A99999999999999999999", "A100000000000000000000"},
      // Cut to 25 UTF-16 units first: the digits after the cut do not count.
      {"ABCDEFGHIJKLMNOPQRSTUVWXY12345", "ABCDEFGHIJKLMNOPQRSTUVWXY1"},
      {"ABCDEFGHIJKLMNOPQRSTUVW12345", "ABCDEFGHIJKLMNOPQRSTUVW13"},
      // A CJK character is one unit: 24 of them and the digit 9 stay whole.
      {cjk24 + "9", cjk24 + "10"},
      {cjk24 + "X9", cjk24 + "X1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.base);
    EXPECT_EQ(NextDisplayName(c.base), c.next);
  }
}

TEST(PrjRules, CheckDisplayNameTakesTheTrimmedName) {
  const std::string special = "名称不可含有特殊字符";
  const struct {
    const char* name;
    std::string message;
  } cases[] = {
      {"", "名称不可为空！"},
      {"  \t ", "名称不可为空！"},
      {" 7up", "名称不可用数字开头！"},
      {"7", "名称不可用数字开头！"},
      {"Pump 1", special + "\" \""},
      {"Pump-1", special + "\"-\""},
      {"7-up", special + "\"-\""},  // the character rule comes before the digit rule
      {"a$b%c", special + "\"$\""},  // the first one found is quoted
      {"say\"hi\"", special + "\"\"\""},
      {" Pump ", ""},
      {"泵站，一号", ""},  // full-width comma U+FF0C
      {"泵站。一号　二号", ""},  // full-width full stop and ideographic space
      {"ꆡꎬ", ""},  // U+A1A1 U+A3AC: Yi syllables, letters like any other
      {"Pump_1\\x", ""},
      {"泵站3", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CheckDisplayName(c.name), c.message);
  }
}

TEST(PrjRules, EveryAsciiPunctuationOfTheSetIsRefusedAndNothingElse) {
  const std::u16string forbidden = {0x60, 0x7E, 0x21, 0x40, 0x23, 0x24, 0x25, 0x5E, 0x26, 0x2A, 0x28,
                                    0x29, 0x2D, 0x3D, 0x2B, 0x5B, 0x5D, 0x7B, 0x7D, 0x7C, 0x3B, 0x3A,
                                    0x27, 0x22, 0x2C, 0x3C, 0x2E, 0x3E, 0x2F, 0x3F, 0x20};
  ASSERT_EQ(forbidden.size(), 31u);
  for (char c = 0x21; c < 0x7F; ++c) {
    SCOPED_TRACE(std::string(1, c));
    const std::string msg = CheckDisplayName(std::string("A") + c + "B");
    if (forbidden.find(char16_t(c)) != std::u16string::npos)
      EXPECT_EQ(msg, std::string("名称不可含有特殊字符\"") + c + "\"");
    else
      EXPECT_EQ(msg, "");
  }
}
