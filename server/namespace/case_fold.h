// Letter-case folding of item names: the Unicode simple case folding of the Basic
// Multilingual Plane, so "Ä" and "ä", "Σ", "σ" and "ς", or full-width "Ａ" and "ａ" find
// the same item. Code points beyond the BMP, and bytes that are not UTF-8, stay as they
// are. Portable, no locale state.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

char32_t FoldCodePoint(char32_t c);
// The folded text (UTF-8 in, UTF-8 out).
std::string FoldCaseUtf8(std::string_view s);
