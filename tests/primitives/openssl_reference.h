// OpenSSL as an independent reference for tests of our own arithmetic and hashing: owning
// handles for its big numbers and one-shot digests. The libraries do not use OpenSSL; only
// the tests that include this header link it.
#ifndef QIV_TESTS_PRIMITIVES_OPENSSL_REFERENCE_H_
#define QIV_TESTS_PRIMITIVES_OPENSSL_REFERENCE_H_

#include <openssl/bn.h>
#include <openssl/sha.h>

#include <array>
#include <cstdint>
#include <memory>
#include <span>

namespace qiv::ossl {

struct Deleter {
  void operator()(BIGNUM* bn) const { BN_clear_free(bn); }
  void operator()(BN_CTX* ctx) const { BN_CTX_free(ctx); }
};

using BignumPtr = std::unique_ptr<BIGNUM, Deleter>;
using BnCtxPtr = std::unique_ptr<BN_CTX, Deleter>;

inline std::array<std::uint8_t, 32> Sha256(std::span<const std::uint8_t> data) {
  std::array<std::uint8_t, 32> digest;
  SHA256(data.data(), data.size(), digest.data());
  return digest;
}

inline std::array<std::uint8_t, 64> Sha512(std::span<const std::uint8_t> data) {
  std::array<std::uint8_t, 64> digest;
  SHA512(data.data(), data.size(), digest.data());
  return digest;
}

}  // namespace qiv::ossl

#endif  // QIV_TESTS_PRIMITIVES_OPENSSL_REFERENCE_H_
