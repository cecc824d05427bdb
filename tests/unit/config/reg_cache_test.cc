// The login cache file: which lines load, and what a save writes.
#include <sys/stat.h>

#include <fstream>

#include "common/config/reg_cache.h"
#include "common/platform/paths.h"
#include "tests/common/test_clock.h"
#include "tests/unit/config/cfg_fixture.h"

namespace {

constexpr int64_t kNow = 46000LL * 86400000;  // a fixed NowMs
constexpr int64_t kNotBefore = kNow - 360000;

TEST_F(CfgTest, CacheLinesThatLoad) {
  TTestClocks clocks(kNow, kNow);  // both clocks alike: stored and loaded times agree
  std::ofstream(Path("c.Dat"), std::ios::binary)
      << "A," << kNow - 300000 << ",a1,a2,s1\r\n"        // 5 minutes old: kept
      << "B," << kNow - 360001 << ",b1,b2,s2\r\n"        // 6 minutes and 1 ms: dropped
      << "C," << kNotBefore << ",c1,c2,s3\r\n"           // exactly 6 minutes: kept
      << "D," << kNow << ",d1,d2\r\n"                    // 4 fields
      << "E," << kNow << ",e1,e2,s5,x\r\n"               // 6 fields
      << "F,abc,f1,f2,s6\r\n"                            // time is not a number
      << "A," << kNow << ",later,x,s7\r\n"               // the first line of A wins
      << "G;" << kNow << ";g1;g2;s8\r\n"                 // only commas separate
      << "H," << kNow << ",,,s9";                        // last line without CR LF
  TRegCache cache;
  LoadRegCacheFile(cache, Path("c.Dat"), kNotBefore);
  EXPECT_EQ(cache.Count(), 3u);
  const TRegCacheItem* a = cache.Find("A");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->Time, kNow - 300000);
  EXPECT_EQ(a->ADDR, "a1");
  EXPECT_EQ(a->ADDRS, "a2");
  EXPECT_EQ(a->SID, "s1");
  EXPECT_TRUE(cache.Find("C"));
  EXPECT_FALSE(cache.Find("B"));
  EXPECT_FALSE(cache.Find("a"));  // letter case counts
  ASSERT_TRUE(cache.Find("H"));
  EXPECT_EQ(cache.Find("H")->SID, "s9");

  TRegCache none;
  LoadRegCacheFile(none, Path("missing.Dat"), 0);
  EXPECT_EQ(none.Count(), 0u);
}

TEST_F(CfgTest, RefreshAndSave) {
  TTestClocks clocks(kNow, kNow);
  TTestCfg cfg;
  struct P { const char* name; int64_t reg; int64_t read; const char* sid; };
  const P prjs[] = {{"2", 100, 50, "s2"}, {"1", 100, 200, "s1"}, {"3", 100, 300, ""}};
  for (const P& x : prjs) {
    auto p = cfg.NewPrj();
    p->Name = x.name;
    p->RegTime = x.reg;
    p->LastRead = x.read;
    p->SID = x.sid;
    p->ADDR = "http://a";
    p->ADDRS = "https://b";
    cfg.Prjs.push_back(std::move(p));
  }
  cfg.RegCache.Put("old", 1, "", "", "gone");
  RefreshRegCache(cfg);
  ASSERT_TRUE(SaveRegCacheFile(cfg.RegCache, Path("OpcRegCache.Dat")));
  std::string text;
  ASSERT_TRUE(ReadFileBytes(Path("OpcRegCache.Dat"), text));
  EXPECT_EQ(text, "1,200,http://a,https://b,s1\r\n2,100,http://a,https://b,s2\r\n");
  struct stat st {};
  ASSERT_EQ(::stat(Path("OpcRegCache.Dat").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  TRegCache back;
  LoadRegCacheFile(back, Path("OpcRegCache.Dat"), 0);
  EXPECT_EQ(back.Count(), 2u);
  EXPECT_TRUE(back.Delete("1"));
  EXPECT_FALSE(back.Delete("1"));
  back.Put("2", 9, "x", "y", "z");
  EXPECT_EQ(back.Find("2")->Time, 9);

  // A cache that cannot be written leaves no file.
  EXPECT_FALSE(SaveRegCacheFile(back, Path("nodir/OpcRegCache.Dat")));
  EXPECT_FALSE(FileExists(Path("nodir/OpcRegCache.Dat")));
}

// The file holds wall-clock times, memory link-clock times: both ways convert through
// the clocks' present offset.
TEST_F(CfgTest, CacheTimesConvertAtLoadAndSave) {
  TTestClocks clocks(kNow, 5000000);
  TRegCache cache;
  cache.Put("A", 5000000 - 60000, "a1", "a2", "s1");  // logged in a minute ago
  ASSERT_TRUE(SaveRegCacheFile(cache, Path("c.Dat")));
  std::string text;
  ASSERT_TRUE(ReadFileBytes(Path("c.Dat"), text));
  EXPECT_EQ(text, "A," + std::to_string(kNow - 60000) + ",a1,a2,s1\r\n");
  TRegCache back;
  LoadRegCacheFile(back, Path("c.Dat"), kNotBefore);
  ASSERT_TRUE(back.Find("A"));
  EXPECT_EQ(back.Find("A")->Time, 5000000 - 60000);
}

}  // namespace
