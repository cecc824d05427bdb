// Texts of request results as they appear in the log lines of the data link.
#include <gtest/gtest.h>

#include "common/http/win_http_client.h"

namespace {

TEST(HttpResultTextTest, NamesEveryKindOfResult) {
  struct TCase {
    int32_t result;
    const char* text;
  };
  const TCase cases[] = {
      // HTTP status: five names, the rest by number.
      {200, "HTTP_200_OK"},
      {403, "HTTP_403_Forbidden"},
      {404, "HTTP_404_NotFound"},
      {500, "HTTP_500_InternalServerError"},
      {503, "HTTP_503_ServiceUnavailable"},
      {201, "HTTP_201"},
      {502, "HTTP_502"},
      {1, "HTTP_1"},
      // Transport failures: the system text first, then the WinHTTP table, else #SOCKET#.
      {0, "#0:The operation completed successfully."},
      {-122, "#122:The data area passed to a system call is too small."},
      {-12002, "#12002:连接超时 "},
      {-12005, "#12005:错误的URL "},
      {-12007, "#12007:找不到服务器 "},
      {-12029, "#12029:无法连接 "},
      {-12030, "#12030:连接错误 "},
      {-12152, "#12152:WINHTTP_INVALID_SERVER_RESPONSE "},
      {-12175, "#12175:WINHTTP_SECURE_FAILURE "},
      {-12183, "#12183:WINHTTP_CHUNKED_ENCODING_HEADER_SIZE_OVERFLOW "},
      {-12001, "#SOCKET#12001"},  // between table entries
      {-12184, "#SOCKET#12184"},  // past the last entry
      {-10061, "#SOCKET#10061"},
      {INT32_MIN, "#SOCKET#2147483648"},
  };
  for (const TCase& c : cases) EXPECT_EQ(HttpResultText(c.result), c.text) << c.result;
}

// The table is searched by halves: every one of its 39 codes must be found.
TEST(HttpResultTextTest, FindsEveryCodeOfTheWinHttpTable) {
  const uint32_t codes[] = {12002, 12004, 12005, 12006, 12007, 12009, 12011, 12012, 12015, 12017,
                            12018, 12019, 12029, 12030, 12032, 12037, 12038, 12044, 12045, 12057,
                            12100, 12101, 12102, 12103, 12150, 12152, 12156, 12157, 12166, 12167,
                            12169, 12170, 12175, 12178, 12179, 12180, 12181, 12182, 12183};
  static_assert(std::size(codes) == 39);
  for (uint32_t c : codes) {
    std::string t = WinHttpErrorText(c);
    ASSERT_FALSE(t.empty()) << c;
    EXPECT_EQ(t.back(), ' ') << c;
    EXPECT_EQ(HttpResultText(-int32_t(c)), "#" + std::to_string(c) + ":" + t);
  }
  for (uint32_t c : {12000u, 12003u, 12008u, 12176u, 12200u}) EXPECT_EQ(WinHttpErrorText(c), "") << c;
}

}  // namespace
