// A small JSON reader for cloudsim's device files: objects, arrays, strings (with \u
// escapes), numbers, true/false/null. Depth and size are bounded; errors name the offset.
#pragma once
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct TJson {
  enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
  bool b = false;
  double num = 0;
  std::string str;
  std::vector<TJson> items;
  std::vector<std::pair<std::string, TJson>> members;  // in file order

  const TJson* Find(std::string_view key) const;
  std::string GetString(std::string_view key, std::string_view def = {}) const;
  double GetNumber(std::string_view key, double def = 0) const;
  bool GetBool(std::string_view key, bool def = false) const;
};

// False with `error` set when the text is not one JSON value.
[[nodiscard]] bool ParseJson(std::string_view text, TJson& out, std::string& error);
// A JSON string literal of a UTF-8 text (quotes included).
std::string JsonQuote(std::string_view s);
