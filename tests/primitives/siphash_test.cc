#include "qiv/primitives/siphash.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace qiv {
namespace {

std::vector<std::uint8_t> Iota(std::size_t n) {
  std::vector<std::uint8_t> v(n);
  std::iota(v.begin(), v.end(), std::uint8_t{0});
  return v;
}

constexpr std::uint64_t kK0 = 0x0706050403020100ULL;  // key bytes 00..0f
constexpr std::uint64_t kK1 = 0x0f0e0d0c0b0a0908ULL;

TEST(SipHash, TwoFourMatchesPublishedVectors) {
  // The reference vectors for key 00..0f and messages 00..(n-1).
  EXPECT_EQ(SipHash24(kK0, kK1, Iota(0)), 0x726fdb47dd0e0e31ULL);
  EXPECT_EQ(SipHash24(kK0, kK1, Iota(15)), 0xa129ca6149be45e5ULL);
}

TEST(SipHash, OneThreeWithZeroKeysMatchesReferenceValues) {
  // Values of an independent SipHash-1-3 with an all-zero key, across block boundaries.
  struct Case {
    std::vector<std::uint8_t> input;
    std::uint64_t hash;
  };
  const std::vector<Case> cases = {
      {{0x61}, 0x407448d2b89b1813ULL},
      {{0x61, 0x62, 0x63}, 0xc03bc3a0042630f2ULL},
      {Iota(8), 0xead411e67ebe2eeaULL},
      {Iota(15), 0xf30eb725bb91c9eaULL},
      {Iota(64), 0x75e05fd5bbc870c6ULL},
      {{0, 0, 0, 0, 0, 0, 0, 0, 0x61, 0xFF, 0x62, 0xFF}, 0x6c951010f6126c52ULL},
      {{9, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF}, 0xbf4c25f8ca675489ULL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.size());
    EXPECT_EQ(SipHash13(0, 0, c.input), c.hash);
  }
}

TEST(SipHash, KeyAndRoundsChangeTheHash) {
  std::vector<std::uint8_t> data = Iota(15);
  EXPECT_NE(SipHash13(kK0, kK1, data), SipHash13(0, 0, data));
  EXPECT_NE(SipHash13(kK0, kK1, data), SipHash24(kK0, kK1, data));
}

}  // namespace
}  // namespace qiv
