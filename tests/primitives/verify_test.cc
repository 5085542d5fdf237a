#include "qiv/primitives/verify.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "qiv/primitives/base64.h"
#include "qiv/primitives/fingerprint.h"
#include "qiv/primitives/hex.h"
#include "qiv/primitives/identity.h"
#include "test_bytes.h"

namespace qiv {
namespace {

using testing::FromHex;
using testing::FromHexArray;

std::string Outcome(const Result<void, VerifyError>& result) {
  return result.ok() ? "ok" : std::string(VerifyErrorText(result.error()));
}

// RFC 8032 TEST 3: a key, a message and its valid signature.
const auto kKey = FromHexArray<32>("fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025");
const std::vector<std::uint8_t> kMessage = FromHex("af82");
const std::vector<std::uint8_t> kSignature = FromHex(
    "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984d"
    "c6594a7c15e9716ed28dc027beceea1ec40a");

TEST(VerifyError, TextIsTheName) {
  EXPECT_EQ(VerifyErrorText(VerifyError::kBadPublicKey), "BadPublicKey");
  EXPECT_EQ(VerifyErrorText(VerifyError::kBadSignature), "BadSignature");
}

TEST(VerifySignature, AcceptsValidSignature) {
  EXPECT_EQ(Outcome(VerifySignature(Base64Encode(kKey), kMessage, kSignature)), "ok");
}

TEST(VerifySignature, RefusesKeyTextsThatAreNotStrictBase64Of32Bytes) {
  const std::string good = Base64Encode(kKey);
  ASSERT_EQ(good.size(), 43u);
  ASSERT_EQ(good.back(), 'U');
  std::string url_safe = good;
  url_safe[10] = '-';
  const std::string cases[] = {
      good + "=",                     // the padded form of the same key
      good.substr(0, 42),             // 42 characters
      good.substr(0, 42) + "V",       // unused bits set ("U" and "V" give the same bytes)
      good + "A",                     // 44 characters
      good.substr(0, 40) + "AAAA",    // 33 bytes
      " " + good,                     // white space
      good + "\n",
      good.substr(0, 20) + "\n" + good.substr(20),
      url_safe,                       // URL-safe alphabet
      good.substr(0, 42) + "_",
      "",                             // empty
      std::string(43, '='),
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Outcome(VerifySignature(text, kMessage, kSignature)), "BadPublicKey");
    // Key failures come before signature failures.
    std::vector<std::uint8_t> short_signature(kSignature.begin(), kSignature.end() - 1);
    EXPECT_EQ(Outcome(VerifySignature(text, kMessage, short_signature)), "BadPublicKey");
  }
}

TEST(VerifySignature, RefusesMalformedSignatures) {
  const std::string key = Base64Encode(kKey);
  auto with_s = [&](auto edit) {
    std::vector<std::uint8_t> sig = kSignature;
    edit(sig);
    return sig;
  };
  // S + L still fits in 32 bytes for this signature; the sum is computed bytewise.
  auto add_group_order = [](std::vector<std::uint8_t>& sig) {
    const auto l = FromHexArray<32>("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
    unsigned carry = 0;
    for (int i = 0; i < 32; ++i) {
      unsigned sum = sig[32 + i] + l[i] + carry;
      sig[32 + i] = static_cast<std::uint8_t>(sum);
      carry = sum >> 8;
    }
    ASSERT_EQ(carry, 0u);
    ASSERT_LT(sig[63], 0x80);
  };
  struct Case {
    const char* name;
    std::vector<std::uint8_t> signature;
  } cases[] = {
      {"empty", {}},
      {"63 bytes", {kSignature.begin(), kSignature.end() - 1}},
      {"65 bytes", with_s([](auto& s) { s.push_back(0); })},
      {"S + L", with_s(add_group_order)},
      {"S with bit 255 set", with_s([](auto& s) { s[63] |= 0x80; })},
      {"S = L", with_s([](auto& s) {
         auto l = FromHex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
         std::copy(l.begin(), l.end(), s.begin() + 32);
       })},
      {"R changed", with_s([](auto& s) { s[0] ^= 1; })},
      {"S changed", with_s([](auto& s) { s[32] ^= 1; })},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Outcome(VerifySignature(key, kMessage, c.signature)), "BadSignature");
  }
  std::vector<std::uint8_t> other_message = {0xaf, 0x83};
  EXPECT_EQ(Outcome(VerifySignature(key, other_message, kSignature)), "BadSignature");
}

TEST(VerifySignature, NoSingleBitFlipVerifies) {
  const std::string key = Base64Encode(kKey);
  for (std::size_t bit = 0; bit < 512; ++bit) {
    std::vector<std::uint8_t> sig = kSignature;
    sig[bit / 8] ^= static_cast<std::uint8_t>(1 << (bit % 8));
    EXPECT_EQ(Outcome(VerifySignature(key, kMessage, sig)), "BadSignature") << bit;
  }
}

// Edge cases with the outcome a big-integer model of the rules gives (small-order, mixed-order
// and non-canonical keys, the neutral key, small-order and non-canonical R, off-curve keys and
// published cross-implementation cases). See tests/data/make_ed25519_verify_vectors.py.
TEST(VerifySignature, MatchesModelOnEdgeVectors) {
  std::ifstream in(QIV_TEST_DATA_DIR "/ed25519_verify_vectors.txt");
  ASSERT_TRUE(in) << "missing test data";
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string label, key_hex, message_hex, signature_hex, expected;
    fields >> label >> key_hex >> message_hex >> signature_hex >> expected;
    SCOPED_TRACE(label);
    std::vector<std::uint8_t> key = FromHex(key_hex);
    std::vector<std::uint8_t> message = message_hex == "-" ? std::vector<std::uint8_t>{}
                                                           : FromHex(message_hex);
    std::vector<std::uint8_t> signature = FromHex(signature_hex);
    EXPECT_EQ(Outcome(VerifySignature(Base64Encode(key), message, signature)), expected);
    EXPECT_EQ(IsValidPublicKeyPoint(std::span<const std::uint8_t, 32>(key.data(), 32)),
              expected != "BadPublicKey");
    ++count;
  }
  EXPECT_GT(count, 100);
}

TEST(VerifySignature, NeverFaultsOnArbitraryInput) {
  std::uint64_t state = 0x9e3779b97f4a7c15;
  auto next = [&] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<std::uint8_t>(state);
  };
  for (int i = 0; i < 300; ++i) {
    std::array<std::uint8_t, 32> key;
    for (auto& b : key) b = next();
    std::vector<std::uint8_t> payload(next() % 9), signature(i % 3 == 0 ? 64 : next() % 70);
    for (auto& b : payload) b = next();
    for (auto& b : signature) b = next();
    auto result = VerifySignature(Base64Encode(key), payload, signature);
    EXPECT_FALSE(result.ok());
    EXPECT_EQ(result.error() == VerifyError::kBadPublicKey, !IsValidPublicKeyPoint(key));
  }
}

TEST(CheckedFingerprintOf, RefusesWrongLengthThenInvalidPoint) {
  EXPECT_EQ(CheckedFingerprintOf(std::vector<std::uint8_t>(31)).error(),
            FingerprintError::kWrongLength);
  EXPECT_EQ(CheckedFingerprintOf(std::vector<std::uint8_t>(33)).error(),
            FingerprintError::kWrongLength);
  EXPECT_EQ(CheckedFingerprintOf({}).error(), FingerprintError::kWrongLength);
  // y = 2 gives no point.
  std::array<std::uint8_t, 32> off_curve{2};
  ASSERT_FALSE(IsValidPublicKeyPoint(off_curve));
  EXPECT_EQ(CheckedFingerprintOf(off_curve).error(), FingerprintError::kInvalidPoint);
  EXPECT_EQ(FingerprintErrorText(FingerprintError::kWrongLength),
            "public_key must be exactly 32 bytes");
  EXPECT_EQ(FingerprintErrorText(FingerprintError::kInvalidPoint),
            "invalid Ed25519 public key bytes");
  EXPECT_EQ(*CheckedFingerprintOf(kKey), FingerprintOf(kKey));
}

TEST(FingerprintOf, HashesTheBytesAsGiven) {
  // Any 32 bytes have a fingerprint, points or not.
  std::array<std::uint8_t, 32> off_curve{2};
  std::string fp = FingerprintOf(off_curve);
  EXPECT_EQ(fp.size(), 32u);
  EXPECT_EQ(fp.find_first_not_of("0123456789abcdef"), std::string::npos);
  // SHA-256 of 32 zero bytes begins 66687aadf862bd776c8fc18b8e9f8e20.
  EXPECT_EQ(FingerprintOf(std::array<std::uint8_t, 32>{}), "66687aadf862bd776c8fc18b8e9f8e20");
  // The neutral element written with y = p + 1: the same point, a different fingerprint.
  auto noncanonical =
      FromHexArray<32>("eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f");
  std::array<std::uint8_t, 32> canonical{1};
  EXPECT_TRUE(IsValidPublicKeyPoint(noncanonical));
  EXPECT_NE(FingerprintOf(noncanonical), FingerprintOf(canonical));
}

}  // namespace
}  // namespace qiv
