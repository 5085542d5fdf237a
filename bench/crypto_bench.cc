// Ed25519 signing and verification and SHA-256: Crypto++ (the library our code runs on),
// libsodium and OpenSSL called directly, next to our own paths (SoftwareIdentity::Sign,
// VerifySignature, FingerprintOf). The raw Crypto++ calls are the floor our wrappers are
// measured against; libsodium and OpenSSL are what a user might pick instead.
//
// Payloads: 64 bytes (about the size of canonical signing bytes) and 4 KiB.
#include <benchmark/benchmark.h>
#include <cryptopp/donna.h>
#include <cryptopp/sha.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#ifdef QIV_BENCH_HAVE_SODIUM  // defined by the build when libsodium is installed
#include <sodium.h>
#endif

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "bench_util.h"

#if __has_include("qiv/primitives/identity.h")
#include "qiv/primitives/identity.h"
#define QIV_BENCH_HAVE_IDENTITY 1
#endif
#if __has_include("qiv/primitives/verify.h") && __has_include("qiv/primitives/base64.h")
#include "qiv/primitives/base64.h"
#include "qiv/primitives/verify.h"
#define QIV_BENCH_HAVE_VERIFY 1
#endif
#if __has_include("qiv/primitives/fingerprint.h")
#include "qiv/primitives/fingerprint.h"
#define QIV_BENCH_HAVE_FINGERPRINT 1
#endif

namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct MdFree {
  void operator()(EVP_MD* md) const { EVP_MD_free(md); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using MdPtr = std::unique_ptr<EVP_MD, MdFree>;

[[noreturn]] void Die(const char* what) {
  std::fprintf(stderr, "call failed: %s\n", what);
  std::exit(2);
}

// The key pair, public key and one signature per payload size, made once per program.
struct Keys {
  PkeyPtr private_key;
  PkeyPtr public_key;
  std::array<std::uint8_t, 32> public_bytes{};
  std::string public_b64;

  static const Keys& Get() {
    static const Keys* keys = new Keys();
    return *keys;
  }

  std::vector<std::uint8_t> Sign(std::span<const std::uint8_t> payload) const {
    MdCtxPtr ctx(EVP_MD_CTX_new());
    std::vector<std::uint8_t> signature(64);
    std::size_t length = signature.size();
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, private_key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), signature.data(), &length, payload.data(), payload.size()) != 1) {
      Die("sign");
    }
    return signature;
  }

 private:
  Keys() {
    std::vector<std::uint8_t> seed = qiv::bench::Seed();
    private_key.reset(
        EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()));
    if (!private_key) Die("private key");
    std::size_t length = public_bytes.size();
    if (EVP_PKEY_get_raw_public_key(private_key.get(), public_bytes.data(), &length) != 1) {
      Die("public key bytes");
    }
    public_key.reset(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, public_bytes.data(),
                                                 public_bytes.size()));
    if (!public_key) Die("public key");
    // Unpadded standard base64, written here so the raw benchmarks need none of our code.
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::uint32_t bits = 0;
    int bit_count = 0;
    for (std::uint8_t b : public_bytes) {
      bits = (bits << 8) | b;
      bit_count += 8;
      while (bit_count >= 6) {
        bit_count -= 6;
        public_b64.push_back(kAlphabet[(bits >> bit_count) & 63]);
      }
    }
    if (bit_count > 0) public_b64.push_back(kAlphabet[(bits << (6 - bit_count)) & 63]);
  }
};

// --- Raw Crypto++ ---------------------------------------------------------------------------

// The seed and public key held as bytes; the seed is expanded again on every call.
void BM_CryptoppSign(benchmark::State& state) {
  const Keys& keys = Keys::Get();
  std::vector<std::uint8_t> seed = qiv::bench::Seed();
  std::vector<std::uint8_t> payload = qiv::bench::Payload(state.range(0));
  std::array<std::uint8_t, 64> signature;
  for (auto _ : state) {
    if (CryptoPP::Donna::ed25519_sign(payload.data(), payload.size(), seed.data(),
                                      keys.public_bytes.data(), signature.data()) != 0) {
      Die("Crypto++ sign");
    }
    benchmark::DoNotOptimize(signature);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CryptoppSign)->Arg(64)->Arg(4096);

// The key decoded from its 32 bytes on every call (the call keeps no key object).
void BM_CryptoppVerify(benchmark::State& state) {
  const Keys& keys = Keys::Get();
  std::vector<std::uint8_t> payload = qiv::bench::Payload(state.range(0));
  std::vector<std::uint8_t> signature = keys.Sign(payload);
  for (auto _ : state) {
    if (CryptoPP::Donna::ed25519_sign_open(payload.data(), payload.size(),
                                           keys.public_bytes.data(), signature.data()) != 0) {
      Die("Crypto++ verify");
    }
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CryptoppVerify)->Arg(64)->Arg(4096);

void BM_Sha256Cryptopp(benchmark::State& state) {
  std::vector<std::uint8_t> input = qiv::bench::Payload(32);
  std::array<std::uint8_t, 32> digest;
  for (auto _ : state) {
    CryptoPP::SHA256().CalculateDigest(digest.data(), input.data(), input.size());
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * 32);
}
BENCHMARK(BM_Sha256Cryptopp);

// --- Raw libsodium --------------------------------------------------------------------------

#ifdef QIV_BENCH_HAVE_SODIUM
// Its 64-byte secret key (seed and public key) made once.
void BM_SodiumSign(benchmark::State& state) {
  if (sodium_init() < 0) Die("sodium_init");
  std::vector<std::uint8_t> seed = qiv::bench::Seed();
  std::array<std::uint8_t, crypto_sign_PUBLICKEYBYTES> public_key;
  std::array<std::uint8_t, crypto_sign_SECRETKEYBYTES> secret_key;
  crypto_sign_seed_keypair(public_key.data(), secret_key.data(), seed.data());
  std::vector<std::uint8_t> payload = qiv::bench::Payload(state.range(0));
  std::array<std::uint8_t, crypto_sign_BYTES> signature;
  for (auto _ : state) {
    if (crypto_sign_detached(signature.data(), nullptr, payload.data(), payload.size(),
                             secret_key.data()) != 0) {
      Die("libsodium sign");
    }
    benchmark::DoNotOptimize(signature);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SodiumSign)->Arg(64)->Arg(4096);

// The key decoded from its 32 bytes on every call.
void BM_SodiumVerify(benchmark::State& state) {
  if (sodium_init() < 0) Die("sodium_init");
  const Keys& keys = Keys::Get();
  std::vector<std::uint8_t> payload = qiv::bench::Payload(state.range(0));
  std::vector<std::uint8_t> signature = keys.Sign(payload);
  for (auto _ : state) {
    if (crypto_sign_verify_detached(signature.data(), payload.data(), payload.size(),
                                    keys.public_bytes.data()) != 0) {
      Die("libsodium verify");
    }
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SodiumVerify)->Arg(64)->Arg(4096);
#endif

// --- Raw OpenSSL ----------------------------------------------------------------------------

// Key object made once, one context reused: the least work a caller of OpenSSL can do.
void BM_OpenSslSign(benchmark::State& state) {
  const Keys& keys = Keys::Get();
  std::vector<std::uint8_t> payload = qiv::bench::Payload(state.range(0));
  MdCtxPtr ctx(EVP_MD_CTX_new());
  std::array<std::uint8_t, 64> signature;
  for (auto _ : state) {
    std::size_t length = signature.size();
    if (EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, keys.private_key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), signature.data(), &length, payload.data(), payload.size()) != 1) {
      Die("sign");
    }
    benchmark::DoNotOptimize(signature);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_OpenSslSign)->Arg(64)->Arg(4096);

// Public key object made once, one context reused.
void BM_OpenSslVerify(benchmark::State& state) {
  const Keys& keys = Keys::Get();
  std::vector<std::uint8_t> payload = qiv::bench::Payload(state.range(0));
  std::vector<std::uint8_t> signature = keys.Sign(payload);
  MdCtxPtr ctx(EVP_MD_CTX_new());
  for (auto _ : state) {
    if (EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, keys.public_key.get()) != 1 ||
        EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), payload.data(),
                         payload.size()) != 1) {
      Die("verify");
    }
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_OpenSslVerify)->Arg(64)->Arg(4096);

// The key object built from its 32 bytes on every call, as a verifier that keeps no key
// cache must: the same contract as VerifySignature, minus the base64 text.
void BM_OpenSslVerifyWithKeyLoad(benchmark::State& state) {
  const Keys& keys = Keys::Get();
  std::vector<std::uint8_t> payload = qiv::bench::Payload(state.range(0));
  std::vector<std::uint8_t> signature = keys.Sign(payload);
  for (auto _ : state) {
    PkeyPtr key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, keys.public_bytes.data(),
                                            keys.public_bytes.size()));
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!key || !ctx ||
        EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), payload.data(),
                         payload.size()) != 1) {
      Die("verify");
    }
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_OpenSslVerifyWithKeyLoad)->Arg(64)->Arg(4096);

// One-shot SHA-256 of 32 bytes (a public key), through EVP with an implicit fetch, with a
// pre-fetched digest, and through the low-level call.
void BM_Sha256Evp(benchmark::State& state) {
  std::vector<std::uint8_t> input = qiv::bench::Payload(32);
  std::array<std::uint8_t, 32> digest;
  for (auto _ : state) {
    unsigned int length = 0;
    if (EVP_Digest(input.data(), input.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1) {
      Die("digest");
    }
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * 32);
}
BENCHMARK(BM_Sha256Evp);

void BM_Sha256EvpFetched(benchmark::State& state) {
  std::vector<std::uint8_t> input = qiv::bench::Payload(32);
  MdPtr md(EVP_MD_fetch(nullptr, "SHA256", nullptr));
  if (!md) Die("fetch");
  std::array<std::uint8_t, 32> digest;
  for (auto _ : state) {
    unsigned int length = 0;
    if (EVP_Digest(input.data(), input.size(), digest.data(), &length, md.get(), nullptr) != 1) {
      Die("digest");
    }
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * 32);
}
BENCHMARK(BM_Sha256EvpFetched);

void BM_Sha256LowLevel(benchmark::State& state) {
  std::vector<std::uint8_t> input = qiv::bench::Payload(32);
  std::array<std::uint8_t, 32> digest;
  for (auto _ : state) {
    SHA256(input.data(), input.size(), digest.data());
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * 32);
}
BENCHMARK(BM_Sha256LowLevel);

// --- Our paths ------------------------------------------------------------------------------

#ifdef QIV_BENCH_HAVE_IDENTITY
void BM_IdentitySign(benchmark::State& state) {
  std::vector<std::uint8_t> seed = qiv::bench::Seed();
  qiv::SoftwareIdentity identity =
      qiv::SoftwareIdentity::FromSeed(std::span<const std::uint8_t, 32>(seed.data(), 32));
  std::vector<std::uint8_t> payload = qiv::bench::Payload(state.range(0));
  for (auto _ : state) {
    auto signature = identity.Sign(payload);
    benchmark::DoNotOptimize(signature);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_IdentitySign)->Arg(64)->Arg(4096);
#endif

#ifdef QIV_BENCH_HAVE_VERIFY
// Key text decoded and key decoded to a point on every call.
void BM_VerifySignature(benchmark::State& state) {
  const Keys& keys = Keys::Get();
  std::vector<std::uint8_t> payload = qiv::bench::Payload(state.range(0));
  std::vector<std::uint8_t> signature = keys.Sign(payload);
  for (auto _ : state) {
    auto verified = qiv::VerifySignature(keys.public_b64, payload, signature);
    if (!verified.ok()) Die("VerifySignature refused a good signature");
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_VerifySignature)->Arg(64)->Arg(4096);

// The parts of VerifySignature's overhead over the raw call, on their own (the point check
// runs only when verification fails).
void BM_Base64DecodeKey(benchmark::State& state) {
  const Keys& keys = Keys::Get();
  std::array<std::uint8_t, 32> out;
  for (auto _ : state) {
    if (!qiv::Base64DecodeExact(keys.public_b64, out)) Die("Base64DecodeExact");
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_Base64DecodeKey);

void BM_PublicKeyPointCheck(benchmark::State& state) {
  const Keys& keys = Keys::Get();
  for (auto _ : state) {
    bool valid = qiv::IsValidPublicKeyPoint(keys.public_bytes);
    benchmark::DoNotOptimize(valid);
  }
}
BENCHMARK(BM_PublicKeyPointCheck);
#endif

#ifdef QIV_BENCH_HAVE_FINGERPRINT
// SHA-256 of the 32 key bytes plus the hex text of the first 16 bytes.
void BM_Fingerprint(benchmark::State& state) {
  const Keys& keys = Keys::Get();
  for (auto _ : state) {
    std::string fingerprint = qiv::FingerprintOf(keys.public_bytes);
    benchmark::DoNotOptimize(fingerprint);
  }
}
BENCHMARK(BM_Fingerprint);
#endif

}  // namespace
