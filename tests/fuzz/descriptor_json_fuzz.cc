// Fuzzes the JSON reader of PeerIdentityDescriptor, text and byte forms, with its nested
// AttestationChain and ProtocolAddress; see json_record_fuzz.h.
#include <cstddef>
#include <cstdint>

#include "json_record_fuzz.h"
#include "qiv/primitives/peer_identity_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return qiv::fuzz::FuzzJsonRecord<qiv::PeerIdentityDescriptor>(data, size);
}
