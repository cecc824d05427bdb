// The security policy of a secure channel as one object behind a small interface, so
// that signing and encrypting policies can join SecurityPolicy None later without
// touching the chunk layer.
#ifndef UACLIB_SECURITY_POLICY_H
#define UACLIB_SECURITY_POLICY_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "uaclib/status_codes.h"

namespace uaclib {

// MessageSecurityMode values.
enum class SecurityMode : uint32_t { Invalid = 0, None = 1, Sign = 2, SignAndEncrypt = 3 };

constexpr std::string_view kPolicyNoneUri = "http://opcfoundation.org/UA/SecurityPolicy#None";

class SecurityPolicy {
 public:
  virtual ~SecurityPolicy() = default;
  virtual std::string_view Uri() const = 0;
  virtual SecurityMode Mode() const = 0;

  // Checks (and decrypts in place) a received chunk whose security header ends at
  // `bodyStart`; on success `bodyEnd` is where the plain sequence header + body end.
  virtual StatusCode OpenAsymmetric(uint8_t* chunk, size_t size, size_t bodyStart,
                                    size_t& bodyEnd) = 0;
  virtual StatusCode OpenSymmetric(uint8_t* chunk, size_t size, size_t bodyStart,
                                   size_t& bodyEnd) = 0;
  // Body bytes (sequence header included) that fit a chunk of `chunkSize` bytes whose
  // headers take `headerSize` bytes.
  virtual size_t PlainRoom(size_t chunkSize, size_t headerSize) const = 0;
  // Pads, signs and encrypts the chunk that starts at `chunkStart` in `out` (its
  // message header size is fixed up afterwards by the caller).
  virtual void SealSymmetric(std::vector<uint8_t>& out, size_t chunkStart,
                             size_t bodyStart) = 0;
  // Nonce the server returns in OpenSecureChannel; keys are made from both nonces.
  virtual std::string ServerNonce() = 0;
  virtual StatusCode SetClientNonce(std::string_view nonce) = 0;
};

// The policy for `uri` with `mode`, or nullptr when the library does not offer it.
std::unique_ptr<SecurityPolicy> MakeSecurityPolicy(std::string_view uri, SecurityMode mode);

}  // namespace uaclib
#endif
