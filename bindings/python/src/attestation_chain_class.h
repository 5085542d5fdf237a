// The Python class AttestationChain over qiv::AttestationChain.
#ifndef QIV_BINDING_ATTESTATION_CHAIN_CLASS_H_
#define QIV_BINDING_ATTESTATION_CHAIN_CLASS_H_

#include "machinery/binding.h"
#include "qiv/primitives/attestation_chain.h"

namespace qiv::py {

template <>
struct ClassTraits<AttestationChain> {
  static constexpr char kName[] = "AttestationChain";
  static constexpr bool kSharedBorrow = false;
};

}  // namespace qiv::py

#endif  // QIV_BINDING_ATTESTATION_CHAIN_CLASS_H_
