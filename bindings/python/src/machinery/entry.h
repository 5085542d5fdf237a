// Entry shims: the C functions the interpreter calls, generated from typed implementations.
//
// Every call from Python arrives at an entry instantiated from one of the templates below
// with a plain C++ function (the typed implementation). The entry matches the arguments to
// the parameters (arg_match.h), extracts the receiver (taking the shared borrow of
// kSharedBorrow classes), converts the arguments in parameter order (convert.h), calls the
// implementation, converts its result, and releases the borrow. An Error result becomes the
// current Python exception; a qiv::Fault anywhere below becomes `pyo3_runtime.PanicException`
// (this is the only place faults are caught).
//
// Implementations are free functions; for an instance entry the first parameter is the
// receiver's value (`const T&`, or `T&` for a class whose value has internal synchronisation),
// the remaining ones are the Python parameters in order:
//
//   PyResult<ProtocolAddress> Parse(std::string_view uri);          // static, with parameters
//   std::string ToUri(const ProtocolAddress& self);                 // instance, no arguments
//   PyResult<PyRef> Sign(const SoftwareIdentity& self, Bytes payload);
//
// The parameter names of an entry with parameters are declared once, when the class
// description is built (class_def.h), and kept per implementation function: each typed
// implementation with parameters serves exactly one entry.
//
// Requires the interpreter lock (the interpreter holds it for every call).
//
// Entries are not noexcept, on purpose: a daemon thread that calls into Python while the
// interpreter finalises is ended with a forced unwind (abi::__forced_unwind), which must
// travel through our frames up to the thread's start; a noexcept frame on its way would end
// the whole process instead. Every other exception stops in RunEntry.
#ifndef QIV_BINDING_MACHINERY_ENTRY_H_
#define QIV_BINDING_MACHINERY_ENTRY_H_

#include <Python.h>
#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "machinery/arg_match.h"
#include "machinery/convert.h"
#include "machinery/error.h"
#include "machinery/instance.h"
#include "machinery/py_ref.h"
#include "qiv/primitives/fault.h"

namespace qiv::py {

// --- running an entry -------------------------------------------------------------------

// Ends the process on memory exhaustion inside C++ code: there is nothing sound to return.
[[noreturn]] void AbortOnAllocationFailure() noexcept;

// Runs `body` (returning PyResult<PyRef>) as an entry: returns the new reference, or null with
// the error or the fault exception set. A forced unwind passes on untouched: the thread is
// being ended without the interpreter lock, so nothing here may call into Python.
template <typename Body>
PyObject* RunEntry(Body&& body) {
  try {
    PyResult<PyRef> result = body();
    if (result.ok()) return std::move(result).value().Release();
    std::move(result).error().Restore();
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (const Fault& fault) {
    RaisePanicException(fault.message());
  } catch (const std::bad_alloc&) {
    AbortOnAllocationFailure();
  } catch (const std::exception& e) {
    RaisePanicException(e.what());
  } catch (...) {
    RaisePanicException("");
  }
  return nullptr;
}

// For the deallocator kind: hands a fault to the interpreter's unraisable-exception hook as a
// PanicException, leaving any exception that was current untouched.
void ReportUnraisableFault(std::string_view message);

// --- argument matching over the interpreter's calling conventions -----------------------

// Per implementation function: its parameter description, set when its class description
// (or the module function table) is built.
template <auto Fn>
struct EntryParams {
  static inline const ParamSpec* spec = nullptr;
};

// Fast call: positional arguments, then the values of the keywords named in `kwnames`.
// Fills values[i] (borrowed, null when absent) for each parameter.
PyResult<void> MatchFastcall(const ParamSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames, std::span<PyObject*> values);
// Constructor: a tuple and a dict (or null). The dict's values are kept referenced in `keep`.
PyResult<void> MatchTupleDict(const ParamSpec& spec, PyObject* args, PyObject* kwargs,
                              std::span<PyObject*> values, std::vector<PyRef>& keep);

// --- signature introspection ------------------------------------------------------------

template <typename F>
struct FnTraits;
template <typename R, typename... A>
struct FnTraits<R (*)(A...)> {
  using Return = R;
  using Args = std::tuple<A...>;
  static constexpr std::size_t kArity = sizeof...(A);
};
template <typename R, typename... A>
struct FnTraits<R (*)(A...) noexcept> : FnTraits<R (*)(A...)> {};

template <typename R>
struct ResultValue {
  using type = R;
};
template <typename X>
struct ResultValue<::qiv::Result<X, Error>> {
  using type = X;
};

// Binds one implementation: kSelf says whether its first parameter is the receiver.
template <auto Fn, bool kSelf>
struct Binder {
  using Traits = FnTraits<decltype(Fn)>;
  static constexpr std::size_t kSkip = kSelf ? 1 : 0;
  static_assert(Traits::kArity >= kSkip, "an instance entry takes the receiver first");
  static constexpr std::size_t kParams = Traits::kArity - kSkip;

  template <std::size_t I>
  using Param = std::remove_cv_t<std::tuple_element_t<I + kSkip, typename Traits::Args>>;

  // Turns the implementation's result into the entry's result.
  struct ToPythonResult {
    template <typename R>
    PyResult<PyRef> operator()(R&& result) const {
      return ToPython(std::forward<R>(result));
    }
  };

  template <typename Finish, typename... A>
  static PyResult<PyRef> Call(const Finish& finish, A&&... args) {
    if constexpr (std::is_void_v<typename Traits::Return>) {
      Fn(std::forward<A>(args)...);
      return NoneRef();
    } else {
      return finish(Fn(std::forward<A>(args)...));
    }
  }

  template <typename P, typename S>
  static bool ConvertOne(S& out, PyObject* obj, const std::string& name,
                         std::optional<Error>& error) {
    if (obj == nullptr) return true;  // optional parameter not given: value-initialised
    auto converted = ArgConverter<P>::Convert(obj);
    if (!converted.ok()) {
      error.emplace(ForArgument(std::move(converted).error(), name));
      return false;
    }
    out = std::move(*converted);
    return true;
  }

  // values: one per parameter (null when absent). `self` is ignored unless kSelf.
  template <typename Finish = ToPythonResult>
  static PyResult<PyRef> Invoke(PyObject* self, PyObject* const* values, const ParamSpec* spec,
                                const Finish& finish = Finish()) {
    return InvokeImpl(self, values, spec, finish, std::make_index_sequence<kParams>());
  }

  template <typename Finish, std::size_t... I>
  static PyResult<PyRef> InvokeImpl(PyObject* self, PyObject* const* values,
                                    const ParamSpec* spec, const Finish& finish,
                                    std::index_sequence<I...>) {
    if constexpr (kSelf) {
      using Self = std::remove_cvref_t<std::tuple_element_t<0, typename Traits::Args>>;
      auto receiver = Receiver<Self>::Extract(self);
      if (!receiver.ok()) return Err(std::move(receiver).error());
      std::tuple<typename ArgConverter<Param<I>>::Storage...> storage;
      std::optional<Error> error;
      static_cast<void>(
          (ConvertOne<Param<I>>(std::get<I>(storage), values[I], spec->names[I], error) && ...));
      if (error) return Err(std::move(*error));
      return Call(finish, receiver->value(), ArgConverter<Param<I>>::Get(std::get<I>(storage))...);
      // `receiver` (and with it the shared borrow) ends here, after the result was built.
    } else {
      std::tuple<typename ArgConverter<Param<I>>::Storage...> storage;
      std::optional<Error> error;
      static_cast<void>(
          (ConvertOne<Param<I>>(std::get<I>(storage), values[I], spec->names[I], error) && ...));
      if (error) return Err(std::move(*error));
      return Call(finish, ArgConverter<Param<I>>::Get(std::get<I>(storage))...);
    }
  }
};

template <auto Fn>
const ParamSpec& RequireParams() {
  const ParamSpec* spec = EntryParams<Fn>::spec;
  if (spec == nullptr) RaiseFault("entry called before its parameters were declared");
  return *spec;
}

// --- the entry kinds --------------------------------------------------------------------

// Fast call with keywords (METH_FASTCALL | METH_KEYWORDS); kSelf false for static methods and
// module functions.
template <auto Fn, bool kSelf>
PyObject* FastcallEntry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return RunEntry([&]() -> PyResult<PyRef> {
    using B = Binder<Fn, kSelf>;
    const ParamSpec& spec = RequireParams<Fn>();
    PyObject* values[B::kParams > 0 ? B::kParams : 1] = {};
    auto matched = MatchFastcall(spec, args, nargs, kwnames, std::span(values, B::kParams));
    if (!matched.ok()) return Err(std::move(matched).error());
    return B::Invoke(self, values, &spec);
  });
}

// No arguments (METH_NOARGS); the interpreter itself refuses any argument.
template <auto Fn, bool kSelf>
PyObject* NoargsEntry(PyObject* self, PyObject* /*unused*/) {
  static_assert(Binder<Fn, kSelf>::kParams == 0, "a no-argument entry takes no parameters");
  return RunEntry([&]() -> PyResult<PyRef> { return Binder<Fn, kSelf>::Invoke(self, nullptr, nullptr); });
}

// Getter of a read-only attribute.
template <auto Fn>
PyObject* GetterEntry(PyObject* self, void* /*closure*/) {
  return RunEntry([&]() -> PyResult<PyRef> { return Binder<Fn, true>::Invoke(self, nullptr, nullptr); });
}

// tp_repr and tp_str.
template <auto Fn>
PyObject* UnaryEntry(PyObject* self) {
  return RunEntry([&]() -> PyResult<PyRef> { return Binder<Fn, true>::Invoke(self, nullptr, nullptr); });
}

// tp_hash: -1 with an exception set on failure; a computed -1 is reported as -2.
template <auto Fn>
Py_hash_t HashEntry(PyObject* self) {
  std::optional<Py_hash_t> hash;
  PyObject* done = RunEntry([&]() -> PyResult<PyRef> {
    using Self = std::remove_cvref_t<std::tuple_element_t<0, typename FnTraits<decltype(Fn)>::Args>>;
    auto receiver = Receiver<Self>::Extract(self);
    if (!receiver.ok()) return Err(std::move(receiver).error());
    auto value = Fn(receiver->value());
    if constexpr (IsPyResult<decltype(value)>::value) {
      if (!value.ok()) return Err(std::move(value).error());
      hash = static_cast<Py_hash_t>(*value);
    } else {
      hash = static_cast<Py_hash_t>(value);
    }
    return NoneRef();
  });
  if (done == nullptr) return -1;
  Py_DECREF(done);
  return *hash == -1 ? -2 : *hash;
}

// tp_new: the implementation returns the value (or PyResult of it), which moves into a new
// object of the type being instantiated.
template <auto Fn>
PyObject* ConstructorEntry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return RunEntry([&]() -> PyResult<PyRef> {
    using Value = typename ResultValue<typename FnTraits<decltype(Fn)>::Return>::type;
    static_assert(BoundClass<Value>, "a constructor returns the value of its class");
    using B = Binder<Fn, false>;
    const ParamSpec& spec = RequireParams<Fn>();
    PyObject* values[B::kParams > 0 ? B::kParams : 1] = {};
    std::vector<PyRef> keep;
    auto matched = MatchTupleDict(spec, args, kwargs, std::span(values, B::kParams), keep);
    if (!matched.ok()) return Err(std::move(matched).error());
    return B::Invoke(nullptr, values, &spec, [type](auto&& made) -> PyResult<PyRef> {
      using R = std::remove_cvref_t<decltype(made)>;
      if constexpr (IsPyResult<R>::value) {
        if (!made.ok()) return Err(std::move(made).error());
        return NewInstance<Value>(type, std::move(made).value());
      } else {
        return NewInstance<Value>(type, std::move(made));
      }
    });
  });
}

template <typename T>
bool DefaultEqual(const T& a, const T& b) {
  return a == b;
}

// tp_richcompare of value classes: == by value through Equal, != through the interpreter's
// full protocol negated, ordering NotImplemented. A foreign operand gives NotImplemented, a
// hollow one (instance.h) a fault.
template <BoundClass T, auto Equal>
PyObject* EqualityEntry(PyObject* self, PyObject* other, int op) {
  return RunEntry([&]() -> PyResult<PyRef> {
    if (op == Py_EQ) {
      if (!IsInstance<T>(self) || !IsInstance<T>(other)) return NotImplementedRef();
      return BoolRef(Equal(ValueOf<T>(self), ValueOf<T>(other)));
    }
    if (op == Py_NE) {
      PyRef equal = PyRef::Steal(PyObject_RichCompare(self, other, Py_EQ));
      if (!equal) return Err(Error::Fetch());
      int truth = PyObject_IsTrue(equal.get());
      if (truth < 0) return Err(Error::Fetch());
      return BoolRef(truth == 0);
    }
    return NotImplementedRef();
  });
}

// release_instance (tp_dealloc): destroys the value (wiping it first when the class asks),
// returns the storage through the type's free slot and drops the type's reference. A hollow
// object (instance.h) has only its storage to return.
template <BoundClass T>
void ReleaseEntry(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* instance = AsInstance<T>(self);
  if (instance->holds_value) {
    try {
      DiscardValue(instance->value);
    } catch (const abi::__forced_unwind&) {
      throw;
    } catch (const Fault& fault) {
      ReportUnraisableFault(fault.message());
    } catch (...) {
      ReportUnraisableFault("");
    }
    instance->value.~T();
  }
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

}  // namespace qiv::py

#endif  // QIV_BINDING_MACHINERY_ENTRY_H_
