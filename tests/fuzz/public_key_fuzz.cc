// Fuzzes the public-key text decoding (strict unpadded base64) and the lenient Ed25519 point
// decoding behind signature verification.
//
// The input is used three ways:
//   - as a key text: Base64Decode accepts it exactly when an independent strictness check
//     does (alphabet only, no final group of one character, zero unused bits), an accepted
//     text is the encoding of what it decodes to, and Base64DecodeExact agrees for 32 bytes;
//   - as bytes: encoding them and decoding the text gives them back;
//   - its first 32 bytes, when it has at least 63, as a raw key: IsValidPublicKeyPoint agrees with an independent
//     check done with OpenSSL's BIGNUM ((y^2 - 1) / (d y^2 + 1) is a square mod p, y reduced
//     mod p, sign bit ignored); VerifySignature on that key's text fails with BadPublicKey
//     exactly when the point is invalid, for a 64-byte signature taken from the input's end
//     and for a 63-byte one, which can only fail with BadSignature on a valid key.
// Nothing may fault.
#include <openssl/bn.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "qiv/primitives/base64.h"
#include "qiv/primitives/verify.h"

namespace {

using qiv::fuzz::Escaped;

std::string Hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : bytes) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 0xF]);
  }
  return out;
}

int Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Strict unpadded standard base64, judged without decoding.
bool IsStrictBase64(std::string_view text) {
  for (char c : text) {
    if (Base64Value(static_cast<unsigned char>(c)) < 0) return false;
  }
  switch (text.size() % 4) {
    case 0: return true;
    case 1: return false;
    case 2: return (Base64Value(static_cast<unsigned char>(text.back())) & 0x0F) == 0;
    default: return (Base64Value(static_cast<unsigned char>(text.back())) & 0x03) == 0;
  }
}

struct BnFree {
  void operator()(BIGNUM* bn) const { BN_free(bn); }
  void operator()(BN_CTX* ctx) const { BN_CTX_free(ctx); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

Bn NewBn() {
  Bn bn(BN_new());
  QIV_FUZZ_CHECK(bn != nullptr, "BN_new failed");
  return bn;
}

// The curve constants p = 2^255 - 19, d = -121665 / 121666 mod p and (p - 1) / 2.
struct Curve {
  Bn p = NewBn(), d = NewBn(), half = NewBn();
  std::unique_ptr<BN_CTX, BnFree> ctx{BN_CTX_new()};

  Curve() {
    Bn t = NewBn(), u = NewBn();
    bool ok = BN_set_word(p.get(), 1) && BN_lshift(p.get(), p.get(), 255) &&
              BN_sub_word(p.get(), 19) && BN_set_word(t.get(), 121666) &&
              BN_mod_inverse(t.get(), t.get(), p.get(), ctx.get()) != nullptr &&
              BN_set_word(u.get(), 121665) && BN_sub(u.get(), p.get(), u.get()) &&
              BN_mod_mul(d.get(), u.get(), t.get(), p.get(), ctx.get()) &&
              BN_sub(half.get(), p.get(), BN_value_one()) && BN_rshift1(half.get(), half.get());
    QIV_FUZZ_CHECK(ok, "setting up the curve constants failed");
  }
};

bool OracleIsPoint(const Curve& c, std::span<const std::uint8_t, 32> key) {
  std::array<std::uint8_t, 32> y_bytes;
  std::copy(key.begin(), key.end(), y_bytes.begin());
  y_bytes[31] &= 0x7F;  // the sign of x
  Bn y = NewBn(), y2 = NewBn(), u = NewBn(), v = NewBn(), w = NewBn();
  BN_CTX* ctx = c.ctx.get();
  bool ok = BN_lebin2bn(y_bytes.data(), y_bytes.size(), y.get()) != nullptr &&
            BN_nnmod(y.get(), y.get(), c.p.get(), ctx) &&
            BN_mod_sqr(y2.get(), y.get(), c.p.get(), ctx) &&
            BN_mod_sub(u.get(), y2.get(), BN_value_one(), c.p.get(), ctx) &&
            BN_mod_mul(v.get(), c.d.get(), y2.get(), c.p.get(), ctx) &&
            BN_mod_add(v.get(), v.get(), BN_value_one(), c.p.get(), ctx) &&
            BN_mod_inverse(v.get(), v.get(), c.p.get(), ctx) != nullptr &&
            BN_mod_mul(w.get(), u.get(), v.get(), c.p.get(), ctx);
  QIV_FUZZ_CHECK(ok, "BIGNUM arithmetic failed for key " << Hex(key));
  if (BN_is_zero(w.get())) return true;  // x = 0, whatever the sign bit says
  ok = BN_mod_exp(w.get(), w.get(), c.half.get(), c.p.get(), ctx);
  QIV_FUZZ_CHECK(ok, "BN_mod_exp failed for key " << Hex(key));
  return BN_is_one(w.get());
}

const char* Describe(const qiv::Result<void, qiv::VerifyError>& r) {
  if (r.ok()) return "success";
  return r.error() == qiv::VerifyError::kBadPublicKey ? "BadPublicKey" : "BadSignature";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Curve* const curve = new Curve();
  const std::string_view text = qiv::fuzz::AsText(data, size);
  const std::span<const std::uint8_t> bytes(data, size);

  // The input as a key text.
  const auto decoded = qiv::Base64Decode(text);
  QIV_FUZZ_CHECK(decoded.has_value() == IsStrictBase64(text),
                 "Base64Decode(" << Escaped(text) << ") "
                                 << (decoded ? "accepted a text that is not strict base64"
                                             : "refused strict base64"));
  if (decoded) {
    const std::string again = qiv::Base64Encode(*decoded);
    QIV_FUZZ_CHECK(again == text, "Base64Decode(" << Escaped(text) << ") gave " << Hex(*decoded)
                                                  << ", which encodes as " << Escaped(again));
  }
  std::array<std::uint8_t, 32> exact{};
  const bool exact_ok = qiv::Base64DecodeExact(text, exact);
  const bool want_exact = decoded && decoded->size() == 32;
  QIV_FUZZ_CHECK(exact_ok == want_exact &&
                     (!exact_ok || std::equal(exact.begin(), exact.end(), decoded->begin())),
                 "Base64DecodeExact(" << Escaped(text) << ", 32) disagrees with Base64Decode");

  // The input as bytes.
  const std::string encoded = qiv::Base64Encode(bytes);
  const auto round = qiv::Base64Decode(encoded);
  QIV_FUZZ_CHECK(round && std::equal(round->begin(), round->end(), bytes.begin(), bytes.end()),
                 "bytes " << Hex(bytes) << " encode as " << Escaped(encoded)
                          << ", which does not decode back");

  // The first 32 bytes as a raw key.
  if (size < 63) return 0;
  const std::span<const std::uint8_t, 32> key(data, 32);
  const bool valid = qiv::IsValidPublicKeyPoint(key);
  const bool oracle = OracleIsPoint(*curve, key);
  QIV_FUZZ_CHECK(valid == oracle, "IsValidPublicKeyPoint(" << Hex(key) << ") is " << valid
                                                           << ", the curve equation says "
                                                           << oracle);
  const std::string key_text = qiv::Base64Encode(key);
  const std::span<const std::uint8_t> payload = bytes;
  const std::span<const std::uint8_t> signature =
      size >= 96 ? bytes.last(64) : std::span<const std::uint8_t>();
  if (signature.size() == 64) {
    const auto r = qiv::VerifySignature(key_text, payload, signature);
    QIV_FUZZ_CHECK(valid ? (r.ok() || r.error() == qiv::VerifyError::kBadSignature)
                         : (!r.ok() && r.error() == qiv::VerifyError::kBadPublicKey),
                   "VerifySignature(key " << Hex(key) << ", signature " << Hex(signature)
                                          << ") gave " << Describe(r) << " for a "
                                          << (valid ? "valid" : "invalid") << " point");
  }
  // Never 64 bytes long, so it can only fail, and only for the reason the key decides.
  const auto short_sig = qiv::VerifySignature(key_text, payload, bytes.first(63));
  const qiv::VerifyError want =
      valid ? qiv::VerifyError::kBadSignature : qiv::VerifyError::kBadPublicKey;
  QIV_FUZZ_CHECK(!short_sig.ok() && short_sig.error() == want,
                 "VerifySignature(key " << Hex(key) << ", a 63-byte signature) gave "
                                        << Describe(short_sig));
  return 0;
}
