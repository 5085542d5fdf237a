// Conversions between Python objects and C++ values at the entry shim.
//
// Argument kinds, chosen by the declared parameter type of a typed implementation:
//
//   std::string_view                 text: a str (or subclass), its UTF-8 form read in place
//   std::optional<std::string_view>  optional text: None means absent
//   Bytes (span of const uint8_t)    bytes: a bytes (or subclass), read in place
//   Dict                             dict: a dict (or subclass), borrowed
//   std::vector<std::string>         sequence of text: any sequence but a str, items copied
//   const T& (T a BoundClass)        an instance of T's class (or subtype), read in place
//
// A parameter that is not required and not given gets the value-initialised storage: "" for
// text, nullopt for optional text, empty bytes, an empty list. (Class-instance parameters must
// be required.) Refusals are the TypeErrors "'<type>' object cannot be cast as '<target>'"
// and "Can't extract `str` to `Vec`"; the entry prefixes them with "argument '<name>': ".
//
// Result kinds, by the implementation's return type (ToPython):
//
//   void, std::nullopt             None
//   PyRef                          returned as it is
//   bool                           True or False
//   integers / double              int / float
//   std::string, std::string_view, const char*   str
//   ByteString (vector of uint8_t), std::array<uint8_t, N>   bytes
//   std::vector<std::string>       list of str
//   std::vector<X>                 list of X converted (e.g. new objects of a bound class)
//   std::optional<X>               None or X converted
//   a BoundClass T (value or const reference)   a new object of T's class holding (a copy of) it
//   PyResult<X>                    its error raised, or X converted
//
// Building a str, bytes, int, float or list can fail only when the interpreter is out of
// memory; that is a fault ("Python API call failed"), after the interpreter's error is printed.
//
// Requires the interpreter lock.
#ifndef QIV_BINDING_MACHINERY_CONVERT_H_
#define QIV_BINDING_MACHINERY_CONVERT_H_

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "machinery/error.h"
#include "machinery/instance.h"
#include "machinery/py_ref.h"

namespace qiv::py {

using Bytes = std::span<const std::uint8_t>;
using ByteString = std::vector<std::uint8_t>;

// A dict argument, borrowed for the length of the call.
class Dict {
 public:
  Dict() = default;
  explicit Dict(PyObject* obj) : obj_(obj) {}
  PyObject* get() const { return obj_; }

 private:
  PyObject* obj_ = nullptr;
};

// --- argument conversions (non-template cores) ---
PyResult<std::string_view> TextFromPython(PyObject* obj);
PyResult<Bytes> BytesFromPython(PyObject* obj);
PyResult<Dict> DictFromPython(PyObject* obj);
PyResult<std::vector<std::string>> TextSequenceFromPython(PyObject* obj);

// ArgConverter<P> for a parameter declared as P: Storage is what the entry keeps for the call,
// Convert fills it, Get passes it to the implementation.
template <typename P>
struct ArgConverter;

template <>
struct ArgConverter<std::string_view> {
  using Storage = std::string_view;
  static PyResult<Storage> Convert(PyObject* obj) { return TextFromPython(obj); }
  static std::string_view Get(Storage& s) { return s; }
};

template <>
struct ArgConverter<std::optional<std::string_view>> {
  using Storage = std::optional<std::string_view>;
  static PyResult<Storage> Convert(PyObject* obj) {
    if (obj == Py_None) return Storage();
    auto text = TextFromPython(obj);
    if (!text.ok()) return Err(std::move(text).error());
    return Storage(*text);
  }
  static Storage Get(Storage& s) { return s; }
};

template <>
struct ArgConverter<Bytes> {
  using Storage = Bytes;
  static PyResult<Storage> Convert(PyObject* obj) { return BytesFromPython(obj); }
  static Bytes Get(Storage& s) { return s; }
};

template <>
struct ArgConverter<Dict> {
  using Storage = Dict;
  static PyResult<Storage> Convert(PyObject* obj) { return DictFromPython(obj); }
  static Dict Get(Storage& s) { return s; }
};

template <>
struct ArgConverter<std::vector<std::string>> {
  using Storage = std::vector<std::string>;
  static PyResult<Storage> Convert(PyObject* obj) { return TextSequenceFromPython(obj); }
  static std::vector<std::string> Get(Storage& s) { return std::move(s); }
};

template <>
struct ArgConverter<const std::vector<std::string>&> {
  using Storage = std::vector<std::string>;
  static PyResult<Storage> Convert(PyObject* obj) { return TextSequenceFromPython(obj); }
  static const std::vector<std::string>& Get(Storage& s) { return s; }
};

// extract_class_argument.
template <BoundClass T>
struct ArgConverter<const T&> {
  using Storage = const T*;
  static PyResult<Storage> Convert(PyObject* obj) {
    if (!IsInstance<T>(obj)) return Err(CastError(obj, ClassTraits<T>::kName));
    return &ValueOf<T>(obj);
  }
  static const T& Get(Storage& s) { return *s; }
};

// --- result conversions ---
PyRef NewStr(std::string_view text);
PyRef NewBytes(Bytes bytes);
PyRef NewInt(long long value);
PyRef NewUnsignedInt(unsigned long long value);
PyRef NewFloat(double value);
PyRef NewList(Py_ssize_t size);
PyRef NewStrList(const std::vector<std::string>& items);
PyRef NewDict();
// dict[key] = value; the interpreter's error when it cannot insert.
PyResult<void> SetItem(const PyRef& dict, const char* key, PyRef value);

template <typename X>
struct IsPyResult : std::false_type {};
template <typename X>
struct IsPyResult<::qiv::Result<X, Error>> : std::true_type {};

template <typename X>
struct IsOptional : std::false_type {};
template <typename X>
struct IsOptional<std::optional<X>> : std::true_type {};

template <typename X>
struct IsByteArray : std::false_type {};
template <std::size_t N>
struct IsByteArray<std::array<std::uint8_t, N>> : std::true_type {};

template <typename X>
struct IsVector : std::false_type {};
template <typename E>
struct IsVector<std::vector<E>> : std::true_type {};

template <typename X>
PyResult<PyRef> ToPython(X&& value);

// A list of converted elements (ToPython of each); the first failure is returned.
template <typename V>
PyResult<PyRef> VectorToPython(V&& items) {
  PyRef list = NewList(static_cast<Py_ssize_t>(items.size()));
  Py_ssize_t index = 0;
  for (auto& item : items) {
    auto converted = std::is_rvalue_reference_v<V&&> ? ToPython(std::move(item)) : ToPython(item);
    if (!converted.ok()) return Err(std::move(converted).error());
    // Steals the element; cannot fail for an index inside a new list.
    PyList_SetItem(list.get(), index++, std::move(converted).value().Release());
  }
  return list;
}

template <typename X>
PyResult<PyRef> ToPython(X&& value) {
  using V = std::remove_cvref_t<X>;
  if constexpr (std::is_same_v<V, PyRef>) {
    return std::move(value);
  } else if constexpr (std::is_same_v<V, std::nullopt_t>) {
    return NoneRef();
  } else if constexpr (std::is_same_v<V, bool>) {
    return BoolRef(value);
  } else if constexpr (std::is_integral_v<V> && std::is_signed_v<V>) {
    return NewInt(value);
  } else if constexpr (std::is_integral_v<V>) {
    return NewUnsignedInt(value);
  } else if constexpr (std::is_floating_point_v<V>) {
    return NewFloat(value);
  } else if constexpr (std::is_convertible_v<const V&, std::string_view>) {
    return NewStr(std::string_view(value));
  } else if constexpr (std::is_same_v<V, ByteString> || IsByteArray<V>::value) {
    return NewBytes(Bytes(value.data(), value.size()));
  } else if constexpr (std::is_same_v<V, std::vector<std::string>>) {
    return NewStrList(value);
  } else if constexpr (IsVector<V>::value) {
    return VectorToPython(std::forward<X>(value));
  } else if constexpr (IsOptional<V>::value) {
    if (!value.has_value()) return NoneRef();
    return ToPython(*std::forward<X>(value));
  } else if constexpr (std::is_same_v<V, ::qiv::Result<void, Error>>) {
    if (!value.ok()) return Err(std::forward<X>(value).error());
    return NoneRef();
  } else if constexpr (IsPyResult<V>::value) {
    if (!value.ok()) return Err(std::forward<X>(value).error());
    return ToPython(*std::forward<X>(value));
  } else if constexpr (BoundClass<V>) {
    return NewInstance<V>(V(std::forward<X>(value)));
  } else {
    static_assert(sizeof(V) == 0, "no Python conversion for this result type");
  }
}

}  // namespace qiv::py

#endif  // QIV_BINDING_MACHINERY_CONVERT_H_
