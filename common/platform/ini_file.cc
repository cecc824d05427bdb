// Reading and writing INI files in memory.
#include "common/platform/ini_file.h"

#include "common/platform/paths.h"
#include "common/platform/text.h"

TIniFile::TIniFile(const std::string& path) {
  std::string bytes;
  exists_ = ReadFileBytes(path, bytes);
  Parse(DecodeTextFile(bytes, &encoding_));
}

TIniFile TIniFile::FromText(std::string_view text) {
  TIniFile f;
  f.exists_ = true;
  f.Parse(DecodeTextFile(text, &f.encoding_));
  return f;
}

void TIniFile::Parse(std::string_view text) {
  sections_.clear();
  sections_.push_back(Section{});
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    pos = end + 1;
    std::string t = Trim(line);
    if (t.size() >= 2 && t.front() == '[' && t.find(']') != std::string::npos) {
      sections_.push_back(Section{Trim(t.substr(1, t.find(']') - 1)), {}});
      continue;
    }
    Entry e;
    e.raw = std::string(line);
    size_t eq = t.find('=');
    if (eq != std::string::npos && eq > 0 && t[0] != ';') {
      e.key = Trim(t.substr(0, eq));
      e.value = Trim(t.substr(eq + 1));
    }
    sections_.back().entries.push_back(std::move(e));
  }
}

const TIniFile::Section* TIniFile::Find(std::string_view section) const {
  for (size_t i = 1; i < sections_.size(); ++i)
    if (SameText(sections_[i].name, section)) return &sections_[i];
  return nullptr;
}

const TIniFile::Entry* TIniFile::FindKey(std::string_view section, std::string_view key) const {
  const Section* s = Find(section);
  if (!s) return nullptr;
  for (const Entry& e : s->entries)
    if (!e.key.empty() && SameText(e.key, key)) return &e;
  return nullptr;
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key, std::string_view def) const {
  const Entry* e = FindKey(section, key);
  return e ? e->value : std::string(def);
}

int32_t TIniFile::ReadInteger(std::string_view section, std::string_view key, int32_t def) const {
  const Entry* e = FindKey(section, key);
  return e ? StrToIntDef(e->value, def) : def;
}

bool TIniFile::KeyExists(std::string_view section, std::string_view key) const {
  return FindKey(section, key) != nullptr;
}

bool TIniFile::SectionExists(std::string_view section) const { return Find(section) != nullptr; }

std::vector<std::string> TIniFile::ReadSection(std::string_view section) const {
  std::vector<std::string> keys;
  if (const Section* s = Find(section))
    for (const Entry& e : s->entries)
      if (!e.key.empty()) keys.push_back(e.key);
  return keys;
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  Section* s = const_cast<Section*>(Find(section));
  if (!s) {
    sections_.push_back(Section{std::string(section), {}});
    s = &sections_.back();
  }
  for (Entry& e : s->entries) {
    if (!e.key.empty() && SameText(e.key, key)) {
      e.value = std::string(value);
      e.raw = e.key + "=" + e.value;
      return;
    }
  }
  // Insert after the last key line, before trailing blank lines.
  size_t at = s->entries.size();
  while (at > 0 && s->entries[at - 1].key.empty() && Trim(s->entries[at - 1].raw).empty()) --at;
  Entry e{std::string(key), std::string(value), std::string(key) + "=" + std::string(value)};
  s->entries.insert(s->entries.begin() + long(at), std::move(e));
}

void TIniFile::WriteInteger(std::string_view section, std::string_view key, int32_t value) {
  WriteString(section, key, std::to_string(value));
}

std::string TIniFile::Text() const {
  std::string out;
  for (size_t i = 0; i < sections_.size(); ++i) {
    if (i > 0) out += "[" + sections_[i].name + "]\r\n";
    for (const Entry& e : sections_[i].entries) out += e.raw + "\r\n";
  }
  return out;
}

bool TIniFile::Save(const std::string& path) const { return WriteFileAtomic(path, EncodeTextFile(Text(), encoding_)); }
