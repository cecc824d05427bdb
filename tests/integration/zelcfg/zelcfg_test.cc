// zelcfg as plant engineers run it: conversions through every format must give back the
// same archive, byte for byte, and `show` must print the same content whatever the
// format of the file.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/config/cfg_file.h"
#include "common/platform/paths.h"
#include "tests/common/child_process.h"
#include "tests/common/test_env.h"

namespace {

class TCfg : public TOpcCfgFile {
 public:
  std::unique_ptr<TOpcPrj> NewPrj() override { return std::make_unique<TOpcPrj>(); }
};

struct TRun {
  int exitCode = -1;
  std::string output;  // stdout and stderr together
};

TRun Zelcfg(const TTempDir& dir, const std::vector<std::string>& args, struct rusage* usage = nullptr) {
  TChildProcess p;
  TRun r;
  if (!p.Start(std::string(ZEL_BIN_DIR) + "/zelcfg", args, {}, dir / "zelcfg.out")) return r;
  if (!p.Wait(30000, &r.exitCode, usage)) r.exitCode = -2;
  r.output = p.Output();
  return r;
}

// Texts that stress each format: non-ASCII, separators, quotes and markup, CR LF, a tab
// and a control character, an empty group, a 16-character password.
void FillConfig(TCfg& cfg) {
  auto add = [&](std::string name, std::string disp, std::string pass, int noSave) -> TOpcPrj& {
    auto p = std::make_unique<TOpcPrj>();
    p->Name = std::move(name);
    p->DispName = std::move(disp);
    p->Password = std::move(pass);
    p->NoSavePass = noSave;
    p->Owner = &cfg;
    cfg.Prjs.push_back(std::move(p));
    return *cfg.Prjs.back();
  };
  TOpcPrj& a = add("10000001", "泵站 North, \"A\" <1> & 2", "0123456789abcdef", 0);
  a.CustServer = "http://127.0.0.1:9";
  a.Server_RefreshDelayMS = 1500;
  a.WriteOpt = 2;
  a.UseGroup = 1;
  a.DevName = "Line 1\r\nLine 2\tend\x01";
  a.StrMD5 = "0123456789ABCDEF0123456789ABCDEF";
  a.Vars = {{"Running", "Pumps/P1", 1, 0}, {"温度", "Tank,Sensors", 3, 1}, {"Count", "", 2, 0}};
  TOpcPrj& b = add("10000002", "Boiler", "secret", 1);
  b.WriteOpt = 1;
  b.DevName = "Boiler house";
  b.StrMD5 = "FEED";
  for (int i = 0; i < 40; ++i) b.Vars.push_back({"V" + std::to_string(i), "G/" + std::to_string(i % 3), 1 + i % 3, i % 2});
  add("10000003", "No variables", "", 0);
}

// `show` output without the two lines that name the file and its format.
std::string Content(const std::string& show) {
  std::string out;
  size_t start = 0;
  while (start < show.size()) {
    size_t end = show.find('\n', start);
    if (end == std::string::npos) end = show.size();
    std::string line = show.substr(start, end - start);
    if (line.rfind("File: ", 0) != 0 && line.rfind("Format: ", 0) != 0) out += line + "\n";
    start = end + 1;
  }
  return out;
}

TEST(ZelcfgTest, ConvertsThroughEveryFormatAndBackByteForByte) {
  TTempDir dir;
  TCfg cfg;
  FillConfig(cfg);
  std::string error;
  ASSERT_TRUE(cfg.SavePrjFileAs(dir / "a.bin", ObjArFormat::BIN, error)) << error;

  const std::vector<std::pair<std::string, std::string>> steps = {
      {"b.binz", "binz"}, {"c.xml", "xml"}, {"d.bin", "bin"}, {"e.xml", "XML"}, {"f.binz", "BINZ"}};
  std::string from = dir / "a.bin";
  for (const auto& [file, format] : steps) {
    TRun r = Zelcfg(dir, {"convert", from, dir / file, "--format", format});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    from = dir / file;
  }
  std::string first, again;
  ASSERT_TRUE(ReadFileBytes(dir / "a.bin", first));
  ASSERT_TRUE(ReadFileBytes(dir / "d.bin", again));
  EXPECT_EQ(first, again);
  std::string xml1, xml2;
  ASSERT_TRUE(ReadFileBytes(dir / "c.xml", xml1));
  ASSERT_TRUE(ReadFileBytes(dir / "e.xml", xml2));
  EXPECT_EQ(xml1, xml2);
  ASSERT_GE(xml1.size(), 2u);
  EXPECT_EQ(xml1.substr(0, 2), std::string("\xFF\xFE"));  // UTF-16LE with its byte-order mark

  // The same content in every format, and the format named as the file has it.
  TRun base = Zelcfg(dir, {"show", dir / "a.bin", "--passwords"});
  ASSERT_EQ(base.exitCode, 0) << base.output;
  const std::vector<std::pair<std::string, std::string>> files = {
      {"b.binz", "BINZ"}, {"c.xml", "XML"}, {"d.bin", "BIN"}, {"f.binz", "BINZ"}};
  for (const auto& [file, format] : files) {
    TRun r = Zelcfg(dir, {"show", dir / file, "--passwords"});
    ASSERT_EQ(r.exitCode, 0) << file << ": " << r.output;
    EXPECT_NE(r.output.find("\nFormat: " + format + "\n"), std::string::npos) << file;
    EXPECT_EQ(Content(r.output), Content(base.output)) << file;
  }

  // And the library reads the last file back to the model that was written.
  TCfg back;
  ASSERT_TRUE(back.LoadPrjFile(dir / "f.binz"));
  ASSERT_EQ(back.Prjs.size(), cfg.Prjs.size());
  for (size_t i = 0; i < cfg.Prjs.size(); ++i) {
    const TOpcPrj &w = *cfg.Prjs[i], &r = *back.Prjs[i];
    EXPECT_EQ(r.Name, w.Name);
    EXPECT_EQ(r.DispName, w.DispName);
    EXPECT_EQ(r.Password, w.NoSavePass ? "" : w.Password);
    EXPECT_EQ(r.DevName, w.DevName);
    EXPECT_EQ(r.StrMD5, w.Vars.empty() ? "" : w.StrMD5);
    ASSERT_EQ(r.Vars.size(), w.Vars.size());
    for (size_t k = 0; k < w.Vars.size(); ++k) {
      EXPECT_EQ(r.Vars[k].Name, w.Vars[k].Name);
      EXPECT_EQ(r.Vars[k].Group, w.Vars[k].Group);
      EXPECT_EQ(r.Vars[k].Type, w.Vars[k].Type);
      EXPECT_EQ(r.Vars[k].RW, w.Vars[k].RW);
    }
  }
}

TEST(ZelcfgTest, ShowPrintsEachFieldOnItsLineAndHidesPasswords) {
  TTempDir dir;
  TCfg cfg;
  auto p = std::make_unique<TOpcPrj>();
  p->Name = "42";
  p->DispName = "Tank \"7\"\r\nEast";
  p->Password = "pw";
  p->Server_RefreshDelayMS = 1000;
  p->DevName = "Dev";
  p->StrMD5 = "AB";
  p->Vars = {{"Level", "Tank,Top", 3, 1}};
  cfg.Prjs.push_back(std::move(p));
  std::string error;
  ASSERT_TRUE(cfg.SavePrjFileAs(dir / "one.dat", ObjArFormat::XML, error)) << error;

  TRun r = Zelcfg(dir, {"show", dir / "one.dat"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.output, "File: " + (dir / "one.dat") +
                          "\n"
                          "Format: XML\n"
                          "Projects: 1\n"
                          "Variables: 1\n"
                          "\n"
                          "PRJ0\n"
                          "  Name: \"42\"\n"
                          "  DispName: \"Tank \\\"7\\\"\\r\\nEast\"\n"
                          "  NoSavePass: 0\n"
                          "  Password: (2 characters, --passwords shows it)\n"
                          "  CustServer: \"\"\n"
                          "  Server_RefreshDelayMS: 1000\n"
                          "  WriteOpt: 0 (merge all writes)\n"
                          "  DevName: \"Dev\"\n"
                          "  StrMD5: \"AB\"\n"
                          "  UseGroup: 0\n"
                          "  Variables: 1\n"
                          "    V0 Name=\"Level\" Type=3 (analog) RW=1 (read-only) Group=\"Tank,Top\"\n");
}

TEST(ZelcfgTest, RefusesWhatItCannotReadOrDo) {
  TTempDir dir;
  dir.Write("junk.dat", "this is not an archive");
  dir.Write("short.bin", std::string("\xFF\xCC\xFF\xF0\x20\x00\x00\x00", 8));
  TCfg cfg;
  std::string error;
  ASSERT_TRUE(cfg.SavePrjFileAs(dir / "ok.dat", ObjArFormat::BIN, error)) << error;
  struct TCase {
    std::vector<std::string> args;
    int exitCode;
  };
  const std::vector<TCase> cases = {
      {{"show", dir / "missing.dat"}, 1},
      {{"show", dir / "junk.dat"}, 1},
      {{"show", dir / "short.bin"}, 1},
      {{"convert", dir / "junk.dat", dir / "out.dat", "--format", "xml"}, 1},
      {{"convert", dir / "ok.dat", dir / "no-such-dir/out.dat", "--format", "xml"}, 1},
      {{"convert", dir / "ok.dat", dir / "out.dat", "--format", "json"}, 2},
      {{"convert", dir / "ok.dat", dir / "out.dat"}, 2},
      {{"show"}, 2},
      {{"frobnicate", dir / "ok.dat"}, 2},
  };
  for (const TCase& c : cases) {
    TRun r = Zelcfg(dir, c.args);
    std::string cmd;
    for (const auto& a : c.args) cmd += a + " ";
    EXPECT_EQ(r.exitCode, c.exitCode) << cmd << "\n" << r.output;
  }
  EXPECT_FALSE(FileExists(dir / "out.dat"));  // a failed conversion leaves nothing behind
}

// A compressed archive whose inner header claims 3.75 GiB and whose stream holds
// `mib` MiB of zeros: each MiB is deflated once after a full flush, which makes every
// further MiB the same bytes, so the bomb is built without compressing all of it.
std::string ZeroBomb(int mib) {
  z_stream zs{};
  EXPECT_EQ(deflateInit2(&zs, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY), Z_OK);
  auto pump = [&zs](const std::string& in, int flush) {
    std::string out(in.size() + 1024, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    zs.avail_in = uInt(in.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = uInt(out.size());
    EXPECT_NE(deflate(&zs, flush), Z_STREAM_ERROR);
    out.resize(out.size() - zs.avail_out);
    return out;
  };
  std::string header(16, '\0');
  const uint32_t magic = 0xF0FFCCFF, claimed = 0xF0000000;
  std::memcpy(header.data(), &magic, 4);
  std::memcpy(header.data() + 4, &claimed, 4);
  std::string bomb = pump(header, Z_FULL_FLUSH);
  const std::string zeros(1 << 20, '\0');
  const std::string block = pump(zeros, Z_FULL_FLUSH);
  EXPECT_EQ(pump(zeros, Z_FULL_FLUSH), block);
  for (int i = 2; i < mib; ++i) bomb += block;
  bomb += pump("", Z_FINISH);
  deflateEnd(&zs);
  return bomb;
}

// The reader's memory follows the output that really comes out of the stream, bounded by
// the stream's size: neither the inner header's claim nor a zero bomb sizes it.
TEST(ZelcfgTest, CompressedArchiveThatLiesAboutItsSizeIsRefusedInLittleMemory) {
  TTempDir dir;
  const std::string bomb = ZeroBomb(256);  // 256 MiB of zeros in a few hundred KiB
  ASSERT_LT(bomb.size(), 1u << 20);
  dir.Write("bomb.dat", bomb);
  struct rusage usage {};
  TRun r = Zelcfg(dir, {"show", dir / "bomb.dat"}, &usage);
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_LT(usage.ru_maxrss, 64 * 1024) << "peak resident KiB";
}

}  // namespace
