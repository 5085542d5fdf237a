#include "machinery/class_def.h"

#include <string>
#include <utility>

#include "machinery/convert.h"
#include "qiv/primitives/fault.h"

namespace qiv::py {

const ParamSpec* DeclareParams(std::string full_name, std::initializer_list<const char*> names,
                               std::size_t required, std::size_t arity) {
  if (names.size() != arity) {
    RaiseFault(full_name + " declares " + std::to_string(names.size()) +
               " parameter names for " + std::to_string(arity) + " parameters");
  }
  // Lives for the process, like the type objects whose entries read it.
  auto* spec = new ParamSpec{std::move(full_name), {}, 0};
  for (const char* name : names) spec->names.emplace_back(name);
  spec->required = required == kAllRequired ? names.size() : required;
  if (spec->required > names.size()) RaiseFault(spec->full_name + " requires too many parameters");
  return spec;
}

ClassDef::ClassDef(const char* name, const char* doc, std::size_t basic_size, PyTypeObject** cell,
                   destructor dealloc)
    : name_(name),
      doc_(doc),
      spec_name_(std::string("qiv_protocol.") + name),
      basic_size_(basic_size),
      cell_(cell),
      methods_{PyMethodDef{nullptr, nullptr, 0, nullptr}},
      getters_{PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr}} {
  AddSlot(Py_tp_dealloc, reinterpret_cast<void*>(dealloc));
}

void ClassDef::AddMethod(PyMethodDef def) { methods_.insert(methods_.end() - 1, def); }

void ClassDef::AddGetter(const char* name, getter get) {
  getters_.insert(getters_.end() - 1, PyGetSetDef{name, get, nullptr, nullptr, nullptr});
}

void ClassDef::AddSlot(int slot, void* pfunc) {
  if (slot == Py_tp_new) has_new_ = true;
  slots_.push_back(PyType_Slot{slot, pfunc});
}

PyResult<PyRef> ClassDef::BuildTypeObject() const {
  std::vector<PyType_Slot> slots;
  slots.push_back({Py_tp_doc, const_cast<char*>(doc_)});
  // The type keeps pointing at both tables, which live as long as this description.
  slots.push_back({Py_tp_methods, const_cast<PyMethodDef*>(methods_.data())});
  slots.push_back({Py_tp_getset, const_cast<PyGetSetDef*>(getters_.data())});
  slots.insert(slots.end(), slots_.begin(), slots_.end());
  slots.push_back({Py_tp_base, &PyBaseObject_Type});
  slots.push_back({0, nullptr});

  PyType_Spec spec{};
  spec.name = spec_name_.c_str();
  spec.basicsize = static_cast<int>(basic_size_);
  spec.itemsize = 0;
  spec.flags = has_new_ ? 0 : Py_TPFLAGS_DISALLOW_INSTANTIATION;
  spec.slots = slots.data();
  PyRef type = PyRef::Steal(PyType_FromSpec(&spec));
  if (!type) return Err(Error::Fetch());
  return type;
}

PyResult<void> AddToModule(PyObject* module, std::string_view name, PyRef value) {
  PyRef all = PyRef::Steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Err(Error::Fetch());
    PyErr_Clear();
    all = NewList(0);
    if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) return Err(Error::Fetch());
  }
  PyRef name_text = NewStr(name);
  if (PyList_Append(all.get(), name_text.get()) != 0) {
    Error error = Error::Fetch();
    PyRef text = PyRef::Steal(PyObject_Str(error.value()));
    Py_ssize_t size = 0;
    const char* data = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (data == nullptr) PyErr_Clear();
    RaiseFault("could not append __name__ to __all__: " +
               (data != nullptr ? std::string(data, static_cast<std::size_t>(size))
                                : std::string("<unprintable error>")));
  }
  if (PyObject_SetAttr(module, name_text.get(), value.get()) != 0) return Err(Error::Fetch());
  return {};
}

PyResult<void> RegisterClass(PyObject* module, const ClassDef& def) {
  PyTypeObject*& cell = def.cell();
  if (cell == nullptr) {
    auto built = def.BuildTypeObject();
    if (!built.ok()) {
      Error error = Error::RuntimeError(std::string("An error occurred while initializing class ") +
                                        def.name());
      error.SetCause(PyRef::Borrow(built.error().value()));
      return Err(std::move(error));
    }
    // The cell keeps this reference for the rest of the process.
    cell = reinterpret_cast<PyTypeObject*>(std::move(built).value().Release());
  }
  return AddToModule(module, def.name(), PyRef::Borrow(reinterpret_cast<PyObject*>(cell)));
}

}  // namespace qiv::py
