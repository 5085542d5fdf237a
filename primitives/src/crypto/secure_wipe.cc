#include "qiv/primitives/secure_wipe.h"

#include <string.h>

namespace qiv {

void SecureWipe(std::span<std::uint8_t> secret) {
  // explicit_bzero is a memset the optimiser must keep.
  if (!secret.empty()) explicit_bzero(secret.data(), secret.size());
}

}  // namespace qiv
