#include "qiv/primitives/siphash.h"

#include <cstring>

namespace qiv {
namespace {

inline std::uint64_t Rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  void Round() {
    v0 += v1;
    v1 = Rotl(v1, 13);
    v1 ^= v0;
    v0 = Rotl(v0, 32);
    v2 += v3;
    v3 = Rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = Rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = Rotl(v1, 17);
    v1 ^= v2;
    v2 = Rotl(v2, 32);
  }
};

inline std::uint64_t LoadLe64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

template <int kCompressionRounds, int kFinalizationRounds>
std::uint64_t SipHash(std::uint64_t k0, std::uint64_t k1, std::span<const std::uint8_t> data) {
  SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL,
             k0 ^ 0x6c7967656e657261ULL, k1 ^ 0x7465646279746573ULL};
  const std::uint8_t* p = data.data();
  std::size_t n = data.size();
  auto compress = [&s](std::uint64_t m) {
    s.v3 ^= m;
    for (int i = 0; i < kCompressionRounds; ++i) s.Round();
    s.v0 ^= m;
  };
  std::size_t whole = n & ~std::size_t{7};
  for (std::size_t i = 0; i < whole; i += 8) compress(LoadLe64(p + i));
  // Last block: the remaining bytes, then the length's low byte in the top position.
  std::uint64_t last = static_cast<std::uint64_t>(n & 0xFF) << 56;
  for (std::size_t i = whole; i < n; ++i) {
    last |= static_cast<std::uint64_t>(p[i]) << (8 * (i - whole));
  }
  compress(last);
  s.v2 ^= 0xFF;
  for (int i = 0; i < kFinalizationRounds; ++i) s.Round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace

std::uint64_t SipHash13(std::uint64_t k0, std::uint64_t k1, std::span<const std::uint8_t> data) {
  return SipHash<1, 3>(k0, k1, data);
}

std::uint64_t SipHash24(std::uint64_t k0, std::uint64_t k1, std::span<const std::uint8_t> data) {
  return SipHash<2, 4>(k0, k1, data);
}

}  // namespace qiv
