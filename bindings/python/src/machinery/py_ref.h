// PyRef: a move-only owning reference to a Python object.
//
// Every reference-count decision is visible at the point where a PyRef is made: Steal() takes
// over a new reference that an API call returned, Borrow() adds one to a reference the caller
// does not own. Release() hands the reference back to the interpreter (an entry's result).
//
//   PyRef text = PyRef::Steal(PyUnicode_FromStringAndSize(data, size));
//   if (!text) return Error::Fetch();
//   PyRef kept = PyRef::Borrow(argument);   // now owned for as long as `kept` lives
//   return text.Release();
//
// All operations require the calling thread to hold the interpreter lock (except on an empty
// PyRef). Not thread-safe.
//
// One exception to that rule is built in. Once the interpreter has begun to finalise, a daemon
// thread that tries to take the lock back (inside any call into Python) is ended with a forced
// unwind, which runs the destructors of the PyRefs on its stack without the lock. So from
// that moment on a PyRef lets go of its reference without touching the count: the object is
// leaked, which is harmless in a process that is ending, where a count changed without the
// lock could free an object under another thread's feet.
#ifndef QIV_BINDING_MACHINERY_PY_REF_H_
#define QIV_BINDING_MACHINERY_PY_REF_H_

#include <Python.h>

#include <utility>

namespace qiv::py {

class PyRef {
 public:
  PyRef() = default;
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Reset();
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Reset(); }

  // Takes ownership of a new reference (which may be null).
  static PyRef Steal(PyObject* obj) { return PyRef(obj); }
  // Adds a reference to `obj` (which may be null) and owns it.
  static PyRef Borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return PyRef(obj);
  }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }

  // Gives up ownership without touching the count; the caller now owns the reference.
  [[nodiscard]] PyObject* Release() { return std::exchange(obj_, nullptr); }
  // A new reference for an API call that steals one, while this PyRef keeps its own.
  [[nodiscard]] PyObject* NewReference() const {
    Py_XINCREF(obj_);
    return obj_;
  }

  void Reset() {
    PyObject* old = std::exchange(obj_, nullptr);
    if (old != nullptr && Py_IsInitialized()) Py_DECREF(old);
  }

 private:
  explicit PyRef(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace qiv::py

#endif  // QIV_BINDING_MACHINERY_PY_REF_H_
