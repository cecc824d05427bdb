#include <gtest/gtest.h>

#include "common/platform/text.h"
#include "server/core/command_line.h"
#include "tests/common/test_env.h"

TEST(CommandLine, Cases) {
  struct Case {
    std::vector<std::string> tokens;
    bool reg, embedding, keep, hidden;
    int port, noError;
  } cases[] = {
      {{"-m"}, false, false, false, false, 502, 0},
      {{"/EMBEDDING"}, false, true, false, false, 0, 0},
      {{"-K"}, false, true, true, false, 0, 0},
      {{"-h", "-regserver"}, true, false, false, true, 0, 0},
      {{"-M", "abc"}, false, false, false, false, 502, 0},
      {{"-M", "70000"}, false, false, false, false, 502, 0},
      {{"-M", "0"}, false, false, false, false, 0, 0},
      {{"-M", " 600 "}, false, false, false, false, 600, 0},
      {{"-M 600"}, false, false, false, false, 0, 0},          // one token: not "-M"
      {{"-M600"}, false, false, false, false, 0, 0},
      {{"-M", "70000", "-K"}, false, true, true, false, 502, 0},  // the number is consumed
      {{"-M", "-K"}, false, true, true, false, 502, 0},            // "-K" is no number: stays
      {{"-M", "600", "-M", "700"}, false, false, false, false, 700, 0},
      {{"-mbnoerror", "K", ""}, false, false, false, false, 0, 1},
      {{"-X", "--K"}, false, false, false, false, 0, 0},
  };
  for (const Case& c : cases) {
    ResetCommandLineFlags();
    ApplyCommandTokens(c.tokens);
    std::string what = ::testing::PrintToString(c.tokens);
    EXPECT_EQ(g_RegServer, c.reg) << what;
    EXPECT_EQ(g_Embedding, c.embedding) << what;
    EXPECT_EQ(g_KeepRunning, c.keep) << what;
    EXPECT_EQ(g_StartHidden, c.hidden) << what;
    EXPECT_EQ(g_ModbusPort, c.port) << what;
    EXPECT_EQ(g_ModbusNoError, c.noError) << what;
  }
  ResetCommandLineFlags();
}

// -LOG is an option of ours beside the others; --help and --version are answered before
// the command line is looked at, so as tokens they are unknown options and ignored.
TEST(CommandLine, LogOptionAndInfoOptions) {
  struct Case {
    std::vector<std::string> tokens;
    bool log;
    int port;
  } cases[] = {
      {{"-LOG"}, true, 0},
      {{" /log "}, true, 0},
      {{"-LOGX", "LOG"}, false, 0},
      {{"-M", "-LOG"}, true, 502},  // not a number: not consumed by -M
      {{"--help", "--version", "-help"}, false, 0},
  };
  for (const Case& c : cases) {
    ResetCommandLineFlags();
    ApplyCommandTokens(c.tokens);
    std::string what = ::testing::PrintToString(c.tokens);
    EXPECT_EQ(g_LogToStderr, c.log) << what;
    EXPECT_EQ(g_ModbusPort, c.port) << what;
    EXPECT_FALSE(g_RegServer || g_Embedding || g_StartHidden || g_ModbusNoError) << what;
  }
  ResetCommandLineFlags();
}

TEST(CommandLine, ParameterFileLinesComeFirst) {
  TTempDir dir;
  dir.Write("OpcServerParam.ini", "-M\r\n600\r\n-M 700\r\n");
  const char* argv[] = {"prog", "-K"};
  auto tokens = BuildTokenList(dir / "OpcServerParam.ini", 2, argv);
  EXPECT_EQ(tokens, (std::vector<std::string>{"-M", "600", "-M 700", "-K"}));
  ResetCommandLineFlags();
  ApplyCommandTokens(tokens);
  EXPECT_EQ(g_ModbusPort, 600);
  EXPECT_TRUE(g_KeepRunning);
  EXPECT_EQ(BuildTokenList(dir / "missing.ini", 1, argv).size(), 0u);
  ResetCommandLineFlags();
}

// The parameter file is read as the INI files are: a byte-order mark (UTF-8, or UTF-16
// in either byte order) does not hide the first option.
TEST(CommandLine, ParameterFileInEveryEncoding) {
  for (const TTextEncoding form : {TTextEncoding::Utf8Bom, TTextEncoding::Utf16Le, TTextEncoding::Utf16Be}) {
    TTempDir dir;
    dir.Write("OpcServerParam.ini", EncodeTextFile("-K\r\n-M\r\n700\r\n", form));
    const char* argv[] = {"prog"};
    auto tokens = BuildTokenList(dir / "OpcServerParam.ini", 1, argv);
    EXPECT_EQ(tokens, (std::vector<std::string>{"-K", "-M", "700"})) << int(form);
    ResetCommandLineFlags();
    ApplyCommandTokens(tokens);
    EXPECT_TRUE(g_KeepRunning) << int(form);
    EXPECT_EQ(g_ModbusPort, 700) << int(form);
    ResetCommandLineFlags();
  }
}
