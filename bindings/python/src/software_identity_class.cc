// SoftwareIdentity: an Ed25519 key pair in process memory that signs payload bytes.
#include "software_identity_class.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "module_members.h"
#include "peer_identity_descriptor_class.h"
#include "qiv/primitives/peer_identity_descriptor.h"
#include "qiv/primitives/secure_wipe.h"
#include "qiv/primitives/surface.h"

namespace qiv::py {
namespace {

constexpr char kDoc[] =
    "Tier-0 Ed25519 identity. Keypair lives in Python process memory.\n\n"
    "`surface() == \"software\"` and `hardware_attested() == False` by\n"
    "construction \u2014 substrate adjudicators read these properties when\n"
    "deciding what this identity is allowed to sign.";

constexpr char kGenerateDoc[] = "generate()\n--\n\nGenerate a fresh keypair via the OS RNG.";
constexpr char kFromSeedDoc[] =
    "from_seed(seed)\n--\n\nDeterministic construction from a 32-byte seed.";
constexpr char kSignDoc[] =
    "sign($self, payload)\n--\n\n"
    "Sign payload bytes with the identity's Ed25519 key. Returns 64\n"
    "raw signature bytes. Callers that base64-encode for wire form\n"
    "should do so themselves.";
constexpr char kDescriptorDoc[] =
    "descriptor($self)\n--\n\n"
    "Public descriptor for this identity. Mint this once on key\n"
    "creation and publish at `tvq://body/peer/<fingerprint>`.";
constexpr char kSecretBytesDoc[] =
    "secret_bytes($self)\n--\n\n"
    "The 32-byte private seed. **Handle with care** \u2014 once this\n"
    "leaves the identity, the key's security depends entirely on\n"
    "where the bytes go (secure-storage writers consume this when\n"
    "wrapping a software key in a higher-tier surface).";

// Wipes a stack copy of the seed however the scope is left (a fault included).
class SeedCopy {
 public:
  explicit SeedCopy(const SoftwareIdentity& identity) : seed_(identity.secret_bytes()) {}
  SeedCopy(const SeedCopy&) = delete;
  SeedCopy& operator=(const SeedCopy&) = delete;
  ~SeedCopy() { SecureWipe(seed_); }
  std::span<const std::uint8_t> bytes() const { return seed_; }

 private:
  SoftwareIdentity::Seed seed_;
};

SoftwareIdentity Generate() { return SoftwareIdentity::Generate(); }

// The seed is read in place; the identity keeps its own copy.
PyResult<SoftwareIdentity> FromSeed(Bytes seed) {
  if (seed.size() != SoftwareIdentity::kSeedSize) {
    return Err(Error::ValueError("seed must be exactly 32 bytes"));
  }
  return SoftwareIdentity::FromSeed(seed.first<SoftwareIdentity::kSeedSize>());
}

SoftwareIdentity::Signature Sign(const SoftwareIdentity& self, Bytes payload) {
  return self.Sign(payload);
}

PeerIdentityDescriptor Descriptor(const SoftwareIdentity& self) {
  return PeerIdentityDescriptor::ForIdentity(self);
}

PyRef SecretBytes(const SoftwareIdentity& self) {
  SeedCopy seed(self);
  return NewBytes(seed.bytes());
}

// The getters read the descriptor as descriptor() builds it; nothing is cached.
std::string Fingerprint(const SoftwareIdentity& self) {
  return PeerIdentityDescriptor::ForIdentity(self).fingerprint();
}

std::string_view SurfaceOf(const SoftwareIdentity& self) {
  return SurfaceName(PeerIdentityDescriptor::ForIdentity(self).surface());
}

bool HardwareAttested(const SoftwareIdentity& self) {
  return IsHardwareAttested(PeerIdentityDescriptor::ForIdentity(self).surface());
}

std::string Repr(const SoftwareIdentity& self) {
  std::string out = "SoftwareIdentity(fingerprint=";
  AppendReprQuoted(out, self.Fingerprint());
  out += ", surface=\"software\")";
  return out;
}

}  // namespace

const ClassDef& SoftwareIdentityClass() {
  static const Class<SoftwareIdentity> def =
      Class<SoftwareIdentity>(kDoc)
          .StaticMethod<Generate>("generate", kGenerateDoc)
          .StaticMethod<FromSeed>("from_seed", kFromSeedDoc, {"seed"})
          .Method<Sign>("sign", kSignDoc, {"payload"})
          .Method<Descriptor>("descriptor", kDescriptorDoc)
          .Method<SecretBytes>("secret_bytes", kSecretBytesDoc)
          .Getter<Fingerprint>("fingerprint")
          .Getter<SurfaceOf>("surface")
          .Getter<HardwareAttested>("hardware_attested")
          .Repr<Repr>();
  return def;
}

}  // namespace qiv::py
