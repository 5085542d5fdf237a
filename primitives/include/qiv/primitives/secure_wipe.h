// Overwriting secret bytes (seeds and their copies) before their memory is reused.
//
//   SoftwareIdentity::Seed copy = identity.secret_bytes();
//   ...
//   qiv::SecureWipe(copy);
//
// The stores cannot be removed by the compiler, even when the bytes are never read again.
// Thread-safe: touches only the bytes given.
#ifndef QIV_PRIMITIVES_SECURE_WIPE_H_
#define QIV_PRIMITIVES_SECURE_WIPE_H_

#include <cstdint>
#include <span>

namespace qiv {

// Sets every byte of `secret` to zero.
void SecureWipe(std::span<std::uint8_t> secret);

}  // namespace qiv

#endif  // QIV_PRIMITIVES_SECURE_WIPE_H_
