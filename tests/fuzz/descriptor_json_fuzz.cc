// Fuzzes the JSON reader of PeerIdentityDescriptor, text and byte forms, with its nested
// AttestationChain and ProtocolAddress; see json_record_fuzz.h.
#include <cstddef>
#include <cstdint>

#include "json_record_fuzz.h"
#include "qiv/primitives/peer_identity_descriptor.h"

namespace {

// The writer leaves out an attestation without certificates, vendor and all, so such a
// descriptor reads back with the empty chain.
qiv::PeerIdentityDescriptor AsWritten(const qiv::PeerIdentityDescriptor& d) {
  if (!d.attestation().is_empty()) return d;
  return qiv::PeerIdentityDescriptor::New(d.fingerprint(), d.public_key_b64(), d.surface(),
                                          qiv::AttestationChain::Empty(), d.created_at(),
                                          d.superseded_by());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return qiv::fuzz::FuzzJsonRecord<qiv::PeerIdentityDescriptor>(data, size, &AsWritten);
}
