#include "qiv/primitives/openssl_util.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

namespace qiv::ossl {
namespace {

// OpenSSL 3 looks a digest up among its providers on every SHA256() or EVP_sha256() call,
// which costs more than hashing a 32-byte key; a digest fetched once skips that. Kept for the
// life of the process. Null if the fetch failed, in which case Sha256 uses SHA256().
const EVP_MD* FetchedSha256() {
  static const EVP_MD* const md = Checked(EVP_MD_fetch(nullptr, "SHA256", nullptr));
  return md;
}

}  // namespace

std::array<std::uint8_t, 32> Sha256(std::span<const std::uint8_t> data) {
  std::array<std::uint8_t, 32> digest;
  if (const EVP_MD* md = FetchedSha256()) {
    unsigned int length = 0;
    // A success leaves nothing in the error queue; clearing it costs as much as the
    // hashing, so only a failure clears it.
    if (EVP_Digest(data.data(), data.size(), digest.data(), &length, md, nullptr) == 1 &&
        length == digest.size()) {
      return digest;
    }
    ERR_clear_error();
  }
  // The one-shot function cannot fail; it is only slower.
  SHA256(data.data(), data.size(), digest.data());
  return digest;
}

}  // namespace qiv::ossl
