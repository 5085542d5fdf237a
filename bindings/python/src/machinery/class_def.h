// Class descriptions, type objects and module registration.
//
// Each class of the module is one file holding its typed implementations and one function
// returning its description, built once with Class<T>:
//
//   const ClassDef& MockAnchorClass() {
//     static const Class<MockAnchor> def =
//         Class<MockAnchor>("MockAnchor(id)\n--\n\nIn-memory anchor ...")
//             .Constructor<NewAnchor>({"id"})
//             .Method<Submit>("submit", "submit($self, merkle_root)\n--\n\n...", {"merkle_root"})
//             .Getter<Id>("id")
//             .Repr<ReprOf>();
//     return def;
//   }
//
// Members keep the order in which they are added (methods in one table, getters in another).
// The Python kind of each method follows from its implementation: Method<> takes the receiver
// first, StaticMethod<> does not; a method whose implementation takes no Python parameter is
// registered as METH_NOARGS (interpreter rejects arguments), any other as METH_FASTCALL |
// METH_KEYWORDS with the declared parameter names, of which the first `required` (default: all)
// must be given. A class without Constructor<> cannot be instantiated from Python.
//
// build_type_object turns the description into a heap type "qiv_protocol.<Class>" (no
// subclassing, no __dict__, no weak references); RegisterClass builds it once per process,
// keeps it in the class's type cell and adds it to the module.
//
// Descriptions are built and registered under the interpreter lock, during the import.
#ifndef QIV_BINDING_MACHINERY_CLASS_DEF_H_
#define QIV_BINDING_MACHINERY_CLASS_DEF_H_

#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "machinery/arg_match.h"
#include "machinery/entry.h"
#include "machinery/error.h"
#include "machinery/instance.h"
#include "machinery/py_ref.h"

namespace qiv::py {

// `required` default: every parameter is required.
inline constexpr std::size_t kAllRequired = std::numeric_limits<std::size_t>::max();

// Declares the parameters of implementation Fn (full name as used in argument errors).
// Fault when their number differs from Fn's Python parameters.
const ParamSpec* DeclareParams(std::string full_name, std::initializer_list<const char*> names,
                               std::size_t required, std::size_t arity);

template <typename F>
PyCFunction AsCFunction(F* entry) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

// A method-table entry for a module-level function (METH_FASTCALL | METH_KEYWORDS, or
// METH_NOARGS without parameters); the receiver the interpreter passes (the module) is not
// handed to Fn.
template <auto Fn>
PyMethodDef FunctionDef(const char* name, const char* doc,
                        std::initializer_list<const char*> names,
                        std::size_t required = kAllRequired) {
  using B = Binder<Fn, false>;
  if constexpr (B::kParams == 0) {
    return PyMethodDef{name, AsCFunction(&NoargsEntry<Fn, false>), METH_NOARGS, doc};
  } else {
    EntryParams<Fn>::spec =
        DeclareParams(std::string(name) + "()", names, required, B::kParams);
    return PyMethodDef{name, AsCFunction(&FastcallEntry<Fn, false>),
                       METH_FASTCALL | METH_KEYWORDS, doc};
  }
}

// The type-independent part of a class description.
class ClassDef {
 public:
  ClassDef(ClassDef&&) = default;
  ClassDef& operator=(ClassDef&&) = delete;

  const char* name() const { return name_; }
  // The process-wide type-object cell of the class.
  PyTypeObject*& cell() const { return *cell_; }

  // build_type_object: a new heap type from this description.
  PyResult<PyRef> BuildTypeObject() const;

 protected:
  ClassDef(const char* name, const char* doc, std::size_t basic_size, PyTypeObject** cell,
           destructor dealloc);

  void AddMethod(PyMethodDef def);
  void AddGetter(const char* name, getter get);
  void AddSlot(int slot, void* pfunc);
  std::string MemberFullName(const char* member) const {
    return std::string(name_) + "." + member + "()";
  }

 private:
  const char* name_;
  const char* doc_;
  std::string spec_name_;  // "qiv_protocol.<Class>"; the type keeps pointing at it
  std::size_t basic_size_;
  PyTypeObject** cell_;
  std::vector<PyType_Slot> slots_;       // class slots besides doc, methods, getset, base
  std::vector<PyMethodDef> methods_;     // always ends with the sentinel
  std::vector<PyGetSetDef> getters_;     // always ends with the sentinel
  bool has_new_ = false;
};

// Builder of the description of the class wrapping T (see the file comment).
template <BoundClass T>
class Class : public ClassDef {
 public:
  explicit Class(const char* doc)
      : ClassDef(ClassTraits<T>::kName, doc, sizeof(InstanceOf<T>), &TypeCell<T>::type,
                 &ReleaseEntry<T>) {}

  // __new__: Fn(params...) returns T or PyResult<T>, moved into a new object.
  template <auto Fn>
  Class&& Constructor(std::initializer_list<const char*> names,
                      std::size_t required = kAllRequired) && {
    EntryParams<Fn>::spec = DeclareParams(MemberFullName("__new__"), names, required,
                                          Binder<Fn, false>::kParams);
    AddSlot(Py_tp_new, reinterpret_cast<void*>(&ConstructorEntry<Fn>));
    return std::move(*this);
  }

  template <auto Fn>
  Class&& StaticMethod(const char* name, const char* doc,
                       std::initializer_list<const char*> names = {},
                       std::size_t required = kAllRequired) && {
    using B = Binder<Fn, false>;
    if constexpr (B::kParams == 0) {
      AddMethod({name, AsCFunction(&NoargsEntry<Fn, false>), METH_NOARGS | METH_STATIC, doc});
    } else {
      EntryParams<Fn>::spec = DeclareParams(MemberFullName(name), names, required, B::kParams);
      AddMethod({name, AsCFunction(&FastcallEntry<Fn, false>),
                 METH_FASTCALL | METH_KEYWORDS | METH_STATIC, doc});
    }
    return std::move(*this);
  }

  template <auto Fn>
  Class&& Method(const char* name, const char* doc, std::initializer_list<const char*> names = {},
                 std::size_t required = kAllRequired) && {
    using B = Binder<Fn, true>;
    if constexpr (B::kParams == 0) {
      AddMethod({name, AsCFunction(&NoargsEntry<Fn, true>), METH_NOARGS, doc});
    } else {
      EntryParams<Fn>::spec = DeclareParams(MemberFullName(name), names, required, B::kParams);
      AddMethod({name, AsCFunction(&FastcallEntry<Fn, true>), METH_FASTCALL | METH_KEYWORDS, doc});
    }
    return std::move(*this);
  }

  // A read-only attribute: Fn(const T&) -> any result kind of convert.h.
  template <auto Fn>
  Class&& Getter(const char* name) && {
    AddGetter(name, &GetterEntry<Fn>);
    return std::move(*this);
  }

  template <auto Fn>
  Class&& Repr() && {
    AddSlot(Py_tp_repr, reinterpret_cast<void*>(&UnaryEntry<Fn>));
    return std::move(*this);
  }

  template <auto Fn>
  Class&& Str() && {
    AddSlot(Py_tp_str, reinterpret_cast<void*>(&UnaryEntry<Fn>));
    return std::move(*this);
  }

  // Fn(const T&) -> an integer (or PyResult of one).
  template <auto Fn>
  Class&& Hash() && {
    AddSlot(Py_tp_hash, reinterpret_cast<void*>(&HashEntry<Fn>));
    return std::move(*this);
  }

  // Value equality through Equal(const T&, const T&) -> bool, T's operator== by default.
  // Without Hash<>() the class becomes unhashable.
  template <auto Equal = &DefaultEqual<T>>
  Class&& Equality() && {
    AddSlot(Py_tp_richcompare, reinterpret_cast<void*>(&EqualityEntry<T, Equal>));
    return std::move(*this);
  }
};

// Module `add`: appends `name` to the module's `__all__` (creating the list on first use),
// then sets the attribute. A failing append is a fault.
PyResult<void> AddToModule(PyObject* module, std::string_view name, PyRef value);

// register_class: builds the class's type object unless its cell holds it already, then adds
// it to the module under the class name. A failed build is RuntimeError "An error occurred
// while initializing class <Class>" with the building error as its __cause__.
PyResult<void> RegisterClass(PyObject* module, const ClassDef& def);

}  // namespace qiv::py

#endif  // QIV_BINDING_MACHINERY_CLASS_DEF_H_
