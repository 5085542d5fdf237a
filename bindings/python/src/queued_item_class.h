// The Python class qiv_protocol.QueuedItem, wrapping a qiv::envelope::QueuedItem.
//
// Objects come only from EnvelopeQueue.list(); the class cannot be instantiated. They compare
// and hash by identity.
//
// Requires the interpreter lock, like every class of the module.
#ifndef QIV_BINDING_QUEUED_ITEM_CLASS_H_
#define QIV_BINDING_QUEUED_ITEM_CLASS_H_

#include "machinery/binding.h"
#include "qiv/signed_envelope/queued_item.h"

namespace qiv::py {

template <>
struct ClassTraits<envelope::QueuedItem> {
  static constexpr char kName[] = "QueuedItem";
  static constexpr bool kSharedBorrow = false;
};

}  // namespace qiv::py

#endif  // QIV_BINDING_QUEUED_ITEM_CLASS_H_
