#include "qiv/primitives/peer_identity_descriptor.h"

#include "qiv/primitives/base64.h"

namespace qiv {

PeerIdentityDescriptor PeerIdentityDescriptor::ForIdentity(const SoftwareIdentity& identity) {
  return New(identity.Fingerprint(), Base64Encode(identity.public_key()), Surface::kSoftware,
             AttestationChain::Empty(), std::string(identity.created_at()), std::nullopt);
}

}  // namespace qiv
