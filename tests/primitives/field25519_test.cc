#include "qiv/primitives/field25519.h"

#include <gtest/gtest.h>
#include <openssl/rand.h>

#include <array>
#include <string>
#include <vector>

#include "qiv/primitives/hex.h"
#include "openssl_reference.h"

namespace qiv::field25519 {
namespace {

using Bytes = std::array<std::uint8_t, 32>;

// Reference arithmetic with OpenSSL's general big numbers.
class Reference {
 public:
  Reference() : ctx_(BN_CTX_new()), p_(BN_new()), half_(BN_new()), d_(BN_new()) {
    BN_set_bit(p_.get(), 255);
    BN_sub_word(p_.get(), 19);
    BN_copy(half_.get(), p_.get());
    BN_sub_word(half_.get(), 1);
    BN_rshift1(half_.get(), half_.get());
    // d = -121665 / 121666 mod p
    ossl::BignumPtr num(BN_new()), den(BN_new());
    BN_set_word(num.get(), 121665);
    BN_sub(num.get(), p_.get(), num.get());
    BN_set_word(den.get(), 121666);
    BN_mod_inverse(den.get(), den.get(), p_.get(), ctx_.get());
    BN_mod_mul(d_.get(), num.get(), den.get(), p_.get(), ctx_.get());
  }

  // The integer of bits 0 to 254, as FromBytes reads it.
  ossl::BignumPtr Load(const Bytes& bytes) const {
    Bytes copy = bytes;
    copy[31] &= 0x7f;
    return ossl::BignumPtr(BN_lebin2bn(copy.data(), 32, nullptr));
  }

  Bytes Store(const BIGNUM* a) const {
    ossl::BignumPtr r(BN_new());
    BN_nnmod(r.get(), a, p_.get(), ctx_.get());
    Bytes out;
    BN_bn2lebinpad(r.get(), out.data(), 32);
    return out;
  }

  Bytes Mul(const Bytes& a, const Bytes& b) const {
    ossl::BignumPtr r(BN_new());
    BN_mod_mul(r.get(), Load(a).get(), Load(b).get(), p_.get(), ctx_.get());
    return Store(r.get());
  }

  int Legendre(const BIGNUM* a) const {
    ossl::BignumPtr r(BN_new());
    BN_mod_exp(r.get(), a, half_.get(), p_.get(), ctx_.get());
    if (BN_is_zero(r.get())) return 0;
    if (BN_is_one(r.get())) return 1;
    return -1;
  }

  bool IsPoint(const Bytes& bytes) const {
    ossl::BignumPtr y(Load(bytes)), y2(BN_new()), u(BN_new()), v(BN_new()), w(BN_new());
    BN_mod_sqr(y2.get(), y.get(), p_.get(), ctx_.get());
    BN_mod_sub(u.get(), y2.get(), BN_value_one(), p_.get(), ctx_.get());
    BN_mod_mul(v.get(), d_.get(), y2.get(), p_.get(), ctx_.get());
    BN_mod_add(v.get(), v.get(), BN_value_one(), p_.get(), ctx_.get());
    BN_mod_mul(w.get(), u.get(), v.get(), p_.get(), ctx_.get());
    return Legendre(w.get()) >= 0;
  }

  // p + k for small k, as 32 bytes (k <= 18 keeps it below 2^255).
  Bytes POffset(long k) const {
    ossl::BignumPtr r(BN_dup(p_.get()));
    if (k >= 0) BN_add_word(r.get(), k); else BN_sub_word(r.get(), -k);
    Bytes out;
    BN_bn2lebinpad(r.get(), out.data(), 32);
    return out;
  }

 private:
  ossl::BnCtxPtr ctx_;
  ossl::BignumPtr p_, half_, d_;
};

Bytes Random() {
  Bytes out;
  EXPECT_EQ(RAND_bytes(out.data(), 32), 1);
  return out;
}

// Inputs that stress reduction and carries: around 0, around p, around 2^255, and values
// whose limbs are all at their maximum or minimum.
std::vector<Bytes> EdgeInputs(const Reference& ref) {
  std::vector<Bytes> inputs;
  for (long k = -20; k <= 18; ++k) inputs.push_back(ref.POffset(k));
  for (int k = 0; k < 20; ++k) inputs.push_back(Bytes{static_cast<std::uint8_t>(k)});
  Bytes all_ones;
  all_ones.fill(0xff);
  inputs.push_back(all_ones);  // bit 255 is ignored: 2^255 - 1 = p + 18
  Bytes pattern;
  for (int i = 0; i < 32; ++i) pattern[i] = static_cast<std::uint8_t>(i % 2 ? 0x00 : 0xff);
  inputs.push_back(pattern);
  for (int bit = 0; bit < 255; bit += 17) {
    Bytes single{};
    single[bit / 8] = static_cast<std::uint8_t>(1 << (bit % 8));
    inputs.push_back(single);
  }
  return inputs;
}

TEST(Field25519, RoundTripReducesToCanonicalBytes) {
  Reference ref;
  std::vector<Bytes> inputs = EdgeInputs(ref);
  for (int i = 0; i < 500; ++i) inputs.push_back(Random());
  for (const Bytes& in : inputs) {
    SCOPED_TRACE(HexEncode(in));
    EXPECT_EQ(ToBytes(FromBytes(in)), ref.Store(ref.Load(in).get()));
  }
}

TEST(Field25519, ArithmeticMatchesBigNumbers) {
  Reference ref;
  std::vector<Bytes> inputs = EdgeInputs(ref);
  for (int i = 0; i < 200; ++i) inputs.push_back(Random());
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const Bytes& a = inputs[i];
    const Bytes& b = inputs[(i * 7 + 3) % inputs.size()];
    SCOPED_TRACE(HexEncode(a) + " " + HexEncode(b));
    Element fa = FromBytes(a), fb = FromBytes(b);
    EXPECT_EQ(ToBytes(Mul(fa, fb)), ref.Mul(a, b));
    EXPECT_EQ(ToBytes(Square(fa)), ref.Mul(a, a));
    // Unreduced sums and differences as inputs to further products.
    Bytes sum = ToBytes(Add(fa, fb)), diff = ToBytes(Sub(fa, fb));
    EXPECT_EQ(ToBytes(Mul(Add(fa, fb), Sub(fa, fb))), ref.Mul(sum, diff));
    EXPECT_EQ(ToBytes(Add(Sub(fa, fb), fb)), ref.Store(ref.Load(a).get()));
  }
}

TEST(Field25519, LegendreMatchesEulerCriterion) {
  Reference ref;
  std::vector<Bytes> inputs = EdgeInputs(ref);
  for (int i = 0; i < 2000; ++i) inputs.push_back(Random());
  int counts[3] = {0, 0, 0};
  for (const Bytes& in : inputs) {
    SCOPED_TRACE(HexEncode(in));
    int expected = ref.Legendre(ref.Load(in).get());
    EXPECT_EQ(Legendre(FromBytes(in)), expected);
    ++counts[expected + 1];
  }
  // The inputs reach all three outcomes.
  EXPECT_GT(counts[0], 100);
  EXPECT_GT(counts[1], 0);
  EXPECT_GT(counts[2], 100);
}

TEST(Field25519, CurvePointCheckMatchesBigNumbers) {
  Reference ref;
  std::vector<Bytes> inputs = EdgeInputs(ref);
  for (int i = 0; i < 2000; ++i) inputs.push_back(Random());
  int valid = 0;
  for (Bytes in : inputs) {
    for (std::uint8_t sign : {0x00, 0x80}) {
      in[31] = static_cast<std::uint8_t>((in[31] & 0x7f) | sign);
      SCOPED_TRACE(HexEncode(in));
      bool expected = ref.IsPoint(in);
      EXPECT_EQ(IsCurvePointEncoding(in), expected);
      valid += expected;
    }
  }
  EXPECT_GT(valid, 1000);
  EXPECT_LT(valid, 3500);
}

}  // namespace
}  // namespace qiv::field25519
