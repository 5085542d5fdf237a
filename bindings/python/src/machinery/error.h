// Error: a Python exception held as a value, and the fault exception.
//
// Operations of the binding return `Result<T, Error>`; only the entry shim (entry.h) turns an
// Error into the current Python exception. An Error is always a complete exception object:
// either one the module made (an exception class called with the message as its only
// argument) or one the interpreter raised and the module fetched.
//
//   if (seed.size() != 32) return Err(Error::ValueError("seed must be exactly 32 bytes"));
//   PyRef loads = PyRef::Steal(PyObject_GetAttrString(json.get(), "loads"));
//   if (!loads) return Err(Error::Fetch());
//
// Faults (qiv::Fault, fault.h) are not Errors: they unwind to the entry shim, which raises
// them as `pyo3_runtime.PanicException`. That class derives from BaseException, is created
// once per process on first need and is not an attribute of the module.
//
// Everything here requires the interpreter lock. Not thread-safe.
#ifndef QIV_BINDING_MACHINERY_ERROR_H_
#define QIV_BINDING_MACHINERY_ERROR_H_

#include <Python.h>

#include <source_location>
#include <string>
#include <string_view>

#include "machinery/py_ref.h"
#include "qiv/primitives/result.h"

namespace qiv::py {

class [[nodiscard]] Error {
 public:
  // `type(message)`, with `message` as UTF-8 (lone surrogates written as surrogate bytes
  // survive). If the interpreter cannot build it, the Error is what the interpreter raised.
  static Error New(PyObject* type, std::string_view message);
  // `type(message)` with a ready `str` object as the message.
  static Error New(PyObject* type, PyRef message);

  static Error TypeError(std::string_view message) { return New(PyExc_TypeError, message); }
  static Error ValueError(std::string_view message) { return New(PyExc_ValueError, message); }
  static Error OSError(std::string_view message) { return New(PyExc_OSError, message); }
  static Error KeyError(std::string_view message) { return New(PyExc_KeyError, message); }
  static Error ConnectionError(std::string_view message) {
    return New(PyExc_ConnectionError, message);
  }
  static Error NotImplementedError(std::string_view message) {
    return New(PyExc_NotImplementedError, message);
  }
  static Error RuntimeError(std::string_view message) { return New(PyExc_RuntimeError, message); }

  // Takes the interpreter's current exception; SystemError "attempted to fetch exception but
  // none was set" when there is none. A `pyo3_runtime.PanicException` raised by Python code
  // the module called is taken over as a fault: its traceback is written to standard error
  // and a qiv::Fault with the same message is thrown.
  static Error Fetch();

  Error(Error&&) = default;
  Error& operator=(Error&&) = default;

  // The exception object itself (borrowed).
  PyObject* value() const { return value_.get(); }
  // Whether the exception's class is exactly `type` (not a subclass).
  bool IsExactly(PyObject* type) const { return type_.get() == type; }

  // Sets `__cause__` (stolen; may be null for none).
  void SetCause(PyRef cause);

  // Makes this the interpreter's current exception.
  void Restore() &&;

 private:
  Error(PyRef type, PyRef value, PyRef traceback)
      : type_(std::move(type)), value_(std::move(value)), traceback_(std::move(traceback)) {}

  PyRef type_;
  PyRef value_;
  PyRef traceback_;
};

// Result of a binding operation.
template <typename T>
using PyResult = ::qiv::Result<T, Error>;

// TypeError "'<type>' object cannot be cast as '<target>'", <type> being the `__qualname__` of
// the object's type or "<failed to extract type name>".
Error CastError(PyObject* obj, std::string_view target);

// The rewrap rule for a failed argument conversion: an exception whose class is exactly
// TypeError becomes TypeError "argument '<name>': <its text>", keeping its `__cause__` but not
// chaining the original; any other exception is returned unchanged.
Error ForArgument(Error error, std::string_view name);

// Raises the fault exception with `message` (a fixed generic text when it is empty). If even
// that fails, the process ends after "uncaught panic at ffi boundary" on standard error.
void RaisePanicException(std::string_view message);

// The fault exception class, created on first use (borrowed; null with an exception set if it
// cannot be created).
PyObject* PanicExceptionType();

// Hands `error` to the interpreter's unraisable-exception hook with `context` (may be null) as
// the object concerned, leaving the current exception state as it was. For failures that
// must not propagate, such as a warning turned into an error inside a getter.
void ReportUnraisable(Error error, PyObject* context);

// For an interpreter call that failed to build a result object: prints the interpreter's error
// to standard error and raises the fault "Python API call failed".
[[noreturn]] void FailedPythonApiCall(
    std::source_location where = std::source_location::current());

// Ends the process after "uncaught panic at ffi boundary": a fault while a fault or an error
// is being raised.
[[noreturn]] void AbortAtFfiBoundary() noexcept;

}  // namespace qiv::py

#endif  // QIV_BINDING_MACHINERY_ERROR_H_
