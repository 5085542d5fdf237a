// The Python class qiv_protocol.ProtocolAddress, wrapping a qiv::ProtocolAddress.
//
// Other class files include this header to take addresses as arguments (`const
// ProtocolAddress&`) or return them (a ProtocolAddress result becomes a new object holding it).
//
// Requires the interpreter lock, like every class of the module.
#ifndef QIV_BINDING_PROTOCOL_ADDRESS_CLASS_H_
#define QIV_BINDING_PROTOCOL_ADDRESS_CLASS_H_

#include "machinery/binding.h"
#include "qiv/primitives/address.h"

namespace qiv::py {

template <>
struct ClassTraits<ProtocolAddress> {
  static constexpr char kName[] = "ProtocolAddress";
  static constexpr bool kSharedBorrow = false;
};

}  // namespace qiv::py

#endif  // QIV_BINDING_PROTOCOL_ADDRESS_CLASS_H_
