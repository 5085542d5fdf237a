// Instances of the module's classes: layout, creation, release, receiver and equality.
//
// Each class wraps one C++ value type T, named to the machinery by a ClassTraits
// specialisation in the class's header:
//
//   template <>
//   struct ClassTraits<qiv::MockAnchor> {
//     static constexpr char kName[] = "MockAnchor";   // Python class name
//     static constexpr bool kSharedBorrow = true;     // carries the shared-borrow counter
//     // Optional: called on a value about to be destroyed (release or failed allocation).
//     static void Wipe(qiv::MockAnchor& value);
//   };
//
// An object is the interpreter's header followed by the value and, for kSharedBorrow classes,
// a signed 64-bit atomic counter of the entries currently borrowing it, then a flag saying
// that the value was built. Values are owned by their object alone; results that hand out a
// record held elsewhere copy it into a new object.
//
// The types are mutable, so Python code can replace a class's __new__ and make an object with
// object.__new__, which only zero-fills it: such a hollow object has no value. Everything that
// reads a value (receiver, class-instance argument, equality) checks the flag and refuses a
// hollow object with a fault; its release frees the storage without destroying a value.
//
// Everything here requires the interpreter lock, except that the counter itself is atomic.
#ifndef QIV_BINDING_MACHINERY_INSTANCE_H_
#define QIV_BINDING_MACHINERY_INSTANCE_H_

#include <Python.h>

#include <atomic>
#include <concepts>
#include <cstdint>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "machinery/error.h"
#include "machinery/py_ref.h"
#include "qiv/primitives/fault.h"

namespace qiv::py {

template <typename T>
struct ClassTraits {};

// A value type that some class of the module wraps.
template <typename T>
concept BoundClass = requires {
  { ClassTraits<T>::kName } -> std::convertible_to<const char*>;
  { ClassTraits<T>::kSharedBorrow } -> std::convertible_to<bool>;
};

template <typename T>
concept HasWipe = requires(T& value) { ClassTraits<T>::Wipe(value); };

// Process-wide type-object cell of the class wrapping T; filled once by RegisterClass and
// never emptied.
template <typename T>
struct TypeCell {
  static inline PyTypeObject* type = nullptr;
};

template <BoundClass T>
PyTypeObject* ClassType() {
  PyTypeObject* type = TypeCell<T>::type;
  if (type == nullptr) {
    RaiseFault(std::string("class ") + ClassTraits<T>::kName + " used before its type was built");
  }
  return type;
}

template <typename T>
struct PlainInstance {
  PyObject ob_base;
  T value;
  bool holds_value;  // false in an object that object.__new__ made around the class
};

template <typename T>
struct BorrowedInstance {
  PyObject ob_base;
  T value;
  std::atomic<std::int64_t> borrow;
  bool holds_value;
};

template <BoundClass T>
using InstanceOf =
    std::conditional_t<ClassTraits<T>::kSharedBorrow, BorrowedInstance<T>, PlainInstance<T>>;

template <BoundClass T>
InstanceOf<T>* AsInstance(PyObject* obj) {
  return reinterpret_cast<InstanceOf<T>*>(obj);
}

template <BoundClass T>
void DiscardValue(T& value) {
  if constexpr (HasWipe<T>) ClassTraits<T>::Wipe(value);
}

// new_instance: an object of `type` (the class's own type or the one passed to __new__)
// holding `value`. On allocation failure the value is discarded (wiped first when the class
// asks for it) and the allocator's exception returned.
template <BoundClass T>
PyResult<PyRef> NewInstance(PyTypeObject* type, T value) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* obj = alloc != nullptr ? alloc(type, 0) : nullptr;
  if (obj == nullptr) {
    DiscardValue(value);
    return Err(Error::Fetch());
  }
  auto* instance = AsInstance<T>(obj);
  new (&instance->value) T(std::move(value));
  if constexpr (ClassTraits<T>::kSharedBorrow) new (&instance->borrow) std::atomic<std::int64_t>(0);
  instance->holds_value = true;
  return PyRef::Steal(obj);
}

template <BoundClass T>
PyResult<PyRef> NewInstance(T value) {
  return NewInstance<T>(ClassType<T>(), std::move(value));
}

// Whether `obj` is an instance of T's class or of a subtype.
template <BoundClass T>
bool IsInstance(PyObject* obj) {
  return PyObject_TypeCheck(obj, ClassType<T>());
}

// The value of an instance, read in place without a borrow (`obj` must be an instance). A
// hollow object is a fault.
template <BoundClass T>
T& ValueOf(PyObject* obj) {
  auto* instance = AsInstance<T>(obj);
  if (!instance->holds_value) {
    RaiseFault(std::string(ClassTraits<T>::kName) +
               " object holds no value: it was not created by qiv_protocol");
  }
  return instance->value;
}

// A shared borrow of a kSharedBorrow instance, released when destroyed.
class SharedBorrow {
 public:
  static PyResult<SharedBorrow> Take(std::atomic<std::int64_t>& counter) {
    std::int64_t seen = counter.load();
    do {
      if (seen == -1) return Err(Error::RuntimeError("Already mutably borrowed"));
    } while (!counter.compare_exchange_weak(seen, seen + 1));
    return SharedBorrow(&counter);
  }
  SharedBorrow(SharedBorrow&& other) noexcept : counter_(std::exchange(other.counter_, nullptr)) {}
  SharedBorrow& operator=(SharedBorrow&&) = delete;
  ~SharedBorrow() {
    if (counter_ != nullptr) counter_->fetch_sub(1);
  }

 private:
  explicit SharedBorrow(std::atomic<std::int64_t>* counter) : counter_(counter) {}
  std::atomic<std::int64_t>* counter_;
};

// The receiver of an entry: its value, plus the shared borrow for kSharedBorrow classes.
template <BoundClass T>
class Receiver {
 public:
  // borrow_self: TypeError "'<type>' object cannot be cast as '<Class>'" for a foreign object;
  // a fault for a hollow one.
  static PyResult<Receiver> Extract(PyObject* self) {
    if (self == nullptr || !IsInstance<T>(self)) {
      return Err(CastError(self != nullptr ? self : Py_None, ClassTraits<T>::kName));
    }
    T& value = ValueOf<T>(self);
    if constexpr (ClassTraits<T>::kSharedBorrow) {
      auto borrow = SharedBorrow::Take(AsInstance<T>(self)->borrow);
      if (!borrow.ok()) return Err(std::move(borrow).error());
      return Receiver(value, std::move(*borrow));
    } else {
      return Receiver(value);
    }
  }

  T& value() const { return *value_; }

 private:
  struct NoBorrow {
    NoBorrow() = default;
  };
  using Guard = std::conditional_t<ClassTraits<T>::kSharedBorrow, SharedBorrow, NoBorrow>;

  explicit Receiver(T& value) : value_(&value) {}
  Receiver(T& value, SharedBorrow borrow) : value_(&value), guard_(std::move(borrow)) {}

  T* value_;
  Guard guard_;
};

// Borrow counter of an instance (for tests of the machinery).
template <BoundClass T>
  requires(ClassTraits<T>::kSharedBorrow)
std::int64_t BorrowCount(PyObject* obj) {
  return AsInstance<T>(obj)->borrow.load();
}

// New references to the interpreter's singletons. Always counted explicitly: headers of newer
// interpreters stopped counting them in their Py_RETURN_* macros, which breaks older ones.
inline PyRef NoneRef() { return PyRef::Borrow(Py_None); }
inline PyRef BoolRef(bool value) { return PyRef::Borrow(value ? Py_True : Py_False); }
inline PyRef NotImplementedRef() { return PyRef::Borrow(Py_NotImplemented); }

}  // namespace qiv::py

#endif  // QIV_BINDING_MACHINERY_INSTANCE_H_
