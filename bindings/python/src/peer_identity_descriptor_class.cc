// PeerIdentityDescriptor: read from JSON or taken from an identity; verifies signatures.
#include "peer_identity_descriptor_class.h"

#include <optional>
#include <string>
#include <string_view>

#include "attestation_chain_class.h"
#include "machinery/record_json.h"
#include "module_members.h"
#include "protocol_address_class.h"
#include "qiv/primitives/fingerprint.h"
#include "qiv/primitives/surface.h"
#include "qiv/primitives/verify.h"

namespace qiv::py {
namespace {

constexpr char kDoc[] =
    "Public, serialisable view of a peer's identity.\n\n"
    "Python is a **verifier**, not a signer. This binding exposes:\n"
    "- parsing / serialising the descriptor wire form\n"
    "- verifying signatures against the descriptor's public key\n"
    "- computing deterministic fingerprints from raw public-key bytes\n\n"
    "Python is intentionally NOT given access to `SoftwareIdentity::sign`\n"
    "or `SoftwareIdentity::generate` \u2014 private-key material lives in the\n"
    "`vesk` binary's secure surface (Keychain / Secure Enclave / HSM /\n"
    "threshold). Backend Python signs acts by dispatching to vesk, never\n"
    "by holding a key in its own address space.";

constexpr char kAddressDoc[] =
    "address($self)\n--\n\n"
    "The address this descriptor publishes under\n"
    "(`tvq://body/peer/<fingerprint>`).";
constexpr char kFingerprintOfDoc[] =
    "fingerprint_of(public_key_bytes)\n--\n\n"
    "Compute the canonical fingerprint for a raw Ed25519 public key.\n"
    "Returns 32 hex chars (16 bytes of `SHA256(pubkey)`).";
constexpr char kVerifyDoc[] =
    "verify($self, payload, signature_bytes)\n--\n\n"
    "Verify that `signature_bytes` is a valid signature over `payload`\n"
    "under this descriptor's public key. Raises `ValueError` on\n"
    "mismatch or malformed inputs; returns `None` on success.";

// The writer of this record cannot fail, so the serialise message is never seen.
using DescriptorJson =
    RecordJson<PeerIdentityDescriptor, "serialize", "invalid PeerIdentityDescriptor JSON">;

// Length first, then the point; the fingerprint is of the bytes as given.
PyResult<std::string> FingerprintOfKey(Bytes public_key_bytes) {
  auto fingerprint = CheckedFingerprintOf(public_key_bytes);
  if (!fingerprint.ok()) {
    return Err(Error::ValueError(std::string(FingerprintErrorText(fingerprint.error()))));
  }
  return *std::move(fingerprint);
}

PyResult<void> Verify(const PeerIdentityDescriptor& self, Bytes payload, Bytes signature_bytes) {
  auto verified = self.Verify(payload, signature_bytes);
  if (!verified.ok()) {
    return Err(Error::ValueError("signature verification failed: " +
                                 std::string(VerifyErrorText(verified.error()))));
  }
  return {};
}

const std::string& Fingerprint(const PeerIdentityDescriptor& self) { return self.fingerprint(); }
const std::string& PublicKeyB64(const PeerIdentityDescriptor& self) {
  return self.public_key_b64();
}
std::string_view SurfaceOf(const PeerIdentityDescriptor& self) {
  return SurfaceName(self.surface());
}
int Tier(const PeerIdentityDescriptor& self) { return SurfaceTier(self.surface()); }
bool HardwareAttested(const PeerIdentityDescriptor& self) {
  return IsHardwareAttested(self.surface());
}
const AttestationChain& Attestation(const PeerIdentityDescriptor& self) {
  return self.attestation();
}
const std::string& CreatedAt(const PeerIdentityDescriptor& self) { return self.created_at(); }
const std::optional<ProtocolAddress>& SupersededBy(const PeerIdentityDescriptor& self) {
  return self.superseded_by();
}

ProtocolAddress Address(const PeerIdentityDescriptor& self) { return self.Address(); }

std::string Repr(const PeerIdentityDescriptor& self) {
  std::string out = "PeerIdentityDescriptor(fingerprint=";
  AppendReprQuoted(out, self.fingerprint());
  out += ", surface=";
  AppendReprQuoted(out, SurfaceName(self.surface()));
  out += ", tier=" + std::to_string(SurfaceTier(self.surface())) + ")";
  return out;
}

}  // namespace

const ClassDef& PeerIdentityDescriptorClass() {
  static const Class<PeerIdentityDescriptor> def =
      Class<PeerIdentityDescriptor>(kDoc)
          .StaticMethod<DescriptorJson::FromJson>("from_json", kFromJsonDoc, {"s"})
          .Method<DescriptorJson::ToJson>("to_json", kToJsonDoc)
          .StaticMethod<DescriptorJson::FromDict>("from_dict", kFromDictDoc, {"d"})
          .Method<DescriptorJson::ToDict>("to_dict", kToDictDoc)
          .StaticMethod<FingerprintOfKey>("fingerprint_of", kFingerprintOfDoc,
                                          {"public_key_bytes"})
          .Method<Verify>("verify", kVerifyDoc, {"payload", "signature_bytes"})
          .Method<Address>("address", kAddressDoc)
          .Getter<Fingerprint>("fingerprint")
          .Getter<PublicKeyB64>("public_key_b64")
          .Getter<SurfaceOf>("surface")
          .Getter<Tier>("tier")
          .Getter<HardwareAttested>("hardware_attested")
          .Getter<Attestation>("attestation")
          .Getter<CreatedAt>("created_at")
          .Getter<SupersededBy>("superseded_by")
          .Repr<Repr>()
          .Equality();
  return def;
}

}  // namespace qiv::py
