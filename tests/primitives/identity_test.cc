#include "qiv/primitives/identity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <atomic>
#include <functional>
#include <new>
#include <thread>
#include <string>
#include <vector>

#include "qiv/primitives/fault.h"
#include "qiv/primitives/fingerprint.h"
#include "qiv/primitives/hex.h"
#include "openssl_reference.h"
#include "qiv/primitives/verify.h"
#include "qiv/primitives/base64.h"
#include "test_bytes.h"

namespace qiv {
namespace {

using testing::FromHex;
using testing::FromHexArray;

struct Rfc8032Vector {
  const char* name;
  const char* seed;
  const char* public_key;
  const char* message;
  const char* signature;
};

// RFC 8032 section 7.1.
constexpr Rfc8032Vector kRfc8032[] = {
    {"TEST 1", "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701c"
     "f9b46bd25bf5f0595bbe24655141438e7a100b"},
    {"TEST 2", "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0"
     "f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"TEST 3", "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f76098"
     "4dc6594a7c15e9716ed28dc027beceea1ec40a"},
    {"TEST SHA(abc)", "833fe62409237b9d62ec77587520911e9a759cec1d19755b7da901b96dca3d42",
     "ec172b93ad5e563bf4932c70e1245034c35467ef2efd4d64ebf819683467e2bf",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3"
     "feebbd454d4423643ce80e2a9ac94fa54ca49f",
     "dc2a4459e7369633a52b1bf277839a00201009a3efbf3ecb69bea2186c26b58909351fc9ac90b3ecfdfbc7c664"
     "31e0303dca179c138ac17ad9bef1177331a704"},
};

TEST(SoftwareIdentity, MeetsRfc8032Vectors) {
  for (const Rfc8032Vector& v : kRfc8032) {
    SCOPED_TRACE(v.name);
    auto seed = FromHexArray<32>(v.seed);
    std::vector<std::uint8_t> message = FromHex(v.message);
    SoftwareIdentity identity = SoftwareIdentity::FromSeed(seed);
    EXPECT_EQ(HexEncode(identity.public_key()), v.public_key);
    SoftwareIdentity::Signature signature = identity.Sign(message);
    EXPECT_EQ(HexEncode(signature), v.signature);
    EXPECT_TRUE(VerifySignature(Base64Encode(identity.public_key()), message, signature).ok());
    EXPECT_EQ(identity.secret_bytes(), seed);
  }
}

TEST(SoftwareIdentity, SameSeedGivesSameKeysAndSignatures) {
  SoftwareIdentity::Seed zero{};
  SoftwareIdentity a = SoftwareIdentity::FromSeed(zero);
  SoftwareIdentity b = SoftwareIdentity::FromSeed(a.secret_bytes());
  EXPECT_EQ(a.public_key(), b.public_key());
  EXPECT_EQ(a.Fingerprint(), b.Fingerprint());
  const std::uint8_t payload[] = {'h', 'i'};
  EXPECT_EQ(a.Sign(payload), b.Sign(payload));
  EXPECT_EQ(a.Sign({}), b.Sign({}));
}

TEST(SoftwareIdentity, EmptyPayloadSignatureVerifiesOnlyForEmptyPayload) {
  SoftwareIdentity id = SoftwareIdentity::FromSeed(FromHexArray<32>(kRfc8032[1].seed));
  SoftwareIdentity::Signature signature = id.Sign({});
  std::string key = Base64Encode(id.public_key());
  EXPECT_TRUE(VerifySignature(key, {}, signature).ok());
  const std::uint8_t other[] = {0};
  auto result = VerifySignature(key, other, signature);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), VerifyError::kBadSignature);
}

TEST(SoftwareIdentity, GenerateDrawsFreshSeeds) {
  SoftwareIdentity a = SoftwareIdentity::Generate();
  SoftwareIdentity b = SoftwareIdentity::Generate();
  EXPECT_NE(a.secret_bytes(), b.secret_bytes());
  EXPECT_NE(a.Fingerprint(), b.Fingerprint());
  EXPECT_EQ(a.created_at(), "2026-04-15T00:00:00Z");
  EXPECT_EQ(b.created_at(), "2026-04-15T00:00:00Z");
  const std::uint8_t payload[] = {1, 2, 3};
  EXPECT_TRUE(VerifySignature(Base64Encode(a.public_key()), payload, a.Sign(payload)).ok());
}

TEST(SoftwareIdentity, FingerprintIsHashPrefixOfPublicKey) {
  SoftwareIdentity id = SoftwareIdentity::FromSeed(FromHexArray<32>(kRfc8032[0].seed));
  std::string full = HexEncode(ossl::Sha256(id.public_key()));
  EXPECT_EQ(id.Fingerprint(), full.substr(0, 32));
  EXPECT_EQ(id.Fingerprint(), FingerprintOf(id.public_key()));
}

// Finds the seed inside the object's own storage, destroys the object in place, and checks
// that those bytes were zeroed before the storage was handed back.
TEST(SoftwareIdentity, DestructionWipesTheSeed) {
  SoftwareIdentity::Seed seed = FromHexArray<32>(kRfc8032[2].seed);
  alignas(SoftwareIdentity) unsigned char storage[sizeof(SoftwareIdentity)];
  auto* id = new (storage) SoftwareIdentity(SoftwareIdentity::FromSeed(seed));
  auto* found = std::search(storage, storage + sizeof storage, seed.begin(), seed.end());
  ASSERT_NE(found, storage + sizeof storage);
  id->~SoftwareIdentity();
  EXPECT_TRUE(std::all_of(found, found + 32, [](unsigned char c) { return c == 0; }));
}

TEST(SoftwareIdentity, MoveLeavesTheSourceSeedWiped) {
  SoftwareIdentity::Seed seed = FromHexArray<32>(kRfc8032[3].seed);
  alignas(SoftwareIdentity) unsigned char storage[sizeof(SoftwareIdentity)];
  auto* source = new (storage) SoftwareIdentity(SoftwareIdentity::FromSeed(seed));
  SoftwareIdentity moved(std::move(*source));
  EXPECT_EQ(std::search(storage, storage + sizeof storage, seed.begin(), seed.end()),
            storage + sizeof storage);
  source->~SoftwareIdentity();
  EXPECT_EQ(moved.secret_bytes(), seed);
  const std::uint8_t payload[] = {7};
  EXPECT_TRUE(VerifySignature(Base64Encode(moved.public_key()), payload, moved.Sign(payload)).ok());
}

// Runs `call` in a frame of its own, below the test's frame.
[[gnu::noinline]] void CallBelow(const std::function<void()>& call) { call(); }

// Zeroes, then copies, the 32 KiB of the calling thread's stack below the caller's frame, so
// that a copy shows what the calls made in between left there. Not instrumented, so that the
// area has no redzones in it.
constexpr std::size_t kStackProbeSize = 32768;

[[gnu::noinline]] __attribute__((no_sanitize("address"))) void ZeroStackBelowCaller() {
  volatile std::uint8_t area[kStackProbeSize];
  for (std::size_t i = 0; i < sizeof area; ++i) area[i] = 0;
}

[[gnu::noinline]] __attribute__((no_sanitize("address"))) void CopyStackBelowCaller(
    std::uint8_t* out) {
  volatile std::uint8_t area[kStackProbeSize];
  // Reading what is there is the point; hide from the compiler that nothing was written.
  const volatile std::uint8_t* bytes = area;
  asm volatile("" : "+r"(bytes));
  for (std::size_t i = 0; i < kStackProbeSize; ++i) out[i] = bytes[i];
}

// Deriving the key and signing expand the seed again (SHA-512: the clamped scalar, then the
// nonce prefix) and hash the prefix with the payload into the nonce; the seed's owner wipes
// it, but nothing wipes what the Ed25519 code leaves in its stack frames unless we do. Any 8
// bytes in a row of those secrets still on the stack after the call count as a leak.
TEST(SoftwareIdentity, LeavesNoSecretOnTheStack) {
  SoftwareIdentity::Seed seed = FromHexArray<32>(kRfc8032[2].seed);
  SoftwareIdentity id = SoftwareIdentity::FromSeed(seed);
  const std::vector<std::uint8_t> payload(64, 0x5a);
  std::array<std::uint8_t, 64> expanded = ossl::Sha512(seed);
  expanded[0] &= 248;
  expanded[31] = (expanded[31] & 127) | 64;
  std::vector<std::uint8_t> prefix_and_payload(32 + payload.size());
  std::copy(expanded.begin() + 32, expanded.end(), prefix_and_payload.begin());
  std::copy(payload.begin(), payload.end(), prefix_and_payload.begin() + 32);
  std::array<std::uint8_t, 64> nonce = ossl::Sha512(prefix_and_payload);
  struct Case {
    const char* name;
    std::function<void()> call;
  } cases[] = {
      {"FromSeed", [&] { SoftwareIdentity::FromSeed(seed); }},
      {"Sign", [&] { id.Sign(payload); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> stack(kStackProbeSize);
    ZeroStackBelowCaller();
    CallBelow(c.call);
    CopyStackBelowCaller(stack.data());
    struct Secret {
      const char* name;
      std::span<const std::uint8_t> bytes;
    } secrets[] = {{"seed", seed}, {"expanded key", expanded}, {"nonce", nonce}};
    for (const Secret& secret : secrets) {
      std::string left;
      for (std::size_t at = 0; at + 8 <= secret.bytes.size(); ++at) {
        auto window = secret.bytes.subspan(at, 8);
        if (std::search(stack.begin(), stack.end(), window.begin(), window.end()) != stack.end()) {
          left += ' ';
          left += HexEncode(window);
        }
      }
      EXPECT_EQ(left, "") << secret.name << " bytes left on the stack";
    }
  }
}

TEST(SoftwareIdentity, EntropyFailureMessages) {
  struct Case {
    int error_number;
    std::string message;
  } cases[] = {
      {EIO, "Error: Input/output error"},
      {ENOSYS, "Error: Function not implemented"},
      {4242, "Error: OS Error: 4242"},
      {0, "Error: errno: did not return a positive value"},
      {-3, "Error: errno: did not return a positive value"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error_number);
    EXPECT_EQ(internal::EntropyFailureMessage(c.error_number), c.message);
  }
}

TEST(SoftwareIdentity, ConcurrentSigningGivesTheSameSignature) {
  SoftwareIdentity id = SoftwareIdentity::FromSeed(FromHexArray<32>(kRfc8032[0].seed));
  const std::uint8_t payload[] = {'x'};
  SoftwareIdentity::Signature expected = id.Sign(payload);
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        if (id.Sign(payload) != expected) ++mismatches;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace qiv
