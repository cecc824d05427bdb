// Base64 of RFC 4648 (with "=" padding, no line breaks) for the certificate and key
// bytes handed to the OPC UA library.
#pragma once
#include <string>
#include <string_view>

std::string Base64Encode(std::string_view bytes);

// Lenient decoder: besides "+" and "/" it takes "-" and "." for 62 and "_" and "," for
// 63 (URL-safe and other common variants); any other character outside the alphabet
// counts as 0. Every trailing "=" is padding. Fails for input shorter than 3
// characters, and when the last group holds one character, or two without padding.
[[nodiscard]] bool Base64Decode(std::string_view text, std::string& bytes);
