// Typed values of binary read answers, read from the batch result stream. Every read
// checks the bytes that are left, so a short answer ends in a failed read.
//
// One tag byte and its payload, little-endian:
//   0 -> 0, 1 -> 1, 2 -> 0, 3 i8, 4 i16, 5 i32, 6 i64, 7 f32, 8 f64,
//   9..11 -> 0, 12 i8 status / "no value", 13..255 -> 0 (no payload)
#pragma once
#include <cstdint>
#include <string_view>

class TNxMemStream;

constexpr uint8_t kTagStatus = 12;

struct TTypedValue {
  uint8_t tag = 0;
  double value = 0;
  // Integers taken from a typed value (status, count) are truncated toward zero.
  int64_t AsInt() const;
};

// False when the stream ends inside the value.
[[nodiscard]] bool ReadTypedValue(TNxMemStream& in, TTypedValue& out);

// A binary read section: its status (tag 12), and for status 0 its count and that many
// values. True when the section's bytes hold everything its head announces, so reading
// it never takes bytes from beyond its end; a status other than 0 needs nothing more.
[[nodiscard]] bool ReadSectionComplete(std::string_view section);
