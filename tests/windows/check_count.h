// The failure count of a check program under Wine: one line per failed check, the count
// is the exit code.
#pragma once
#include <cstdio>
#include <string>

inline int& CheckFailures() {
  static int failures = 0;
  return failures;
}

inline void Check(bool ok, const std::string& what) {
  if (ok) return;
  ++CheckFailures();
  std::printf("FAILED: %s\n", what.c_str());
  std::fflush(stdout);  // interleaved with the script's own lines under Wine
}
