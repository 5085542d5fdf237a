#include "qiv/primitives/peer_identity_descriptor.h"

#include <gtest/gtest.h>

#include <optional>
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

// RFC 8032 section 7.1, TEST 1.
constexpr char kSeedHex[] = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";
constexpr char kSignatureHex[] =
    "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701c"
    "f9b46bd25bf5f0595bbe24655141438e7a100b";
constexpr char kPublicKeyB64[] = "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo";
constexpr char kFingerprint[] = "21fe31dfa154a261626bf854046fd227";

const std::string kMinimal =
    R"({"fingerprint":"f","public_key_b64":"k","surface":"software","created_at":"t"})";

PeerIdentityDescriptor Make(std::string fingerprint, AttestationChain chain,
                            std::optional<ProtocolAddress> successor = std::nullopt) {
  return PeerIdentityDescriptor::New(std::move(fingerprint), "k", Surface::kSoftware,
                                     std::move(chain), "t", std::move(successor));
}

TEST(Surface, TierAndHardwareAttestationFollowTheValue) {
  struct Row {
    Surface surface;
    const char* name;
    int tier;
    bool hardware;
  };
  const Row rows[] = {
      {Surface::kSoftware, "software", 0, false},
      {Surface::kOsKeychain, "os_keychain", 1, false},
      {Surface::kSecureElement, "secure_element", 2, true},
      {Surface::kExternalHardware, "external_hardware", 3, true},
      {Surface::kThreshold, "threshold", 4, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(SurfaceName(row.surface), row.name);
    EXPECT_EQ(SurfaceTier(row.surface), row.tier);
    EXPECT_EQ(IsHardwareAttested(row.surface), row.hardware);
    // Both enumeration forms read back to the value.
    for (const std::string& form :
         {std::string("\"").append(row.name).append("\""),
          std::string("{\"").append(row.name).append("\":null}")}) {
      std::string text = R"({"fingerprint":"f","public_key_b64":"k","surface":)" + form +
                         R"(,"created_at":"t"})";
      auto d = PeerIdentityDescriptor::Deserialize(text);
      ASSERT_TRUE(d.ok()) << d.error().ToString();
      EXPECT_EQ(d->surface(), row.surface);
    }
  }
}

TEST(AttestationChain, EmptyMeansNoCertificatesWhateverTheVendor) {
  EXPECT_TRUE(AttestationChain::Empty().is_empty());
  EXPECT_TRUE(AttestationChain::New({}, "acme").is_empty());
  EXPECT_FALSE(AttestationChain::New({"c"}, "").is_empty());
  EXPECT_NE(AttestationChain::New({}, "acme"), AttestationChain::Empty());
  EXPECT_NE(AttestationChain::New({"a", "b"}, "v"), AttestationChain::New({"b", "a"}, "v"));
  EXPECT_EQ(AttestationChain::New({"a", "b"}, "v"), AttestationChain::New({"a", "b"}, "v"));
}

TEST(PeerIdentityDescriptor, BuiltFromAnIdentity) {
  SoftwareIdentity identity = SoftwareIdentity::FromSeed(FromHexArray<32>(kSeedHex));
  PeerIdentityDescriptor d = PeerIdentityDescriptor::ForIdentity(identity);
  EXPECT_EQ(d.fingerprint(), kFingerprint);
  EXPECT_EQ(d.fingerprint(), identity.Fingerprint());
  EXPECT_EQ(d.public_key_b64(), kPublicKeyB64);
  EXPECT_EQ(d.surface(), Surface::kSoftware);
  EXPECT_EQ(d.attestation(), AttestationChain::Empty());
  EXPECT_EQ(d.created_at(), "2026-04-15T00:00:00Z");
  EXPECT_FALSE(d.superseded_by().has_value());
  EXPECT_EQ(d.Serialize(), std::string(R"({"fingerprint":")") + kFingerprint +
                               R"(","public_key_b64":")" + kPublicKeyB64 +
                               R"(","surface":"software","created_at":"2026-04-15T00:00:00Z"})");
  EXPECT_EQ(PeerIdentityDescriptor::ForIdentity(identity), d);

  // The RFC signature of the empty message verifies; key text problems come first.
  auto signature = FromHex(kSignatureHex);
  EXPECT_TRUE(d.Verify({}, signature).ok());
  auto wrong_payload = d.Verify(FromHex("00"), signature);
  ASSERT_FALSE(wrong_payload.ok());
  EXPECT_EQ(wrong_payload.error(), VerifyError::kBadSignature);
  auto bad_key = PeerIdentityDescriptor::Deserialize(kMinimal)->Verify({}, signature);
  ASSERT_FALSE(bad_key.ok());
  EXPECT_EQ(bad_key.error(), VerifyError::kBadPublicKey);
}

TEST(PeerIdentityDescriptor, WritesChainAndSuccessorOnlyWhenPresent) {
  ProtocolAddress next = ProtocolAddress::New(AddressClass::kBody, "peer", "n");
  struct Row {
    PeerIdentityDescriptor descriptor;
    std::string text;
    bool reads_back_equal;
  };
  const Row rows[] = {
      {Make("f", AttestationChain::New({"c1"}, "acme")),
       R"({"fingerprint":"f","public_key_b64":"k","surface":"software",)"
       R"("attestation":{"certs_b64":["c1"],"vendor":"acme"},"created_at":"t"})",
       true},
      {Make("f", AttestationChain::Empty(), next),
       R"({"fingerprint":"f","public_key_b64":"k","surface":"software","created_at":"t",)"
       R"("superseded_by":{"class":"body","type":"peer","ref":"n"}})",
       true},
      // A chain without certificates is left out whatever its vendor, so it comes back empty.
      {Make("f", AttestationChain::New({}, "acme")), kMinimal, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(row.descriptor.Serialize(), row.text);
    auto read = PeerIdentityDescriptor::Deserialize(row.text);
    ASSERT_TRUE(read.ok()) << read.error().ToString();
    EXPECT_EQ(*read == row.descriptor, row.reads_back_equal);
  }
}

TEST(PeerIdentityDescriptor, ReadsWithoutCheckingFieldContents) {
  const std::vector<std::string> texts = {
      kMinimal,
      R"({"fingerprint":"f","public_key_b64":"k","surface":"software","created_at":"t",)"
      R"("superseded_by":null,"tier":7,"hardware_attested":true})",
      R"(["f","k","software",{"certs_b64":[],"vendor":""},"t",null])",
      R"(["f","k",{"software":null},[[],""],"t",null])",
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    auto d = PeerIdentityDescriptor::Deserialize(text);
    ASSERT_TRUE(d.ok()) << d.error().ToString();
    EXPECT_EQ(*d, Make("f", AttestationChain::Empty()));
  }
  auto kept = PeerIdentityDescriptor::Deserialize(
      R"({"fingerprint":"f","public_key_b64":"k","surface":"software",)"
      R"("attestation":{"certs_b64":[],"vendor":"v"},"created_at":"t"})");
  ASSERT_TRUE(kept.ok());
  EXPECT_EQ(kept->attestation(), AttestationChain::New({}, "v"));
}

TEST(PeerIdentityDescriptor, ReportsReadErrorsWithPositions) {
  const std::string head = R"({"fingerprint":"f","public_key_b64":"k",)";
  const std::string names =
      "expected one of `software`, `os_keychain`, `secure_element`, `external_hardware`, "
      "`threshold`";
  struct Row {
    std::string text;
    std::string message;
    std::size_t line;
    std::size_t column;
  };
  const Row rows[] = {
      {head + R"("surface":"software","created_at":"t","attestation":null})",
       "invalid type: null, expected struct AttestationChain", 1, 96},
      {R"({"public_key_b64":"k","surface":"software"})", "missing field `fingerprint`", 1, 43},
      {head + R"("created_at":"t"})", "missing field `surface`", 1, 57},
      {head + R"("surface":"Software","created_at":"t"})", "unknown variant `Software`, " + names,
       1, 60},
      {head + R"("surface":2,"created_at":"t"})", "expected value", 1, 51},
      {head + R"("surface":"software","created_at":"t","superseded_by":null,)"
              R"("superseded_by":null})",
       "duplicate field `superseded_by`", 1, 114},
      {head + R"("surface":"software","attestation":{"certs_b64":["c"]},"created_at":"t"})",
       "missing field `vendor`", 1, 94},
      {head + R"("surface":"software","attestation":{"vendor":"v"},"created_at":"t"})",
       "missing field `certs_b64`", 1, 89},
      {head + R"("surface":"software","attestation":{"certs_b64":"abc","vendor":""},)"
              R"("created_at":"t"})",
       "invalid type: string \"abc\", expected a sequence", 1, 93},
      {head + R"("surface":"software","attestation":[["c"]],"created_at":"t"})",
       "invalid length 1, expected struct AttestationChain with 2 elements", 1, 82},
      {head + R"("surface":"software","attestation":"c","created_at":"t"})",
       "invalid type: string \"c\", expected struct AttestationChain", 1, 78},
      {"[]", "invalid length 0, expected struct PeerIdentityDescriptor with 6 elements", 1, 2},
      {R"(["f","k"])", "invalid length 2, expected struct PeerIdentityDescriptor with 6 elements",
       1, 9},
      {R"(["f","k","software"])",
       "invalid length 4, expected struct PeerIdentityDescriptor with 6 elements", 1, 20},
      {R"(["f","k","software",[[],""],"t"])",
       "invalid length 5, expected struct PeerIdentityDescriptor with 6 elements", 1, 32},
      {R"(["f","k","software",[[],""],"t",null,1])", "trailing characters", 1, 38},
      {"{\n\"fingerprint\":\"f\",\n\"public_key_b64\":\"k\"\n}", "missing field `surface`", 4, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    auto d = PeerIdentityDescriptor::Deserialize(row.text);
    ASSERT_FALSE(d.ok());
    EXPECT_EQ(d.error().message(), row.message);
    EXPECT_EQ(d.error().line(), row.line);
    EXPECT_EQ(d.error().column(), row.column);
  }
}

TEST(PeerIdentityDescriptor, ComparesEveryFieldExactly) {
  PeerIdentityDescriptor base = Make("ab", AttestationChain::Empty());
  EXPECT_EQ(base, Make("ab", AttestationChain::Empty()));
  EXPECT_NE(base, Make("AB", AttestationChain::Empty()));
  EXPECT_NE(base, Make("ab", AttestationChain::New({}, "v")));
  EXPECT_NE(base,
            Make("ab", AttestationChain::Empty(),
                 ProtocolAddress::New(AddressClass::kBody, "peer", "ab")));
}

TEST(PeerIdentityDescriptor, AddressUsesTheFingerprintAsHeld) {
  for (const char* fingerprint : {kFingerprint, "ab/cd", ""}) {
    SCOPED_TRACE(fingerprint);
    ProtocolAddress address = Make(fingerprint, AttestationChain::Empty()).Address();
    EXPECT_EQ(address.address_class(), AddressClass::kBody);
    EXPECT_EQ(address.type(), "peer");
    EXPECT_EQ(address.ref(), fingerprint);
    EXPECT_EQ(address.ToUri(), std::string("tvq://body/peer/") + fingerprint);
  }
}

}  // namespace
}  // namespace qiv
