// Ed25519 signature verification against a public key given as base64 text.
//
// The rules, in the order they are applied (the first failing one decides):
//   1. the key text must be strict unpadded standard base64 (base64.h) of exactly 32 bytes,
//   2. those bytes must encode a curve point, decoded leniently: y at or above p is reduced,
//      x = 0 with the sign bit set is accepted, and small-order points are valid;
//   -> otherwise kBadPublicKey;
//   3. the signature must be 64 bytes, R (32 bytes) then S (32 bytes little-endian),
//   4. S must be below the group order L,
//   5. [S]B - [k]A, k = SHA-512(R || key bytes as given || payload) mod L, must encode to R's
//      bytes exactly (no cofactor, R never decoded, so a non-canonical R fails);
//   -> otherwise kBadSignature.
//
//   auto verified = qiv::VerifySignature(descriptor.public_key_b64(), payload, signature);
//   if (!verified.ok()) Fail(qiv::VerifyErrorText(verified.error()));  // "BadSignature"
//
// Verification never faults, whatever bytes it is given. Pure functions; thread-safe.
#ifndef QIV_PRIMITIVES_VERIFY_H_
#define QIV_PRIMITIVES_VERIFY_H_

#include <cstdint>
#include <span>
#include <string_view>

#include "qiv/primitives/result.h"

namespace qiv {

enum class VerifyError : std::uint8_t {
  kBadPublicKey = 0,
  kBadSignature = 1,
};

// "BadPublicKey" or "BadSignature".
std::string_view VerifyErrorText(VerifyError error);

// Whether 32 bytes are a valid Ed25519 public key under the lenient decoding above.
bool IsValidPublicKeyPoint(std::span<const std::uint8_t, 32> public_key);

Result<void, VerifyError> VerifySignature(std::string_view public_key_b64,
                                          std::span<const std::uint8_t> payload,
                                          std::span<const std::uint8_t> signature);

}  // namespace qiv

#endif  // QIV_PRIMITIVES_VERIFY_H_
