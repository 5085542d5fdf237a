// The Python class AnchorProof: holds one AnchorProof record.
//
// Other class files include this header to return proofs (MockAnchor.verify).
#ifndef QIV_BINDING_ANCHOR_PROOF_CLASS_H_
#define QIV_BINDING_ANCHOR_PROOF_CLASS_H_

#include "machinery/binding.h"
#include "qiv/primitives/anchor_proof.h"

namespace qiv::py {

template <>
struct ClassTraits<AnchorProof> {
  static constexpr char kName[] = "AnchorProof";
  static constexpr bool kSharedBorrow = false;
};

}  // namespace qiv::py

#endif  // QIV_BINDING_ANCHOR_PROOF_CLASS_H_
