// Placeholder entry point so the skeleton builds; replaced by the real module initialisation.
#include <Python.h>

static PyModuleDef kModuleDef = {PyModuleDef_HEAD_INIT, "qiv_protocol", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_qiv_protocol() {
  return PyModule_Create2(&kModuleDef, 3);
}
