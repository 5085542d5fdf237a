// The binding machinery in one include, and how a Python class is written on it.
//
// A class is two files in bindings/python/src/ plus one line in module_members.h. The
// machinery does everything around the typed implementations: argument matching with the
// exact TypeError texts, conversions, receiver extraction and the shared-borrow counter,
// result objects, error and fault reporting, instance creation and release, the type object.
//
// ---- bindings/python/src/protocol_address_class.h -----------------------------------------
//
//   #include "machinery/binding.h"
//   #include "qiv/primitives/protocol_address.h"
//
//   namespace qiv::py {
//   // Names the value type's Python class. Other class files include this header to accept
//   // or return addresses (`const ProtocolAddress&` parameters, ProtocolAddress results).
//   template <>
//   struct ClassTraits<ProtocolAddress> {
//     static constexpr char kName[] = "ProtocolAddress";
//     static constexpr bool kSharedBorrow = false;   // true for MockAnchor, EnvelopeQueue,
//                                                    // SoftwareIdentity
//     // Optional hook, run on a value about to be destroyed (object release, or a failed
//     // allocation in NewInstance). SoftwareIdentity wipes its seed here:
//     //   static void Wipe(SoftwareIdentity& identity) { identity.WipeSeed(); }
//   };
//   }  // namespace qiv::py
//
// ---- bindings/python/src/protocol_address_class.cc ----------------------------------------
//
//   #include "protocol_address_class.h"
//   #include "module_members.h"
//
//   namespace qiv::py {
//   namespace {
//
//   // Constructor: receives the converted arguments, returns the value (or an Error); the
//   // machinery moves it into a new object of the type being instantiated.
//   PyResult<ProtocolAddress> New(std::string_view address_class, std::string_view type,
//                                 std::string_view ref) {
//     auto cls = ParseAddressClass(address_class);
//     if (!cls) return Err(Error::ValueError("unknown address class: " + ...));
//     return ProtocolAddress(*cls, type, ref);
//   }
//
//   // Static method: returning a ProtocolAddress makes a new ProtocolAddress object.
//   PyResult<ProtocolAddress> Parse(std::string_view uri) {
//     auto address = ProtocolAddress::Parse(uri);
//     if (!address) return Err(Error::ValueError("invalid tvq:// URI: " + std::string(uri)));
//     return *std::move(address);
//   }
//
//   // Instance methods and getters take the held value first.
//   std::string ToUri(const ProtocolAddress& self) { return self.ToUri(); }
//
//   PyResult<PyRef> ToDict(const ProtocolAddress& self) {
//     PyRef dict = NewDict();
//     QIV_RETURN_IF_ERROR(SetItem(dict, "class", NewStr(self.ClassName())));
//     QIV_RETURN_IF_ERROR(SetItem(dict, "type", NewStr(self.type())));
//     QIV_RETURN_IF_ERROR(SetItem(dict, "ref", NewStr(self.ref())));
//     return dict;
//   }
//
//   const std::string& Type(const ProtocolAddress& self) { return self.type(); }
//
//   std::string Repr(const ProtocolAddress& self) {
//     return "ProtocolAddress(" + ReprQuoted(self.ToUri()) + ")";
//   }
//
//   std::int64_t Hash(const ProtocolAddress& self) { return self.StableHash(); }
//
//   }  // namespace
//
//   const ClassDef& ProtocolAddressClass() {
//     static const Class<ProtocolAddress> def =
//         Class<ProtocolAddress>(
//             "ProtocolAddress(address_class, type_, ref_)\n--\n\nWraps the kernel's ...")
//             .Constructor<New>({"address_class", "type_", "ref_"})
//             .StaticMethod<Parse>("parse", "parse(uri)\n--\n\nParse a canonical ...", {"uri"})
//             .Method<ToUri>("to_uri", "to_uri($self)\n--\n\n")
//             .Method<ToDict>("to_dict", "to_dict($self)\n--\n\n")
//             .Getter<Type>("type")                 // ... one per getter, in table order
//             .Repr<Repr>()
//             .Str<ToUri>()
//             .Hash<Hash>()
//             .Equality();                          // ProtocolAddress::operator==
//     return def;
//   }
//
//   }  // namespace qiv::py
//
// ---- module_members.h: uncomment the class's line -----------------------------------------
//
//   X(ProtocolAddress)
//
// What the pieces give you:
//
// - Parameters (convert.h): std::string_view (text read in place), std::optional<string_view>
//   (None = absent), Bytes (bytes read in place), Dict (a borrowed dict), std::vector<
//   std::string> (sequence of text), `const T&` for an instance of another class (read in
//   place). Names are declared in the builder call; the first `required` are required (default
//   all); an omitted optional parameter arrives value-initialised ("" / nullopt / empty).
// - Results (ToPython in convert.h): void -> None, bool, integers, double, texts, ByteString or
//   std::array<uint8_t, N> -> bytes, vector<string> -> list of str, vector<X> -> list of X
//   converted (e.g. std::vector<QueuedItem> -> new objects), optional -> None or the value,
//   a bound value type (by value or const reference) -> a new object holding it or a copy,
//   PyRef as it is, PyResult<X> for a result that may fail. To make an object explicitly:
//   NewInstance<T>(value). NewStr / NewBytes / NewInt / NewFloat / NewList / NewDict never
//   return null (an interpreter out of memory is the fault "Python API call failed").
// - Errors (error.h): return Err(Error::ValueError(msg)) and friends (TypeError, OSError,
//   KeyError, ConnectionError, NotImplementedError, RuntimeError, New(type, msg)); each
//   becomes `type(msg)`. After a failed interpreter call, return Err(Error::Fetch()).
//   ForArgument / CastError give the argument TypeErrors for hand-written checks;
//   ReportUnraisable(error, obj) hands an error to sys.unraisablehook instead of raising.
//   Broken invariants: qiv::RaiseFault(msg) anywhere below, raised as
//   pyo3_runtime.PanicException; nothing else may be thrown.
// - The host's json module: JsonLoads(text), JsonDumps(dict) (json_bridge.h).
// - Kinds and flags: StaticMethod / Method without Python parameters -> METH_NOARGS
//   (| METH_STATIC), with parameters -> METH_FASTCALL | METH_KEYWORDS (| METH_STATIC).
//   No Constructor -> Py_TPFLAGS_DISALLOW_INSTANTIATION. Equality without Hash -> unhashable.
//   kSharedBorrow classes take the shared borrow around every instance method, getter,
//   __repr__, __str__ and __hash__; static methods and constructors do not.
// - Hollow objects: an object that Python code made with object.__new__ after replacing the
//   class's __new__ holds no value. The machinery refuses it (receiver, `const T&` argument,
//   either side of ==) with a fault before an implementation runs, and its release returns
//   only the storage, so implementations never see one.
// - Exit: entries are not noexcept and catch nothing of a forced unwind, which ends a daemon
//   thread inside a call at interpreter exit. Code of a class never catches (...) itself.
//
// Everything runs with the interpreter lock held, on the calling thread.
#ifndef QIV_BINDING_MACHINERY_BINDING_H_
#define QIV_BINDING_MACHINERY_BINDING_H_

#include "machinery/class_def.h"   // IWYU pragma: export
#include "machinery/convert.h"     // IWYU pragma: export
#include "machinery/entry.h"       // IWYU pragma: export
#include "machinery/error.h"       // IWYU pragma: export
#include "machinery/instance.h"    // IWYU pragma: export
#include "machinery/json_bridge.h" // IWYU pragma: export
#include "machinery/py_ref.h"      // IWYU pragma: export
#include "qiv/primitives/fault.h"  // IWYU pragma: export
#include "qiv/primitives/repr_quote.h"  // IWYU pragma: export
#include "qiv/primitives/result.h" // IWYU pragma: export

#endif  // QIV_BINDING_MACHINERY_BINDING_H_
