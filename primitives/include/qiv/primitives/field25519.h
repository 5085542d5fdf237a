// Arithmetic modulo p = 2^255 - 19, just enough to tell whether 32 bytes encode a point of
// the Ed25519 curve. Verification calls it on every key, so it is fixed-width (five 51-bit
// limbs, 128-bit products) rather than general big-number code.
//
// The operations handle public values only and are not constant-time.
//
//   qiv::field25519::Element y = qiv::field25519::FromBytes(bytes);
//   int symbol = qiv::field25519::Legendre(y);   // 0, 1 or -1
//
// Pure functions; thread-safe. Exposed for the point check and its tests.
#ifndef QIV_PRIMITIVES_FIELD25519_H_
#define QIV_PRIMITIVES_FIELD25519_H_

#include <array>
#include <cstdint>
#include <span>

namespace qiv::field25519 {

// An element as five limbs of 51 bits, little-endian; the value is sum(limb[i] * 2^(51 i))
// modulo p. Limbs may exceed 51 bits slightly between operations; the represented integer
// need not be below p.
struct Element {
  std::array<std::uint64_t, 5> limb;
};

// The little-endian integer of the 32 bytes with bit 255 ignored (so up to 2^255 - 1; values
// from p upwards stand for their residue).
Element FromBytes(std::span<const std::uint8_t, 32> bytes);
// The canonical (fully reduced) little-endian encoding, bit 255 clear.
std::array<std::uint8_t, 32> ToBytes(const Element& a);

Element Add(const Element& a, const Element& b);
Element Sub(const Element& a, const Element& b);
Element Mul(const Element& a, const Element& b);
Element Square(const Element& a);

// a^((p-1)/2) mod p, which is 0, 1 or p - 1 (Euler's criterion).
Element PowHalfOrder(const Element& a);

// The Legendre symbol of a modulo p: 0 for a = 0, 1 for a non-zero square, -1 otherwise.
int Legendre(const Element& a);

// Whether the 32 bytes encode a curve point under lenient decoding: y (bits 0 to 254) is
// taken modulo p and the sign bit 255 is ignored, so the point exists iff
// (y^2 - 1) / (d y^2 + 1) is a square or zero modulo p. (d y^2 + 1 is never zero, since
// -1/d is not a square.)
bool IsCurvePointEncoding(std::span<const std::uint8_t, 32> bytes);

}  // namespace qiv::field25519

#endif  // QIV_PRIMITIVES_FIELD25519_H_
