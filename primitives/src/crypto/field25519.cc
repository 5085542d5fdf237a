#include "qiv/primitives/field25519.h"

#include <cstring>

namespace qiv::field25519 {
namespace {

using u128 = unsigned __int128;

constexpr std::uint64_t kMask51 = (std::uint64_t{1} << 51) - 1;

// d = -121665 / 121666 mod p.
constexpr Element kD = {{0x34dca135978a3, 0x1a8283b156ebd, 0x5e7a26001c029, 0x739c663a03cbb,
                         0x52036cee2b6ff}};
constexpr Element kOne = {{1, 0, 0, 0, 0}};

std::uint64_t Load64(const std::uint8_t* in) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | in[i];
  return v;
}

// Brings 128-bit limb sums down to limbs of at most 51 bits plus a small excess in limb 0.
Element Carry(u128 t0, u128 t1, u128 t2, u128 t3, u128 t4) {
  Element r;
  t1 += static_cast<std::uint64_t>(t0 >> 51);
  r.limb[0] = static_cast<std::uint64_t>(t0) & kMask51;
  t2 += static_cast<std::uint64_t>(t1 >> 51);
  r.limb[1] = static_cast<std::uint64_t>(t1) & kMask51;
  t3 += static_cast<std::uint64_t>(t2 >> 51);
  r.limb[2] = static_cast<std::uint64_t>(t2) & kMask51;
  t4 += static_cast<std::uint64_t>(t3 >> 51);
  r.limb[3] = static_cast<std::uint64_t>(t3) & kMask51;
  std::uint64_t c = static_cast<std::uint64_t>(t4 >> 51);
  r.limb[4] = static_cast<std::uint64_t>(t4) & kMask51;
  // 2^255 = 19 (mod p). c < 2^62, so 19 c fits; one more step keeps limb 0 near 51 bits.
  u128 l0 = static_cast<u128>(r.limb[0]) + static_cast<u128>(c) * 19;
  r.limb[0] = static_cast<std::uint64_t>(l0) & kMask51;
  r.limb[1] += static_cast<std::uint64_t>(l0 >> 51);
  return r;
}

Element SquareTimes(Element a, int n) {
  for (int i = 0; i < n; ++i) a = Square(a);
  return a;
}

}  // namespace

Element FromBytes(std::span<const std::uint8_t, 32> bytes) {
  std::uint64_t w0 = Load64(&bytes[0]), w1 = Load64(&bytes[8]), w2 = Load64(&bytes[16]),
                w3 = Load64(&bytes[24]);
  return Element{{w0 & kMask51, (w0 >> 51 | w1 << 13) & kMask51, (w1 >> 38 | w2 << 26) & kMask51,
                  (w2 >> 25 | w3 << 39) & kMask51, (w3 >> 12) & kMask51}};
}

std::array<std::uint8_t, 32> ToBytes(const Element& a) {
  // Normalise to limbs of exactly 51 bits (value below 2^255 + small), then subtract p once if
  // needed: q = 1 exactly when value + 19 >= 2^255.
  Element h = Carry(a.limb[0], a.limb[1], a.limb[2], a.limb[3], a.limb[4]);
  h = Carry(h.limb[0], h.limb[1], h.limb[2], h.limb[3], h.limb[4]);
  std::uint64_t q = (h.limb[0] + 19) >> 51;
  q = (h.limb[1] + q) >> 51;
  q = (h.limb[2] + q) >> 51;
  q = (h.limb[3] + q) >> 51;
  q = (h.limb[4] + q) >> 51;
  h.limb[0] += 19 * q;
  h.limb[1] += h.limb[0] >> 51;
  h.limb[0] &= kMask51;
  h.limb[2] += h.limb[1] >> 51;
  h.limb[1] &= kMask51;
  h.limb[3] += h.limb[2] >> 51;
  h.limb[2] &= kMask51;
  h.limb[4] += h.limb[3] >> 51;
  h.limb[3] &= kMask51;
  h.limb[4] &= kMask51;  // drops 2^255, completing the subtraction of p

  std::uint64_t w[4] = {h.limb[0] | h.limb[1] << 51, h.limb[1] >> 13 | h.limb[2] << 38,
                        h.limb[2] >> 26 | h.limb[3] << 25, h.limb[3] >> 39 | h.limb[4] << 12};
  std::array<std::uint8_t, 32> out;
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 8; ++j) out[8 * i + j] = static_cast<std::uint8_t>(w[i] >> (8 * j));
  }
  return out;
}

Element Add(const Element& a, const Element& b) {
  Element r;
  for (int i = 0; i < 5; ++i) r.limb[i] = a.limb[i] + b.limb[i];
  return r;
}

Element Sub(const Element& a, const Element& b) {
  // Adds 4p first so that no limb goes negative for inputs with limbs below 2^53.
  constexpr std::uint64_t k4p0 = 0x1fffffffffffb4, k4pi = 0x1ffffffffffffc;
  Element r;
  r.limb[0] = a.limb[0] + k4p0 - b.limb[0];
  for (int i = 1; i < 5; ++i) r.limb[i] = a.limb[i] + k4pi - b.limb[i];
  return Carry(r.limb[0], r.limb[1], r.limb[2], r.limb[3], r.limb[4]);
}

Element Mul(const Element& a, const Element& b) {
  const std::uint64_t a0 = a.limb[0], a1 = a.limb[1], a2 = a.limb[2], a3 = a.limb[3],
                      a4 = a.limb[4];
  const std::uint64_t b0 = b.limb[0], b1 = b.limb[1], b2 = b.limb[2], b3 = b.limb[3],
                      b4 = b.limb[4];
  const std::uint64_t b1_19 = b1 * 19, b2_19 = b2 * 19, b3_19 = b3 * 19, b4_19 = b4 * 19;
  u128 t0 = (u128)a0 * b0 + (u128)a1 * b4_19 + (u128)a2 * b3_19 + (u128)a3 * b2_19 +
            (u128)a4 * b1_19;
  u128 t1 = (u128)a0 * b1 + (u128)a1 * b0 + (u128)a2 * b4_19 + (u128)a3 * b3_19 +
            (u128)a4 * b2_19;
  u128 t2 = (u128)a0 * b2 + (u128)a1 * b1 + (u128)a2 * b0 + (u128)a3 * b4_19 +
            (u128)a4 * b3_19;
  u128 t3 = (u128)a0 * b3 + (u128)a1 * b2 + (u128)a2 * b1 + (u128)a3 * b0 + (u128)a4 * b4_19;
  u128 t4 = (u128)a0 * b4 + (u128)a1 * b3 + (u128)a2 * b2 + (u128)a3 * b1 + (u128)a4 * b0;
  return Carry(t0, t1, t2, t3, t4);
}

Element Square(const Element& a) {
  const std::uint64_t a0 = a.limb[0], a1 = a.limb[1], a2 = a.limb[2], a3 = a.limb[3],
                      a4 = a.limb[4];
  const std::uint64_t d0 = a0 * 2, d1 = a1 * 2, d2 = a2 * 2, d3 = a3 * 2;
  const std::uint64_t a3_19 = a3 * 19, a4_19 = a4 * 19;
  u128 t0 = (u128)a0 * a0 + (u128)d1 * a4_19 + (u128)d2 * a3_19;
  u128 t1 = (u128)d0 * a1 + (u128)d2 * a4_19 + (u128)a3 * a3_19;
  u128 t2 = (u128)d0 * a2 + (u128)a1 * a1 + (u128)d3 * a4_19;
  u128 t3 = (u128)d0 * a3 + (u128)d1 * a2 + (u128)a4 * a4_19;
  u128 t4 = (u128)d0 * a4 + (u128)d1 * a3 + (u128)a2 * a2;
  return Carry(t0, t1, t2, t3, t4);
}

Element PowHalfOrder(const Element& z) {
  // (p - 1) / 2 = 2^254 - 10 = 4 (2^252 - 3) + 2, with the usual chain to z^(2^250 - 1).
  Element z2 = Square(z);                            // 2
  Element t = Mul(z, SquareTimes(z2, 2));            // 9
  Element z11 = Mul(z2, t);                          // 11
  Element e5 = Mul(t, Square(z11));                  // 2^5 - 1
  Element e10 = Mul(SquareTimes(e5, 5), e5);         // 2^10 - 1
  Element e20 = Mul(SquareTimes(e10, 10), e10);      // 2^20 - 1
  Element e40 = Mul(SquareTimes(e20, 20), e20);      // 2^40 - 1
  Element e50 = Mul(SquareTimes(e40, 10), e10);      // 2^50 - 1
  Element e100 = Mul(SquareTimes(e50, 50), e50);     // 2^100 - 1
  Element e200 = Mul(SquareTimes(e100, 100), e100);  // 2^200 - 1
  Element e250 = Mul(SquareTimes(e200, 50), e50);    // 2^250 - 1
  Element e252 = Mul(SquareTimes(e250, 2), z);       // 2^252 - 3
  return Mul(SquareTimes(e252, 2), z2);              // 2^254 - 10
}

int Legendre(const Element& a) {
  std::array<std::uint8_t, 32> r = ToBytes(PowHalfOrder(a));
  static constexpr std::array<std::uint8_t, 32> kZero{};
  static constexpr std::array<std::uint8_t, 32> kOneBytes{1};
  if (r == kZero) return 0;
  if (r == kOneBytes) return 1;
  return -1;
}

bool IsCurvePointEncoding(std::span<const std::uint8_t, 32> bytes) {
  Element y = FromBytes(bytes);
  Element y2 = Square(y);
  Element u = Sub(y2, kOne);
  Element v = Add(Mul(kD, y2), kOne);
  return Legendre(Mul(u, v)) >= 0;
}

}  // namespace qiv::field25519
