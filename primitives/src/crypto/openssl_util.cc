#include "qiv/primitives/openssl_util.h"

#include <openssl/sha.h>

namespace qiv::ossl {

std::array<std::uint8_t, 32> Sha256(std::span<const std::uint8_t> data) {
  std::array<std::uint8_t, 32> digest;
  // The one-shot function runs the built-in implementation directly: no provider fetch, no
  // allocation, and it cannot fail.
  SHA256(data.data(), data.size(), digest.data());
  return digest;
}

}  // namespace qiv::ossl
