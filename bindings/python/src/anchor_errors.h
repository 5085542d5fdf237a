// anchor_error_to_exception: how an anchor failure reaches Python.
//
//   Network           ConnectionError      "anchor network: <detail>"
//   BadResponse       ValueError           "anchor bad response: <detail>"
//   AlreadySubmitted  ValueError           "anchor already submitted: <detail>"
//   NotFound          KeyError             "anchor not found: <detail>"
//   Unsupported       NotImplementedError  "anchor unsupported: <detail>"
//
// The detail follows its prefix unchanged; the exception is created with the message as its
// only argument. Requires the interpreter lock.
#ifndef QIV_BINDING_ANCHOR_ERRORS_H_
#define QIV_BINDING_ANCHOR_ERRORS_H_

#include "machinery/error.h"
#include "qiv/primitives/anchor_error.h"

namespace qiv::py {

Error AnchorErrorToException(AnchorError error);

}  // namespace qiv::py

#endif  // QIV_BINDING_ANCHOR_ERRORS_H_
