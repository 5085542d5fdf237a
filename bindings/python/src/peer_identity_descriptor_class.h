// The Python class PeerIdentityDescriptor over qiv::PeerIdentityDescriptor.
#ifndef QIV_BINDING_PEER_IDENTITY_DESCRIPTOR_CLASS_H_
#define QIV_BINDING_PEER_IDENTITY_DESCRIPTOR_CLASS_H_

#include "machinery/binding.h"
#include "qiv/primitives/peer_identity_descriptor.h"

namespace qiv::py {

template <>
struct ClassTraits<PeerIdentityDescriptor> {
  static constexpr char kName[] = "PeerIdentityDescriptor";
  static constexpr bool kSharedBorrow = false;
};

}  // namespace qiv::py

#endif  // QIV_BINDING_PEER_IDENTITY_DESCRIPTOR_CLASS_H_
