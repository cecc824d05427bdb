// Base64 encoder and the lenient decoder: RFC 4648 vectors, the extra alphabet
// characters and the rules that make a decode fail.
#include "common/cert/base64.h"

#include <gtest/gtest.h>

namespace {

TEST(Base64, EncodesRfc4648Vectors) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
               {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
  for (const auto& c : cases) EXPECT_EQ(Base64Encode(c.in), c.out) << c.in;
  EXPECT_EQ(Base64Encode(std::string("\xFB\xEF\xFF", 3)), "++//");
}

TEST(Base64, DecodeTable) {
  const struct {
    const char* in;
    bool ok;
    std::string out;
  } cases[] = {
      {"Zm9vYmFy", true, "foobar"},
      {"Zm9vYg==", true, "foob"},
      {"Zm9vYmE=", true, "fooba"},
      {"Zm9vYg=", true, "foob"},  // short padding still counts as padding
      {"Zm8", true, "fo"},        // three characters need no padding
      {"Zm9vYmE", true, "fooba"},
      {"Zg", false, ""},          // shorter than 3 characters
      {"", false, ""},
      {"Zm9vY", false, ""},       // last group of one character
      {"Zm9vY===", false, ""},    // padded, but still one character in the last group
      {"Zm9v====", true, "foo"},
      {"Zm9vYg", false, ""},      // two characters without padding
      // 62 and 63 in their other spellings.
      {"++++", true, "\xFB\xEF\xBE"},
      {"----", true, "\xFB\xEF\xBE"},
      {"....", true, "\xFB\xEF\xBE"},
      {"////", true, "\xFF\xFF\xFF"},
      {"____", true, "\xFF\xFF\xFF"},
      {",,,,", true, "\xFF\xFF\xFF"},
      {"-._,", true, "\xFB\xEF\xFF"},
      // Characters outside the alphabet read as 0 ('A').
      {"*m9v", true, "\x02\x6F\x6F"},
      {"Am9v", true, "\x02\x6F\x6F"},
      {"Zm9v\nYmE", true, "foo\x01\x89\x84"},  // a line break reads as 'A' 
  };
  for (const auto& c : cases) {
    std::string out = "junk";
    bool ok = Base64Decode(c.in, out);
    EXPECT_EQ(ok, c.ok) << '"' << c.in << '"';
    if (c.ok) {
      EXPECT_EQ(out, c.out) << c.in;
    }
  }
}

TEST(Base64, RoundTripsEveryByteValueAtEveryTailLength) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += char(i);
  for (size_t extra = 0; extra < 3; ++extra) {
    std::string bytes = all + all.substr(0, extra);
    std::string back;
    ASSERT_TRUE(Base64Decode(Base64Encode(bytes), back)) << extra;
    EXPECT_EQ(back, bytes) << extra;
  }
}

}  // namespace
