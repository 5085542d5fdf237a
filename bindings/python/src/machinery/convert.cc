#include "machinery/convert.h"

#include <algorithm>
#include <string>
#include <utility>

namespace qiv::py {
namespace {

constexpr std::size_t kMaxReservedItems = 1024;

// collections.abc.Sequence, imported the first time a sequence check fails and kept.
PyObject* g_sequence_abc = nullptr;

PyResult<PyRef> SequenceQualname() {
  if (g_sequence_abc == nullptr) {
    PyRef abc = PyRef::Steal(PyImport_ImportModule("collections.abc"));
    if (!abc) return Err(Error::Fetch());
    PyRef sequence = PyRef::Steal(PyObject_GetAttrString(abc.get(), "Sequence"));
    if (!sequence) return Err(Error::Fetch());
    g_sequence_abc = sequence.Release();
  }
  PyRef qualname = PyRef::Steal(PyObject_GetAttrString(g_sequence_abc, "__qualname__"));
  if (!qualname) return Err(Error::Fetch());
  return qualname;
}

}  // namespace

PyResult<std::string_view> TextFromPython(PyObject* obj) {
  if (!PyUnicode_Check(obj)) return Err(CastError(obj, "str"));
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return Err(Error::Fetch());  // lone surrogate: UnicodeEncodeError
  return std::string_view(data, static_cast<std::size_t>(size));
}

PyResult<Bytes> BytesFromPython(PyObject* obj) {
  if (!PyBytes_Check(obj)) return Err(CastError(obj, "bytes"));
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(obj, &data, &size) != 0) return Err(Error::Fetch());
  return Bytes(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
}

PyResult<Dict> DictFromPython(PyObject* obj) {
  if (!PyDict_Check(obj)) return Err(CastError(obj, "dict"));
  return Dict(obj);
}

PyResult<std::vector<std::string>> TextSequenceFromPython(PyObject* obj) {
  if (PyUnicode_Check(obj)) return Err(Error::TypeError("Can't extract `str` to `Vec`"));
  if (!PySequence_Check(obj)) {
    auto qualname = SequenceQualname();
    if (!qualname.ok()) return Err(std::move(qualname).error());
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(qualname->get(), &size);
    if (name == nullptr) return Err(Error::Fetch());
    return Err(CastError(obj, std::string_view(name, static_cast<std::size_t>(size))));
  }
  // The length is only a capacity hint: a failing __len__ is ignored (though a fault raised
  // in it is taken over like any other, by Fetch), and a claimed length sizes at most
  // kMaxReservedItems up front, so that an object reporting a huge length cannot make the
  // reservation itself exhaust memory; the list grows with what iteration really yields.
  std::vector<std::string> items;
  Py_ssize_t length = PySequence_Size(obj);
  if (length < 0) {
    static_cast<void>(Error::Fetch());
  } else {
    items.reserve(std::min(static_cast<std::size_t>(length), kMaxReservedItems));
  }
  PyRef iterator = PyRef::Steal(PyObject_GetIter(obj));
  if (!iterator) return Err(Error::Fetch());
  while (PyRef item = PyRef::Steal(PyIter_Next(iterator.get()))) {
    auto text = TextFromPython(item.get());
    if (!text.ok()) return Err(std::move(text).error());
    items.emplace_back(*text);
  }
  if (PyErr_Occurred()) return Err(Error::Fetch());
  return items;
}

PyRef NewStr(std::string_view text) {
  PyRef obj = PyRef::Steal(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!obj) FailedPythonApiCall();
  return obj;
}

PyRef NewBytes(Bytes bytes) {
  PyRef obj = PyRef::Steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                                     static_cast<Py_ssize_t>(bytes.size())));
  if (!obj) FailedPythonApiCall();
  return obj;
}

PyRef NewInt(long long value) {
  PyRef obj = PyRef::Steal(PyLong_FromLongLong(value));
  if (!obj) FailedPythonApiCall();
  return obj;
}

PyRef NewUnsignedInt(unsigned long long value) {
  PyRef obj = PyRef::Steal(PyLong_FromUnsignedLongLong(value));
  if (!obj) FailedPythonApiCall();
  return obj;
}

PyRef NewFloat(double value) {
  PyRef obj = PyRef::Steal(PyFloat_FromDouble(value));
  if (!obj) FailedPythonApiCall();
  return obj;
}

PyRef NewList(Py_ssize_t size) {
  PyRef obj = PyRef::Steal(PyList_New(size));
  if (!obj) FailedPythonApiCall();
  return obj;
}

PyRef NewStrList(const std::vector<std::string>& items) {
  PyRef list = NewList(static_cast<Py_ssize_t>(items.size()));
  for (std::size_t i = 0; i < items.size(); ++i) {
    // PyList_SetItem steals the item and cannot fail for an index inside a new list.
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), NewStr(items[i]).Release());
  }
  return list;
}

PyRef NewDict() {
  PyRef obj = PyRef::Steal(PyDict_New());
  if (!obj) FailedPythonApiCall();
  return obj;
}

PyResult<void> SetItem(const PyRef& dict, const char* key, PyRef value) {
  if (PyDict_SetItemString(dict.get(), key, value.get()) != 0) return Err(Error::Fetch());
  return {};
}

}  // namespace qiv::py
