// SipHash-1-3 and SipHash-2-4: keyed 64-bit hashes of byte strings.
//
// The address hash is SipHash-1-3 with both key halves zero over the address's hash input;
// SipHash-2-4 shares the core and exists to check it against published vectors.
//
//   std::uint64_t h = qiv::SipHash13(0, 0, bytes);
//
// Pure functions; thread-safe.
#ifndef QIV_PRIMITIVES_SIPHASH_H_
#define QIV_PRIMITIVES_SIPHASH_H_

#include <cstdint>
#include <span>

namespace qiv {

// k0 and k1 are the two little-endian halves of the 16-byte key.
std::uint64_t SipHash13(std::uint64_t k0, std::uint64_t k1, std::span<const std::uint8_t> data);
std::uint64_t SipHash24(std::uint64_t k0, std::uint64_t k1, std::span<const std::uint8_t> data);

}  // namespace qiv

#endif  // QIV_PRIMITIVES_SIPHASH_H_
