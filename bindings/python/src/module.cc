// The module's entry point and initialiser.
//
// The module is created once per process, in the first interpreter that imports it; later
// imports there (also after removal from sys.modules) get the same object back, imports from
// any other interpreter fail. Its type objects are built during that first import and kept.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "machinery/class_def.h"
#include "machinery/convert.h"
#include "machinery/entry.h"
#include "machinery/error.h"
#include "machinery/interpreter_lock.h"
#include "machinery/py_ref.h"
#include "module_members.h"

namespace qiv::py {
namespace {

constexpr char kVersion[] = "0.1.0";

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "qiv_protocol",  // m_name
    "",              // m_doc: the module's __doc__ is the empty string
    0,               // m_size: no per-module state (the state is process-wide)
    nullptr,         // m_methods: classify_exchange is added by the initialiser
    nullptr,         // m_slots
    nullptr,         // m_traverse
    nullptr,         // m_clear
    nullptr,         // m_free
};

// Id of the interpreter that first ran the entry point; -1 until one has. Never reset.
std::atomic<std::int64_t> g_owner{-1};

// Module cell: the module once created and initialised; never emptied.
std::mutex g_module_mu;
std::atomic<PyObject*> g_module{nullptr};  // written once, under g_module_mu

using ClassGetter = const ClassDef& (*)();

#define QIV_LIST_CLASS(Name) &Name##Class,
constexpr ClassGetter kClasses[] = {QIV_PROTOCOL_CLASSES(QIV_LIST_CLASS) nullptr};
#undef QIV_LIST_CLASS

PyResult<void> Initialise(PyObject* module) {
  QIV_RETURN_IF_ERROR(AddToModule(module, "__version__", NewStr(kVersion)));
  for (ClassGetter get : kClasses) {
    if (get == nullptr) break;
    QIV_RETURN_IF_ERROR(RegisterClass(module, get()));
  }
  PyRef module_name = PyRef::Steal(PyModule_GetNameObject(module));
  if (!module_name) return Err(Error::Fetch());
  PyRef function =
      PyRef::Steal(PyCFunction_NewEx(ClassifyExchangeMethod(), module, module_name.get()));
  if (!function) return Err(Error::Fetch());
  PyRef function_name = PyRef::Steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!function_name) return Err(Error::Fetch());
  auto name = TextFromPython(function_name.get());
  if (!name.ok()) return Err(std::move(name).error());
  return AddToModule(module, *name, std::move(function));
}

PyResult<PyRef> CreateModule() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1) return Err(Error::Fetch());
  std::int64_t owner = -1;
  if (!g_owner.compare_exchange_strong(owner, id) && owner != id) {
    return Err(Error::New(PyExc_ImportError,
                          "qiv_protocol does not support subinterpreters: it can be imported "
                          "in only one interpreter per process"));
  }

  if (PyObject* cached = g_module.load()) return PyRef::Borrow(cached);
  std::unique_lock<std::mutex> lock(g_module_mu, std::defer_lock);
  // A thread that imports while another is creating the module waits here without the
  // interpreter lock, so the creating thread can finish.
  LockWithoutInterpreterLock(lock);
  if (PyObject* cached = g_module.load()) return PyRef::Borrow(cached);

  PyRef module = PyRef::Steal(PyModule_Create2(&g_module_def, 3));
  if (!module) return Err(Error::Fetch());
  QIV_RETURN_IF_ERROR(Initialise(module.get()));
  g_module.store(module.NewReference());  // the cell's own reference, never released
  return module;
}

}  // namespace
}  // namespace qiv::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_qiv_protocol() {
  return qiv::py::RunEntry([] { return qiv::py::CreateModule(); });
}
