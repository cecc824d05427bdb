// User identity checks of ActivateSession: the layout of the encrypted secret and the
// comparison of secrets.
#ifndef UACLIB_USER_TOKEN_H
#define UACLIB_USER_TOKEN_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace uaclib {

constexpr std::string_view kRsaOaepUri = "http://www.w3.org/2001/04/xmlenc#rsa-oaep";
constexpr std::string_view kRsaOaepSha256Uri = "http://opcfoundation.org/UA/security/rsa-oaep-sha2-256";
// The same algorithm under the name this server accepted before; still understood.
constexpr std::string_view kRsaOaepSha256OldUri = "http://opcfoundation.org/UA/security/rsa-oaep-sha256";

// OPC UA Part 4 encrypted token secret: Length UInt32 (of what follows)
// | password bytes | server nonce. True when the layout fits and the nonce matches.
bool ParseUserSecret(std::string_view plain, std::string_view nonce, std::string& password);

// Compares without an early exit, so timing tells nothing about the secret.
bool SameSecret(std::string_view a, std::string_view b);

}  // namespace uaclib
#endif
