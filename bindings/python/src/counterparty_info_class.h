// The Python class qiv_protocol.CounterpartyInfo, wrapping a qiv::envelope::CounterpartyInfo.
//
// Requires the interpreter lock, like every class of the module.
#ifndef QIV_BINDING_COUNTERPARTY_INFO_CLASS_H_
#define QIV_BINDING_COUNTERPARTY_INFO_CLASS_H_

#include "machinery/binding.h"
#include "qiv/signed_envelope/counterparty_info.h"

namespace qiv::py {

template <>
struct ClassTraits<envelope::CounterpartyInfo> {
  static constexpr char kName[] = "CounterpartyInfo";
  static constexpr bool kSharedBorrow = false;
};

}  // namespace qiv::py

#endif  // QIV_BINDING_COUNTERPARTY_INFO_CLASS_H_
