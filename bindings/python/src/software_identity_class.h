// The Python class SoftwareIdentity over qiv::SoftwareIdentity.
//
// The identity's seed is wiped whenever the module discards a value: the identity's own
// destructor overwrites it with 32 volatile single-byte stores, and the machinery runs that
// destructor both when an object is released and when a freshly made value cannot be placed
// into a new object because the allocation failed. Moved-from values hold a wiped seed.
#ifndef QIV_BINDING_SOFTWARE_IDENTITY_CLASS_H_
#define QIV_BINDING_SOFTWARE_IDENTITY_CLASS_H_

#include "machinery/binding.h"
#include "qiv/primitives/identity.h"

namespace qiv::py {

template <>
struct ClassTraits<SoftwareIdentity> {
  static constexpr char kName[] = "SoftwareIdentity";
  static constexpr bool kSharedBorrow = true;
};

}  // namespace qiv::py

#endif  // QIV_BINDING_SOFTWARE_IDENTITY_CLASS_H_
