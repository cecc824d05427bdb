// INI files with the platform's profile semantics: sections and keys compare without
// regard to letter case, blanks around keys and values are dropped, the first of two
// equal keys wins, lines without '=' are ignored. Integers are decimal or hexadecimal
// with "0x"/"$"; a missing key or a non-integer gives the default. Read whole into
// memory; UTF-16 files with their byte-order mark are read as well as 8-bit ones, and
// saved in the form they were read in; writes keep the other lines and order.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/platform/text.h"

class TIniFile {
 public:
  TIniFile() = default;
  // Loads the file; a missing file gives an empty one (Exists() tells which).
  explicit TIniFile(const std::string& path);
  static TIniFile FromText(std::string_view text);

  bool Exists() const { return exists_; }
  std::string ReadString(std::string_view section, std::string_view key, std::string_view def) const;
  int32_t ReadInteger(std::string_view section, std::string_view key, int32_t def) const;
  bool KeyExists(std::string_view section, std::string_view key) const;
  bool SectionExists(std::string_view section) const;
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, int32_t value);
  std::vector<std::string> ReadSection(std::string_view section) const;  // key names

  std::string Text() const;
  bool Save(const std::string& path) const;

 private:
  struct Entry {
    std::string key;  // empty for comments and other lines kept as they are
    std::string value;
    std::string raw;
  };
  struct Section {
    std::string name;
    std::vector<Entry> entries;
  };
  void Parse(std::string_view text);
  const Section* Find(std::string_view section) const;
  const Entry* FindKey(std::string_view section, std::string_view key) const;

  std::vector<Section> sections_;  // sections_[0] holds lines before the first header
  bool exists_ = false;
  TTextEncoding encoding_ = TTextEncoding::Utf8;
};
