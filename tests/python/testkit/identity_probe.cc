// Test-only module `_qiv_identity_probe`: the SoftwareIdentity value under the shipped class
// traits and the shipped release path, with a free slot that snapshots the object's storage
// just before it goes back to the interpreter, so that a test can check what release left
// behind. A second type whose allocation always fails drives the discard path of creation.
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "machinery/binding.h"
#include "software_identity_class.h"

namespace probe {
namespace {

using qiv::Err;
using qiv::SoftwareIdentity;
using qiv::py::Bytes;
using qiv::py::Class;
using qiv::py::Error;
using qiv::py::InstanceOf;
using qiv::py::PyRef;
using qiv::py::PyResult;

constexpr std::size_t kObjectSize = sizeof(InstanceOf<SoftwareIdentity>);

std::vector<std::uint8_t> g_released;  // storage of the last object released

void SnapshotAndFree(void* object) {
  const auto* bytes = static_cast<const std::uint8_t*>(object);
  g_released.assign(bytes, bytes + kObjectSize);
  PyObject_Free(object);
}

PyResult<SoftwareIdentity> FromSeed(Bytes seed) {
  if (seed.size() != SoftwareIdentity::kSeedSize) return Err(Error::ValueError("need 32 bytes"));
  return SoftwareIdentity::FromSeed(seed.first<SoftwareIdentity::kSeedSize>());
}

class ProbeClass : public Class<SoftwareIdentity> {
 public:
  ProbeClass() : Class<SoftwareIdentity>("SoftwareIdentity with a snapshotting free slot.") {
    AddSlot(Py_tp_free, reinterpret_cast<void*>(&SnapshotAndFree));
    // The builder works in place and hands back this same description.
    std::move(*this).StaticMethod<FromSeed>("from_seed", "from_seed(seed)\n--\n\n", {"seed"});
  }
};

const ProbeClass& Probe() {
  static const ProbeClass def;
  return def;
}

// A type whose allocation fails with MemoryError.
PyObject* FailingAlloc(PyTypeObject* /*type*/, Py_ssize_t /*items*/) {
  PyErr_NoMemory();
  return nullptr;
}

PyTypeObject* g_failing_type = nullptr;

PyResult<PyRef> FromSeedIntoFailingType(Bytes seed) {
  auto identity = FromSeed(seed);
  if (!identity.ok()) return Err(std::move(identity).error());
  return qiv::py::NewInstance<SoftwareIdentity>(g_failing_type, *std::move(identity));
}

PyObject* StorageEntry(PyObject* /*module*/, PyObject* arg) {
  return qiv::py::RunEntry([arg]() -> PyResult<PyRef> {
    if (!qiv::py::IsInstance<SoftwareIdentity>(arg)) {
      return Err(qiv::py::CastError(arg, "SoftwareIdentity"));
    }
    return qiv::py::NewBytes(Bytes(reinterpret_cast<const std::uint8_t*>(arg), kObjectSize));
  });
}

PyRef Released() { return qiv::py::NewBytes(g_released); }

PyModuleDef g_def = {PyModuleDef_HEAD_INIT, "_qiv_identity_probe", "", 0, nullptr,
                     nullptr,                 nullptr,               nullptr, nullptr};

PyResult<PyRef> Init() {
  PyRef module = PyRef::Steal(PyModule_Create2(&g_def, 3));
  if (!module) return Err(Error::Fetch());
  QIV_RETURN_IF_ERROR(qiv::py::RegisterClass(module.get(), Probe()));

  static PyType_Slot failing_slots[] = {{Py_tp_alloc, reinterpret_cast<void*>(&FailingAlloc)},
                                        {0, nullptr}};
  static PyType_Spec failing_spec = {"_qiv_identity_probe.Unallocatable",
                                     static_cast<int>(kObjectSize), 0, Py_TPFLAGS_DEFAULT,
                                     failing_slots};
  g_failing_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&failing_spec));
  if (g_failing_type == nullptr) return Err(Error::Fetch());

  static PyMethodDef functions[] = {
      qiv::py::FunctionDef<Released>("released_storage", "released_storage()\n--\n\n", {}),
      qiv::py::FunctionDef<FromSeedIntoFailingType>(
          "from_seed_into_failing_type", "from_seed_into_failing_type(seed)\n--\n\n", {"seed"}),
      {"storage", StorageEntry, METH_O, "storage(identity)\n--\n\n"},
  };
  for (PyMethodDef& function : functions) {
    PyRef object = PyRef::Steal(PyCFunction_NewEx(&function, module.get(), nullptr));
    if (!object) return Err(Error::Fetch());
    QIV_RETURN_IF_ERROR(qiv::py::AddToModule(module.get(), function.ml_name, std::move(object)));
  }
  return module;
}

}  // namespace
}  // namespace probe

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__qiv_identity_probe() {
  return qiv::py::RunEntry([] { return probe::Init(); });
}
