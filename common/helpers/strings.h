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
// The text with every control character visible, for printing texts that come from
// outside: backslash, CR, LF and tab as \\ \r \n \t, the other C0 controls and DEL as
// \xHH, the C1 controls (U+0080..U+009F, which terminals also obey) as \u0080..\u009F;
// with quotes, '"' as \". Everything else stays as it is.
std::string EscapeControls(std::string_view text, bool quotes = false);
