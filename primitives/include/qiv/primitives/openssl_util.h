// A thin layer over OpenSSL's libcrypto: owning handles and one place that checks calls.
//
// Every OpenSSL call goes through Ok() (for int results) or Checked() (for pointer results),
// which empties the calling thread's error queue whatever the outcome, so that a failure
// never lingers and shows up in an unrelated later call. Handles are std::unique_ptr with a
// deleter per type.
//
//   ossl::PkeyPtr key(ossl::Checked(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
//                                                              bytes, 32)));
//   if (!key || !ossl::Ok(EVP_PKEY_get_raw_public_key(key.get(), out, &len))) ...
//
// Thread-safe: the error queue is per thread, and the handles are plain owners.
#ifndef QIV_PRIMITIVES_OPENSSL_UTIL_H_
#define QIV_PRIMITIVES_OPENSSL_UTIL_H_

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace qiv::ossl {

struct Deleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
  void operator()(BIGNUM* bn) const { BN_clear_free(bn); }
  void operator()(BN_CTX* ctx) const { BN_CTX_free(ctx); }
};

using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter>;
using BignumPtr = std::unique_ptr<BIGNUM, Deleter>;
using BnCtxPtr = std::unique_ptr<BN_CTX, Deleter>;

// True exactly when an OpenSSL call that reports success as 1 returned 1 (0 and negative
// values, and any other value, are failures). Clears the thread's error queue.
inline bool Ok(int result) {
  ERR_clear_error();
  return result == 1;
}

// Passes a pointer result through (null means failure). Clears the thread's error queue.
template <typename T>
T* Checked(T* result) {
  ERR_clear_error();
  return result;
}

// Overwrites secret bytes in a way the compiler may not remove.
inline void Cleanse(std::span<std::uint8_t> secret) { OPENSSL_cleanse(secret.data(), secret.size()); }

// SHA-256 of `data` (FIPS 180-4).
std::array<std::uint8_t, 32> Sha256(std::span<const std::uint8_t> data);

}  // namespace qiv::ossl

#endif  // QIV_PRIMITIVES_OPENSSL_UTIL_H_
