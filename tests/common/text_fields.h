// Splits one tab-separated answer line of the server's status requests into its fields.
#pragma once
#include <string>
#include <vector>

inline std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> out(1);
  for (char c : line) {
    if (c == '\t') out.emplace_back();
    else out.back().push_back(c);
  }
  return out;
}
