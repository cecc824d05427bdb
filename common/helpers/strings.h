// Small text helpers shared by both programs.
#pragma once
#include <string>
#include <string_view>
#include <vector>

// left = text before the first `ch`, right = text after it; without `ch` left = text.
void SplitFirst(char ch, std::string_view text, std::string& left, std::string& right);
// Pieces between the delimiters; an empty text gives an empty list.
std::vector<std::string> SplitList(char delimiter, std::string_view text);
// Every occurrence of `from` replaced, letter case significant.
std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to);
