// The Python class qiv_protocol.EnvelopeQueue, wrapping a qiv::envelope::EnvelopeQueue.
//
// An object holds the queue directory's path and nothing else; its blocking methods run the
// queue's tasks with RunBlocking (blocking_call.h). Every method, getter and __repr__ takes
// the object's shared borrow for the length of the call.
//
// Requires the interpreter lock, like every class of the module.
#ifndef QIV_BINDING_ENVELOPE_QUEUE_CLASS_H_
#define QIV_BINDING_ENVELOPE_QUEUE_CLASS_H_

#include "machinery/binding.h"
#include "qiv/signed_envelope/envelope_queue.h"

namespace qiv::py {

template <>
struct ClassTraits<envelope::EnvelopeQueue> {
  static constexpr char kName[] = "EnvelopeQueue";
  static constexpr bool kSharedBorrow = true;
};

}  // namespace qiv::py

#endif  // QIV_BINDING_ENVELOPE_QUEUE_CLASS_H_
