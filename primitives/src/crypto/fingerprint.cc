#include "qiv/primitives/fingerprint.h"

#include <cryptopp/sha.h>

#include <array>

#include "qiv/primitives/hex.h"
#include "qiv/primitives/verify.h"

namespace qiv {

std::string FingerprintOf(std::span<const std::uint8_t, 32> public_key) {
  // Crypto++ picks the processor's SHA extensions at run time where they exist.
  std::array<std::uint8_t, CryptoPP::SHA256::DIGESTSIZE> digest;
  CryptoPP::SHA256().CalculateDigest(digest.data(), public_key.data(), public_key.size());
  std::string out;
  out.reserve(kFingerprintLength);
  AppendHex(out, std::span(digest).first<kFingerprintLength / 2>());
  return out;
}

std::string_view FingerprintErrorText(FingerprintError error) {
  switch (error) {
    case FingerprintError::kWrongLength:
      return "public_key must be exactly 32 bytes";
    case FingerprintError::kInvalidPoint:
      return "invalid Ed25519 public key bytes";
  }
  return "invalid Ed25519 public key bytes";
}

Result<std::string, FingerprintError> CheckedFingerprintOf(
    std::span<const std::uint8_t> public_key) {
  if (public_key.size() != 32) return Err(FingerprintError::kWrongLength);
  std::span<const std::uint8_t, 32> key(public_key.data(), 32);
  if (!IsValidPublicKeyPoint(key)) return Err(FingerprintError::kInvalidPoint);
  return FingerprintOf(key);
}

}  // namespace qiv
