// Reading certificate and key files: DER as is, PEM in any line-end style, and the
// refusal of content too short or not an ASN.1 SEQUENCE with a two-byte length.
#include "common/cert/der_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "common/cert/base64.h"

namespace {
namespace fs = std::filesystem;

// A DER-shaped blob: SEQUENCE, two-byte length, then `body` filler bytes.
std::string FakeDer(size_t body) {
  std::string der = {'\x30', '\x82', char(body >> 8), char(body & 0xFF)};
  for (size_t i = 0; i < body; ++i) der += char(i * 7 + 1);
  return der;
}

// PEM armour around `der`, 64 base64 characters per line, every line ended by `eol`.
std::string Pem(const std::string& der, const std::string& eol, bool blankLines = false) {
  std::string b64 = Base64Encode(der), pem = "-----BEGIN CERTIFICATE-----" + eol;
  for (size_t i = 0; i < b64.size(); i += 64) {
    if (blankLines) pem += "   " + eol + eol;
    pem += b64.substr(i, 64) + (blankLines ? " \t" : "") + eol;
  }
  return pem + "-----END CERTIFICATE-----" + eol;
}

class DerFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("zel_der_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Put(const std::string& name, const std::string& bytes) {
    std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  fs::path dir_;
};

TEST_F(DerFileTest, PemReadsTheSameAsDerWhateverTheLineEnds) {
  const std::string der = FakeDer(300);
  const std::string expected = Base64Encode(der);
  EXPECT_EQ(ReadDerFileBase64(Put("c.der", der)), expected);
  const struct {
    const char* name;
    std::string pem;
  } cases[] = {
      {"lf", Pem(der, "\n")},
      {"crlf", Pem(der, "\r\n")},
      {"cr", Pem(der, "\r")},
      {"crlf-blank", Pem(der, "\r\n", true)},
      {"lf-blank", Pem(der, "\n", true)},
      {"no-final-eol", Pem(der, "\n").substr(0, Pem(der, "\n").size() - 1)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReadDerFileBase64(Put(std::string(c.name) + ".pem", c.pem)), expected) << c.name;
  }
}

TEST_F(DerFileTest, RefusesShortOrForeignContent) {
  const std::string minimal = FakeDer(60);  // exactly 64 bytes
  ASSERT_EQ(minimal.size(), 64u);
  const struct {
    const char* name;
    std::string bytes;
    bool accepted;
  } cases[] = {
      {"der-64", minimal, true},
      {"der-63", minimal.substr(0, 63), false},  // a short DER key
      {"pem-of-63", Pem(minimal.substr(0, 63), "\n"), false},
      {"pem-of-64", Pem(minimal, "\n"), true},
      {"not-sequence", "\x31" + minimal.substr(1), false},
      {"one-byte-length", Pem("\x30\x81\x40" + std::string(64, 'x'), "\n"), false},
      {"pem-of-text", Pem(std::string(100, 'a'), "\n"), false},
      {"pem-bad-tail", "-----BEGIN X-----\nMIIB\nA\n-----END X-----\n", false},  // last group of one
      {"empty", "", false},
      {"only-armour", "-----BEGIN X-----\r\n-----END X-----\r\n", false},
  };
  for (const auto& c : cases) {
    std::string got = ReadDerFileBase64(Put(c.name, c.bytes));
    if (c.accepted)
      EXPECT_FALSE(got.empty()) << c.name;
    else
      EXPECT_EQ(got, "") << c.name;
  }
  EXPECT_EQ(ReadDerFileBase64((dir_ / "missing.der").string()), "");
  EXPECT_EQ(ReadDerFileBase64(dir_.string()), "");  // a folder cannot be read as a file
}

// Only lines longer than two characters that begin with "-" are armour.
TEST_F(DerFileTest, ArmourLinesAreThoseLongerThanTwoBeginningWithDash) {
  const std::string der = FakeDer(90);
  std::string b64 = Base64Encode(der);
  ASSERT_EQ(b64.substr(b64.size() - 2), "==");  // 94 bytes: the tail carries padding
  // The text "-" on its own line is base64 (62), not armour, and breaks this body.
  std::string withDash = "-----BEGIN X-----\n" + b64.substr(0, 40) + "\n-\n" + b64.substr(40) + "\n-----END X-----\n";
  EXPECT_NE(DerBase64FromBytes(withDash), b64);
  std::string withRule = "-----BEGIN X-----\n" + b64.substr(0, 40) + "\n---\n" + b64.substr(40) + "\n-----END X-----\n";
  EXPECT_EQ(DerBase64FromBytes(withRule), b64);
}

}  // namespace
