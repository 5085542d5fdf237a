// Calls into the host's json module, for the to_dict / from_dict methods of the records.
//
// The module "json" is imported through the interpreter's import function on every call, so
// a replaced or missing module is honoured (the interpreter's module cache keeps this cheap).
// Exceptions of the import, the attribute lookup or the call pass through unchanged, except
// a PanicException, which is taken over as a fault (error.h).
//
//   PyResult<PyRef> ToDict(const SignedEnvelope& self) {
//     return JsonLoads(self.ToJson());          // json.loads(text)
//   }
//   PyResult<SignedEnvelope> FromDict(Dict d) {
//     auto text = JsonDumps(d);                 // json.dumps(d), host defaults
//     if (!text.ok()) return Err(std::move(text).error());
//     return ParseEnvelope(*text);
//   }
//
// Requires the interpreter lock.
#ifndef QIV_BINDING_MACHINERY_JSON_BRIDGE_H_
#define QIV_BINDING_MACHINERY_JSON_BRIDGE_H_

#include <string>
#include <string_view>

#include "machinery/convert.h"
#include "machinery/error.h"
#include "machinery/py_ref.h"

namespace qiv::py {

// json.loads(text), called with the text as its only positional argument.
PyResult<PyRef> JsonLoads(std::string_view text);

// json.dumps(d) with the host's defaults; its result must be a str (else the cast TypeError).
PyResult<std::string> JsonDumps(Dict d);

}  // namespace qiv::py

#endif  // QIV_BINDING_MACHINERY_JSON_BRIDGE_H_
