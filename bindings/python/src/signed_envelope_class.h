// The Python class qiv_protocol.SignedEnvelope, wrapping a qiv::envelope::SignedEnvelope.
//
// Other class files include this header to return envelopes (a SignedEnvelope result becomes
// a new object holding it) or take them as arguments (`const envelope::SignedEnvelope&`).
//
// Requires the interpreter lock, like every class of the module.
#ifndef QIV_BINDING_SIGNED_ENVELOPE_CLASS_H_
#define QIV_BINDING_SIGNED_ENVELOPE_CLASS_H_

#include "machinery/binding.h"
#include "qiv/signed_envelope/signed_envelope.h"

namespace qiv::py {

template <>
struct ClassTraits<envelope::SignedEnvelope> {
  static constexpr char kName[] = "SignedEnvelope";
  static constexpr bool kSharedBorrow = false;
};

}  // namespace qiv::py

#endif  // QIV_BINDING_SIGNED_ENVELOPE_CLASS_H_
