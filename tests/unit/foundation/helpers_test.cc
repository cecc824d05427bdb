#include <gtest/gtest.h>

#include "common/helpers/file_helpers.h"
#include "common/helpers/message_boxes.h"
#include "common/helpers/random_uid.h"
#include "common/helpers/result_codes.h"
#include "common/helpers/run_capture.h"
#include "common/helpers/strings.h"
#include "common/platform/registry.h"
#include "tests/common/test_env.h"

namespace {
// Records the boxes instead of showing them.
class TRecordingBoxes : public TMessageBoxes {
 public:
  std::vector<std::string> errors, infos;
  void Info(const std::string& t, const std::string&) override { infos.push_back(t); }
  void Error(const std::string& t, const std::string& caption) override {
    EXPECT_EQ(caption, "错误");
    errors.push_back(t);
  }
  bool AskText(const std::string&, const std::string&, std::string&) override { return false; }
  bool AskYesNo(const std::string&, const std::string&) override { return false; }
};

class BoxScope {
 public:
  BoxScope() {
    auto r = std::make_unique<TRecordingBoxes>();
    boxes = r.get();
    old_ = SetMessageBoxes(std::move(r));
  }
  ~BoxScope() { SetMessageBoxes(std::move(old_)); }
  TRecordingBoxes* boxes;

 private:
  std::unique_ptr<TMessageBoxes> old_;
};
}  // namespace

TEST(ResultText, Table) {
  struct Case {
    int code;
    const char* text;
  } cases[] = {
      {0, "#NO_ERROR"},          {3, "密码错误"},  {8, "网络异常或者您太久没有操作，请重新登录"},
      {24, "设备忙"},            {25, "#UNKNOWN_ERROR"},          {26, "#UNKNOWN_ERROR"},
      {-1, "#UNKNOWN_ERROR"},    {4096, "#InternalERROR#1000"},   {8190, "#InternalERROR#1FFE"},
      {8191, "#UNKNOWN_ERROR"},  {4095, "#UNKNOWN_ERROR"},
  };
  for (const Case& c : cases) EXPECT_EQ(ResultText(c.code), c.text) << c.code;
  EXPECT_EQ(ResultName(14), "NoConn");
  EXPECT_EQ(ResultName(99), "#ERROR#");
}

TEST(Strings, SplitFirst) {
  struct Case {
    const char* in;
    const char* left;
    const char* right;
  } cases[] = {
      {"a,b,c", "a", "b,c"}, {",abc", "", "abc"}, {"abc,", "abc", ""}, {"abc", "abc", ""}, {"", "", ""},
  };
  for (const Case& c : cases) {
    std::string l = "x", r = "y";
    SplitFirst(',', c.in, l, r);
    EXPECT_EQ(l, c.left) << c.in;
    EXPECT_EQ(r, c.right) << c.in;
  }
}

TEST(Strings, SplitListAndReplaceAll) {
  EXPECT_TRUE(SplitList(';', "").empty());
  EXPECT_EQ(SplitList(';', "a;;b;"), (std::vector<std::string>{"a", "", "b", ""}));
  EXPECT_EQ(SplitList(';', "a b"), (std::vector<std::string>{"a b"}));
  EXPECT_EQ(ReplaceAll("aXbxX", "X", "--"), "a--bx--");
  EXPECT_EQ(ReplaceAll("aaa", "aa", "b"), "ba");
}

// Control characters of outside texts become visible escapes; other text stays.
TEST(Strings, EscapeControls) {
  struct Case {
    std::string in;
    bool quotes;
    std::string out;
  } cases[] = {
      {"plain 文字 text", false, "plain 文字 text"},
      {"a\r\nb\tc\\d", false, "a\\r\\nb\\tc\\\\d"},
      {"say \"hi\"", false, "say \"hi\""},
      {"say \"hi\"", true, "say \\\"hi\\\""},
      {std::string("nul\0x", 5), false, "nul\\x00x"},
      {"\x1B[2J\x7F", false, "\\x1B[2J\\x7F"},
      {"csi\xC2\x9B" "1m nbsp\xC2\xA0", false, "csi\\u009B1m nbsp\xC2\xA0"},
      {"cut\xC2", false, "cut\xC2"},
  };
  for (const Case& c : cases) EXPECT_EQ(EscapeControls(c.in, c.quotes), c.out) << c.in;
}

TEST(RunCapture, CommandThatCannotStartShowsTheBox) {
  BoxScope scope;
  std::string out;
  EXPECT_FALSE(RunCapture("/nonexistent/tool --x", out));
  ASSERT_EQ(scope.boxes->errors.size(), 1u);
  EXPECT_EQ(scope.boxes->errors[0].rfind("CreateProcess_ERROR#2,", 0), 0u) << scope.boxes->errors[0];
  EXPECT_NE(scope.boxes->errors[0].find("\nCmdLine=/nonexistent/tool --x"), std::string::npos);
}

TEST(RunCapture, CollectsBothStreamsAndLargeBursts) {
  std::string out;
  // 100 000 bytes in one write, then a line on stderr.
  ASSERT_TRUE(RunCapture("sh -c \"head -c 100000 /dev/zero | tr '\\\\0' x; echo err >&2\"", out, 1));
  EXPECT_EQ(out.size(), 100004u);
  EXPECT_EQ(out.substr(100000), "err\n");
  EXPECT_EQ(LastRunCaptureExitCode(), 0);
  std::string text;
  ASSERT_TRUE(RunCaptureText("printf \"ab\\\\0cd\"", text));
  EXPECT_EQ(text, "ab");
}

TEST(RandomUID, Forms) {
  TTempDir dir;
  TScopedEnv root("ZELOPC_DATA_ROOT", dir.path());
  for (int i = 0; i < 50; ++i) {
    TNxRandomUID withProvider;
    std::string a = withProvider.MakeUID();
    ASSERT_EQ(a.size(), 16u);
    EXPECT_NE(a[0], 'F') << a;
    EXPECT_EQ(a.find_first_not_of("0123456789ABCDEF"), std::string::npos) << a;
    TNxRandomUID without;
    without.DisableProvider();
    EXPECT_EQ(without.MakeUID().substr(0, 2), "F1");
  }
  // Made once, then read back from the registry; a stored value of any form stays.
  TNxRandomUID first;
  std::string made = first.GetUID();
  TNxRandomUID second;
  EXPECT_EQ(second.GetUID(), made);
  ASSERT_TRUE(RegWriteString(TRegRoot::HKCU, "Software\\Microsoft\\COM", "UID", "not-hex"));
  TNxRandomUID third;
  EXPECT_EQ(third.GetUID(), "not-hex");
}

TEST(FileHelpers, VersionAndLongPath) {
  EXPECT_EQ(FileVersionText(), "3.0.0.1");
  EXPECT_EQ(FileVersionText("/bin/sh"), "");
  EXPECT_EQ(LongPath(""), "");
  EXPECT_EQ(LongPath("/tmp/./"), LongPath("/tmp"));
}
