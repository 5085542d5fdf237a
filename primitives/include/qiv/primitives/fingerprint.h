// Fingerprint of an Ed25519 public key: the first 16 bytes of SHA-256 of the 32 key bytes,
// as 32 lowercase hexadecimal characters.
//
//   std::string fp = qiv::FingerprintOf(public_key);       // any 32 bytes
//   auto checked = qiv::CheckedFingerprintOf(bytes);         // length and point checked
//   if (!checked.ok()) Raise(FingerprintErrorText(checked.error()));
//
// Pure functions; thread-safe. Nothing is cached: each call hashes one block.
#ifndef QIV_PRIMITIVES_FINGERPRINT_H_
#define QIV_PRIMITIVES_FINGERPRINT_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "qiv/primitives/result.h"

namespace qiv {

inline constexpr std::size_t kFingerprintLength = 32;

// The fingerprint of the key bytes exactly as given; checks nothing, so bytes that are no
// curve point have a fingerprint too.
std::string FingerprintOf(std::span<const std::uint8_t, 32> public_key);

enum class FingerprintError : std::uint8_t {
  kWrongLength,   // "public_key must be exactly 32 bytes"
  kInvalidPoint,  // "invalid Ed25519 public key bytes"
};

std::string_view FingerprintErrorText(FingerprintError error);

// The fingerprint of raw key bytes handed in from outside: refuses any length but 32, then
// bytes that are no valid point (see IsValidPublicKeyPoint in verify.h).
Result<std::string, FingerprintError> CheckedFingerprintOf(std::span<const std::uint8_t> public_key);

}  // namespace qiv

#endif  // QIV_PRIMITIVES_FINGERPRINT_H_
