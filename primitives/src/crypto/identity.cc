#include "qiv/primitives/identity.h"

#include <cryptopp/donna.h>
#include <string.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "qiv/primitives/fault.h"
#include "qiv/primitives/fingerprint.h"
#include "qiv/primitives/secure_wipe.h"

namespace qiv {
namespace {

// The signing library expands the seed on every call and leaves the expanded key, the nonce
// and their intermediates in its own stack frames (about 2 KiB below its caller's frame with
// Crypto++ 8.7; the first call of a process goes about 4.4 KiB deep). Overwriting twice the
// deepest figure costs about 1 % of a signature.
constexpr std::size_t kScrubBytes = 8192;

// Zeroes kScrubBytes of the calling thread's stack just below the caller's frame: called
// right after the library returns, its frame lies where the library's frames were. Not
// inlined, so that the area is below the caller; not instrumented, so that no redzone
// leaves a gap.
[[gnu::noinline]] __attribute__((no_sanitize("address"))) void ScrubStackBelowCaller() {
  std::uint8_t area[kScrubBytes];
  explicit_bzero(area, sizeof area);
  asm volatile("" : : "r"(area) : "memory");
}

// The library reads `size` bytes at `data`; an empty span may carry no pointer.
const std::uint8_t* DataOrEmpty(std::span<const std::uint8_t> bytes) {
  static constexpr std::uint8_t kNothing = 0;
  return bytes.empty() ? &kNothing : bytes.data();
}

}  // namespace

namespace internal {

std::string EntropyFailureMessage(int error_number) {
  if (error_number <= 0) return "Error: errno: did not return a positive value";
  // strerrordesc_np gives null (rather than "Unknown error <n>") when the system has no text.
  const char* text = strerrordesc_np(error_number);
  if (text == nullptr) return "Error: OS Error: " + std::to_string(error_number);
  return std::string("Error: ") + text;
}

}  // namespace internal

SoftwareIdentity::SoftwareIdentity(std::span<const std::uint8_t, kSeedSize> seed,
                                   const PublicKey& public_key)
    : public_key_(public_key) {
  std::memcpy(seed_.data(), seed.data(), kSeedSize);
}

SoftwareIdentity::SoftwareIdentity(SoftwareIdentity&& other) noexcept
    : seed_(other.seed_), public_key_(other.public_key_) {
  SecureWipe(other.seed_);
}

SoftwareIdentity::~SoftwareIdentity() { SecureWipe(seed_); }

SoftwareIdentity SoftwareIdentity::Generate() {
  Seed seed;
  errno = 0;
  if (getentropy(seed.data(), seed.size()) != 0) {
    int error_number = errno;
    SecureWipe(seed);
    RaiseFault(internal::EntropyFailureMessage(error_number));
  }
  SoftwareIdentity identity = FromSeed(seed);
  SecureWipe(seed);
  return identity;
}

SoftwareIdentity SoftwareIdentity::FromSeed(std::span<const std::uint8_t, kSeedSize> seed) {
  PublicKey public_key;
  int status = CryptoPP::Donna::ed25519_publickey(public_key.data(), seed.data());
  ScrubStackBelowCaller();
  if (status != 0) RaiseFault("Ed25519 key derivation failed");
  return SoftwareIdentity(seed, public_key);
}

SoftwareIdentity::Signature SoftwareIdentity::Sign(std::span<const std::uint8_t> payload) const {
  Signature signature;
  // The public key goes into the hash as held; the library does not check it against the seed.
  int status = CryptoPP::Donna::ed25519_sign(DataOrEmpty(payload), payload.size(), seed_.data(),
                                             public_key_.data(), signature.data());
  ScrubStackBelowCaller();
  if (status != 0) RaiseFault("signature operation failed");
  return signature;
}

std::string SoftwareIdentity::Fingerprint() const { return FingerprintOf(public_key_); }

}  // namespace qiv
