#include "machinery/error.h"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <source_location>
#include <string>

#include "qiv/primitives/fault.h"

namespace qiv::py {
namespace {

constexpr char kPanicDoc[] =
    "Raised when qiv_protocol's own code fails an internal check (a bug in the module, not in "
    "the caller's input).\n\nLike SystemExit it derives from BaseException, not Exception, so "
    "that it normally propagates to the top and ends the interpreter.";
constexpr char kFaultWithoutMessage[] = "qiv_protocol's own code failed (fault without message)";

PyObject* g_panic_type = nullptr;  // created once, kept for the life of the process

// A str from UTF-8 message bytes. Surrogates that the argument matcher wrote as surrogate
// bytes come back as they were; any other invalid byte is replaced rather than losing the
// message.
PyRef MessageObject(std::string_view message) {
  PyRef text = PyRef::Steal(PyUnicode_DecodeUTF8(
      message.data(), static_cast<Py_ssize_t>(message.size()), "surrogatepass"));
  if (!text) {
    PyErr_Clear();
    text = PyRef::Steal(PyUnicode_DecodeUTF8(
        message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  }
  return text;
}

// str(obj) as UTF-8, or `fallback`.
std::string TextOf(PyObject* obj, std::string_view fallback) {
  PyRef text = PyRef::Steal(PyObject_Str(obj));
  Py_ssize_t size = 0;
  const char* data = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (data == nullptr) {
    PyErr_Clear();
    return std::string(fallback);
  }
  return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

Error Error::New(PyObject* type, std::string_view message) {
  PyRef text = MessageObject(message);
  if (!text) return Fetch();
  return New(type, std::move(text));
}

Error Error::New(PyObject* type, PyRef message) {
  if (!message) return Fetch();
  PyRef value = PyRef::Steal(PyObject_CallFunctionObjArgs(type, message.get(), nullptr));
  if (!value) return Fetch();
  return Error(PyRef::Borrow(type), std::move(value), PyRef());
}

Error Error::Fetch() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return New(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);

  PyObject* panic = PanicExceptionType();
  if (panic == nullptr) {
    PyErr_Clear();  // the class cannot exist, so the exception cannot be one of its instances
  } else if (PyErr_GivenExceptionMatches(type, panic)) {
    // Python code that the module called hit a fault of this module: report it with its
    // traceback and carry it on as a fault of the running operation.
    std::string message = TextOf(value, kFaultWithoutMessage);
    PyErr_Restore(type, value, traceback);
    PyErr_PrintEx(0);
    throw Fault(std::move(message), std::source_location::current());
  }
  return Error(PyRef::Steal(type), PyRef::Steal(value), PyRef::Steal(traceback));
}

void Error::SetCause(PyRef cause) { PyException_SetCause(value_.get(), cause.Release()); }

void Error::Restore() && {
  PyErr_Restore(type_.Release(), value_.Release(), traceback_.Release());
}

Error CastError(PyObject* obj, std::string_view target) {
  PyRef qualname =
      PyRef::Steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (!qualname || !PyUnicode_Check(qualname.get())) {
    PyErr_Clear();
    qualname = PyRef::Steal(PyUnicode_FromString("<failed to extract type name>"));
    if (!qualname) return Error::Fetch();
  }
  PyRef target_text = MessageObject(target);
  if (!target_text) return Error::Fetch();
  return Error::New(PyExc_TypeError,
                    PyRef::Steal(PyUnicode_FromFormat("'%U' object cannot be cast as '%U'",
                                                      qualname.get(), target_text.get())));
}

Error ForArgument(Error error, std::string_view name) {
  if (!error.IsExactly(PyExc_TypeError)) return error;
  PyRef text = PyRef::Steal(PyObject_Str(error.value()));
  if (!text) return Error::Fetch();
  PyRef name_text = MessageObject(name);
  if (!name_text) return Error::Fetch();
  Error rewrapped = Error::New(
      PyExc_TypeError,
      PyRef::Steal(PyUnicode_FromFormat("argument '%U': %U", name_text.get(), text.get())));
  if (rewrapped.IsExactly(PyExc_TypeError)) {
    PyRef cause = PyRef::Steal(PyException_GetCause(error.value()));
    if (cause) rewrapped.SetCause(std::move(cause));
  }
  return rewrapped;
}

PyObject* PanicExceptionType() {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                             PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

void RaisePanicException(std::string_view message) {
  try {
    PyObject* panic = PanicExceptionType();
    if (panic == nullptr) AbortAtFfiBoundary();
    PyRef text = MessageObject(message.empty() ? std::string_view(kFaultWithoutMessage) : message);
    if (!text) AbortAtFfiBoundary();
    PyRef value = PyRef::Steal(PyObject_CallFunctionObjArgs(panic, text.get(), nullptr));
    if (!value) AbortAtFfiBoundary();
    PyErr_SetObject(panic, value.get());
  } catch (const abi::__forced_unwind&) {
    throw;  // the thread is being ended at interpreter exit: let it go
  } catch (...) {
    AbortAtFfiBoundary();
  }
}

void ReportUnraisable(Error error, PyObject* context) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  std::move(error).Restore();
  PyErr_WriteUnraisable(context);
  PyErr_Restore(type, value, traceback);
}

void FailedPythonApiCall(std::source_location where) {
  if (PyErr_Occurred()) PyErr_PrintEx(0);
  RaiseFault("Python API call failed", where);
}

void AbortAtFfiBoundary() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace qiv::py
