#include "anchor_errors.h"

#include <Python.h>

#include <string>
#include <string_view>
#include <utility>

#include "qiv/primitives/fault.h"

namespace qiv::py {

Error AnchorErrorToException(AnchorError error) {
  PyObject* type = nullptr;
  std::string_view prefix;
  switch (error.kind()) {
    case AnchorError::Kind::kNetwork:
      type = PyExc_ConnectionError;
      prefix = "anchor network: ";
      break;
    case AnchorError::Kind::kBadResponse:
      type = PyExc_ValueError;
      prefix = "anchor bad response: ";
      break;
    case AnchorError::Kind::kAlreadySubmitted:
      type = PyExc_ValueError;
      prefix = "anchor already submitted: ";
      break;
    case AnchorError::Kind::kNotFound:
      type = PyExc_KeyError;
      prefix = "anchor not found: ";
      break;
    case AnchorError::Kind::kUnsupported:
      type = PyExc_NotImplementedError;
      prefix = "anchor unsupported: ";
      break;
  }
  if (type == nullptr) RaiseFault("anchor error of unknown kind");
  std::string message(prefix);
  message += std::move(error).detail();
  return Error::New(type, message);
}

}  // namespace qiv::py
