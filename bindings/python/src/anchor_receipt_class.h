// The Python class AnchorReceipt: holds one AnchorReceipt record.
//
// Other class files include this header to accept or return receipts (MockAnchor.submit
// returns one, MockAnchor.verify takes one).
#ifndef QIV_BINDING_ANCHOR_RECEIPT_CLASS_H_
#define QIV_BINDING_ANCHOR_RECEIPT_CLASS_H_

#include "machinery/binding.h"
#include "qiv/primitives/anchor_receipt.h"

namespace qiv::py {

template <>
struct ClassTraits<AnchorReceipt> {
  static constexpr char kName[] = "AnchorReceipt";
  static constexpr bool kSharedBorrow = false;
};

}  // namespace qiv::py

#endif  // QIV_BINDING_ANCHOR_RECEIPT_CLASS_H_
