// Typed values of binary read answers: every tag's payload and sign, and values cut
// short at every payload width (the read fails and consumes what was left).
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "common/archive/obj_archive.h"
#include "common/link/typed_value.h"

namespace {
std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(char(b));
  return s;
}
}  // namespace

TEST(TypedValue, EveryTag) {
  struct Case {
    std::string bytes;
    double value;
  } cases[] = {
      {B({0}), 0},
      {B({1}), 1},
      {B({2}), 0},
      {B({3, 0xFE}), -2},
      {B({4, 0x18, 0xFC}), -1000},
      {B({5, 0x00, 0x00, 0x00, 0x80}), -2147483648.0},
      {B({6, 0x00, 0xF2, 0x05, 0x2A, 0x01, 0x00, 0x00, 0x00}), 5000000000.0},
      {B({7, 0x00, 0x00, 0xC0, 0x3F}), 1.5},
      {B({8, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0xC0}), -2.5},
      {B({9}), 0},
      {B({12, 0x88}), -120},
      {B({13}), 0},
      {B({255}), 0},
  };
  for (const Case& c : cases) {
    TNxMemStream in;
    in.Bytes() = c.bytes + B({1});  // a following value must stay unread
    TTypedValue tv;
    ASSERT_TRUE(ReadTypedValue(in, tv)) << int(uint8_t(c.bytes[0]));
    EXPECT_EQ(tv.tag, uint8_t(c.bytes[0]));
    EXPECT_EQ(tv.value, c.value) << int(tv.tag);
    EXPECT_EQ(in.Position(), c.bytes.size()) << int(tv.tag);
  }
}

TEST(TypedValue, CutShortConsumesTheRest) {
  // Each payload width, with every shorter length, in the middle of a stream.
  for (int tag : {3, 4, 5, 6, 7, 8, 12}) {
    const size_t width = tag == 3 || tag == 12 ? 1 : tag == 4 ? 2 : tag == 5 || tag == 7 ? 4 : 8;
    for (size_t have = 0; have < width; ++have) {
      TNxMemStream in;
      in.Bytes() = B({1}) + std::string(1, char(tag)) + std::string(have, '\x11');
      TTypedValue tv;
      ASSERT_TRUE(ReadTypedValue(in, tv));
      EXPECT_FALSE(ReadTypedValue(in, tv)) << tag << "/" << have;
      EXPECT_EQ(tv.tag, tag);
      EXPECT_EQ(in.Position(), in.Size()) << tag << "/" << have;
    }
  }
  TNxMemStream empty;
  TTypedValue tv;
  EXPECT_FALSE(ReadTypedValue(empty, tv));
}
