#include "qiv/primitives/identity.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "qiv/primitives/fault.h"
#include "qiv/primitives/fingerprint.h"

namespace qiv {
namespace internal {

std::string EntropyFailureMessage(int error_number) {
  if (error_number <= 0) return "Error: errno: did not return a positive value";
  // strerrordesc_np gives null (rather than "Unknown error <n>") when the system has no text.
  const char* text = strerrordesc_np(error_number);
  if (text == nullptr) return "Error: OS Error: " + std::to_string(error_number);
  return std::string("Error: ") + text;
}

void WipeSeed(std::span<std::uint8_t, SoftwareIdentity::kSeedSize> seed) {
  volatile std::uint8_t* bytes = seed.data();
  for (std::size_t i = 0; i < seed.size(); ++i) bytes[i] = 0;
}

}  // namespace internal

SoftwareIdentity::SoftwareIdentity(std::span<const std::uint8_t, kSeedSize> seed,
                                   ossl::PkeyPtr key, const PublicKey& public_key)
    : public_key_(public_key), key_(std::move(key)) {
  std::memcpy(seed_.data(), seed.data(), kSeedSize);
}

SoftwareIdentity::SoftwareIdentity(SoftwareIdentity&& other) noexcept
    : seed_(other.seed_), public_key_(other.public_key_), key_(std::move(other.key_)) {
  internal::WipeSeed(other.seed_);
}

SoftwareIdentity::~SoftwareIdentity() { internal::WipeSeed(seed_); }

SoftwareIdentity SoftwareIdentity::Generate() {
  Seed seed;
  errno = 0;
  if (getentropy(seed.data(), seed.size()) != 0) {
    int error_number = errno;
    ossl::Cleanse(seed);
    RaiseFault(internal::EntropyFailureMessage(error_number));
  }
  SoftwareIdentity identity = FromSeed(seed);
  ossl::Cleanse(seed);
  return identity;
}

SoftwareIdentity SoftwareIdentity::FromSeed(std::span<const std::uint8_t, kSeedSize> seed) {
  // OpenSSL derives the clamped scalar and the public key from the seed and wipes its own
  // intermediates; for signing it derives scalar and prefix again each time.
  ossl::PkeyPtr key(ossl::Checked(
      EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size())));
  if (!key) RaiseFault("Ed25519 key derivation failed");
  PublicKey public_key;
  std::size_t length = public_key.size();
  if (!ossl::Ok(EVP_PKEY_get_raw_public_key(key.get(), public_key.data(), &length)) ||
      length != public_key.size()) {
    RaiseFault("Ed25519 key derivation failed");
  }
  return SoftwareIdentity(seed, std::move(key), public_key);
}

SoftwareIdentity::Signature SoftwareIdentity::Sign(std::span<const std::uint8_t> payload) const {
  ossl::MdCtxPtr ctx(ossl::Checked(EVP_MD_CTX_new()));
  if (!ctx || !ossl::Ok(EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_.get()))) {
    RaiseFault("signature operation failed");
  }
  Signature signature;
  std::size_t length = signature.size();
  const std::uint8_t* data = payload.empty() ? nullptr : payload.data();
  if (!ossl::Ok(EVP_DigestSign(ctx.get(), signature.data(), &length, data, payload.size())) ||
      length != signature.size()) {
    RaiseFault("signature operation failed");
  }
  return signature;
}

std::string SoftwareIdentity::Fingerprint() const { return FingerprintOf(public_key_); }

}  // namespace qiv
