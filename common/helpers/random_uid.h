// The installation identifier sent with every login: 16 upper-case hexadecimal digits,
// made once from 8 random bytes and kept in the registry (HKCU\<key>, value "UID").
#pragma once
#include <cstdint>
#include <string>

class TNxRandomUID {
 public:
  TNxRandomUID();
  // Key empty means "Software\Microsoft\COM". A stored value is returned unchanged.
  std::string GetUID(const std::string& key = {});
  // 8 bytes as the identifier rules draw them (exposed for tests).
  std::string MakeUID();
  // Pretends the random source is missing (tests of the fallback).
  void DisableProvider() { hasProvider_ = false; }

 private:
  bool RandomBytes(uint8_t* out, size_t n);
  bool hasProvider_ = false;
  std::string cached_;
};

std::string GetUID(const std::string& key = {});
