// PeerIdentityDescriptor: the public, serialisable view of an identity.
//
// It holds the identity's fingerprint, its Ed25519 public key as unpadded base64 text, the
// surface its key lives on, the attestation chain of a hardware key, its creation time as
// text and, optionally, the address of the descriptor that replaces it. Anyone holding a
// descriptor verifies the identity's signatures with it and names the identity by the address
// tvq://body/peer/<fingerprint>.
//
// Nothing ties the fields together: a descriptor read from JSON may carry a fingerprint that
// is not its key's, a key text that does not decode, any surface and any time text. Each
// operation takes the fields as they are; only ForIdentity derives them from one another.
//
//   qiv::PeerIdentityDescriptor d = qiv::PeerIdentityDescriptor::ForIdentity(identity);
//   std::string text = d.Serialize();
//   // {"fingerprint":"<32 hex>","public_key_b64":"<43 chars>","surface":"software",
//   //  "created_at":"2026-04-15T00:00:00Z"}
//   auto read = qiv::PeerIdentityDescriptor::Deserialize(text);   // Result<.., JsonError>
//   auto verified = d.Verify(payload, signature);                 // Result<void, VerifyError>
//
// JSON form, keys in this order: "fingerprint", "public_key_b64", "surface", "attestation"
// (written only when the chain has a certificate; a missing one reads as the empty chain),
// "created_at", "superseded_by" (written only when present; missing or null reads as absent).
// The array form has six elements; the chain's element may be left out only together with
// everything after it, so a short array reports the first position without an element that
// has no default.
//
// An immutable value that owns its texts; safe to read from any number of threads.
#ifndef QIV_PRIMITIVES_PEER_IDENTITY_DESCRIPTOR_H_
#define QIV_PRIMITIVES_PEER_IDENTITY_DESCRIPTOR_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "qiv/primitives/address.h"
#include "qiv/primitives/attestation_chain.h"
#include "qiv/primitives/identity.h"
#include "qiv/primitives/json_error.h"
#include "qiv/primitives/json_record.h"
#include "qiv/primitives/result.h"
#include "qiv/primitives/surface.h"
#include "qiv/primitives/verify.h"

namespace qiv {

class PeerIdentityDescriptor {
 public:
  // The fields in declaration order, taken as given; nothing is checked.
  static PeerIdentityDescriptor New(std::string fingerprint, std::string public_key_b64,
                                    Surface surface, AttestationChain attestation,
                                    std::string created_at,
                                    std::optional<ProtocolAddress> superseded_by) {
    PeerIdentityDescriptor d;
    d.fingerprint_ = std::move(fingerprint);
    d.public_key_b64_ = std::move(public_key_b64);
    d.surface_ = surface;
    d.attestation_ = std::move(attestation);
    d.created_at_ = std::move(created_at);
    d.superseded_by_ = std::move(superseded_by);
    return d;
  }

  // The descriptor of a software identity: its fingerprint, its public key as 43 characters
  // of unpadded base64, surface software, the empty chain, its created_at, no successor.
  // Built afresh on every call.
  static PeerIdentityDescriptor ForIdentity(const SoftwareIdentity& identity);

  // Reads a whole JSON text (object or array form) with nothing but whitespace after it.
  static Result<PeerIdentityDescriptor, JsonError> Deserialize(std::string_view text) {
    return json::ReadRecordFromText<PeerIdentityDescriptor>(text);
  }

  // The compact JSON text; cannot fail.
  std::string Serialize() const { return json::RecordToJson(*this, JsonWriter::Style::kCompact); }

  // tvq://body/peer/<fingerprint>, the fingerprint as held ("/" and "" included).
  ProtocolAddress Address() const {
    return ProtocolAddress::New(AddressClass::kBody, "peer", fingerprint_);
  }

  // Verifies `signature` over `payload` against public_key_b64 (rules in verify.h); key
  // problems are reported before signature problems. Never faults.
  Result<void, VerifyError> Verify(std::span<const std::uint8_t> payload,
                                   std::span<const std::uint8_t> signature) const {
    return VerifySignature(public_key_b64_, payload, signature);
  }

  const std::string& fingerprint() const { return fingerprint_; }
  const std::string& public_key_b64() const { return public_key_b64_; }
  Surface surface() const { return surface_; }
  const AttestationChain& attestation() const { return attestation_; }
  const std::string& created_at() const { return created_at_; }
  const std::optional<ProtocolAddress>& superseded_by() const { return superseded_by_; }

  // All six fields, texts byte for byte (letter case counts), no normalisation.
  friend bool operator==(const PeerIdentityDescriptor&, const PeerIdentityDescriptor&) = default;

 private:
  friend class json::RecordAccess;

  PeerIdentityDescriptor() = default;

  static constexpr auto JsonDescription() {
    return json::Describe(
        "PeerIdentityDescriptor", json::Field("fingerprint", &PeerIdentityDescriptor::fingerprint_),
        json::Field("public_key_b64", &PeerIdentityDescriptor::public_key_b64_),
        json::Field("surface", &PeerIdentityDescriptor::surface_),
        json::Field("attestation", &PeerIdentityDescriptor::attestation_)
            .Defaulted()
            .OmitWhen([](const AttestationChain& chain) { return chain.is_empty(); }),
        json::Field("created_at", &PeerIdentityDescriptor::created_at_),
        json::Field("superseded_by", &PeerIdentityDescriptor::superseded_by_));
  }

  std::string fingerprint_;
  std::string public_key_b64_;
  Surface surface_ = Surface::kSoftware;
  AttestationChain attestation_ = json::RecordAccess::Make<AttestationChain>();
  std::string created_at_;
  std::optional<ProtocolAddress> superseded_by_;
};

}  // namespace qiv

#endif  // QIV_PRIMITIVES_PEER_IDENTITY_DESCRIPTOR_H_
