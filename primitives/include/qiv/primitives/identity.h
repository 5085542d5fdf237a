// SoftwareIdentity: an Ed25519 key pair (RFC 8032, pure variant) held in process memory.
//
// It is made from a 32-byte seed, given or drawn from the operating system's random source,
// and signs payload bytes deterministically. Its public side is the 32-byte public key and the
// fingerprint derived from it (fingerprint.h); `created_at` is the same fixed text for every
// identity, since no clock is read.
//
// The identity owns its seed and its public key and never changes; it keeps no other form of
// the key. Signing expands the seed again on every call, and every secret that a call puts on
// the calling thread's stack (the expanded key, the nonce) is overwritten before it returns.
// On destruction the seed is overwritten with zeros before the memory is given back. A copy
// taken with secret_bytes() belongs to the caller (SecureWipe in secure_wipe.h wipes it).
//
//   qiv::SoftwareIdentity id = qiv::SoftwareIdentity::FromSeed(seed);
//   qiv::SoftwareIdentity::Signature sig = id.Sign(payload);
//   std::string fp = id.Fingerprint();   // 32 lowercase hexadecimal characters
//
// Thread-safe: any number of threads may use one identity at once. Not copyable; a moved-from
// identity holds a wiped seed and may only be destroyed.
#ifndef QIV_PRIMITIVES_IDENTITY_H_
#define QIV_PRIMITIVES_IDENTITY_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace qiv {

class SoftwareIdentity {
 public:
  static constexpr std::size_t kSeedSize = 32;
  static constexpr std::size_t kPublicKeySize = 32;
  static constexpr std::size_t kSignatureSize = 64;
  static constexpr std::string_view kCreatedAt = "2026-04-15T00:00:00Z";

  using Seed = std::array<std::uint8_t, kSeedSize>;
  using PublicKey = std::array<std::uint8_t, kPublicKeySize>;
  using Signature = std::array<std::uint8_t, kSignatureSize>;

  // Draws a fresh seed with one request to the random source. A failure of the source is a
  // fault: "Error: <system message>", "Error: OS Error: <n>" for an error number the system
  // has no message for, or "Error: errno: did not return a positive value".
  static SoftwareIdentity Generate();

  // Any 32 bytes are a valid seed. The result depends on the seed alone.
  static SoftwareIdentity FromSeed(std::span<const std::uint8_t, kSeedSize> seed);

  SoftwareIdentity(SoftwareIdentity&& other) noexcept;
  SoftwareIdentity& operator=(SoftwareIdentity&&) = delete;
  SoftwareIdentity(const SoftwareIdentity&) = delete;
  SoftwareIdentity& operator=(const SoftwareIdentity&) = delete;
  ~SoftwareIdentity();

  // Pure Ed25519 over exactly `payload` (the empty one included): R followed by S. A failure
  // reported by the signing implementation is a fault "signature operation failed".
  Signature Sign(std::span<const std::uint8_t> payload) const;

  // FingerprintOf(public_key()); computed on every call.
  std::string Fingerprint() const;

  const PublicKey& public_key() const { return public_key_; }
  std::string_view created_at() const { return kCreatedAt; }

  // A copy of the seed; the caller owns (and should wipe) it.
  Seed secret_bytes() const { return seed_; }

 private:
  SoftwareIdentity(std::span<const std::uint8_t, kSeedSize> seed, const PublicKey& public_key);

  Seed seed_;
  PublicKey public_key_;  // derived from the seed once, by FromSeed
};

namespace internal {

// The fault message for a failed random-source request with error number `error_number`.
std::string EntropyFailureMessage(int error_number);

}  // namespace internal

}  // namespace qiv

#endif  // QIV_PRIMITIVES_IDENTITY_H_
