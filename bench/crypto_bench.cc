// Ed25519 signing and verification and SHA-256: OpenSSL's EVP interface called directly, next
// to our own paths (SoftwareIdentity::Sign, VerifySignature, FingerprintOf) once they are in
// the tree. The raw forms are the floor our wrappers are measured against.
//
// Payloads: 64 bytes (about the size of canonical signing bytes) and 4 KiB.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

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
  std::fprintf(stderr, "OpenSSL call failed: %s\n", what);
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
// Key text decoded, point checked and key object built on every call.
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

// The parts of VerifySignature's overhead over OpenSSL, on their own.
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
