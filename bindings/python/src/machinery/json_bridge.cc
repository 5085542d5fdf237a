#include "machinery/json_bridge.h"

#include <utility>

namespace qiv::py {
namespace {

PyResult<PyRef> JsonFunction(const char* name) {
  PyRef json = PyRef::Steal(PyImport_ImportModule("json"));
  if (!json) return Err(Error::Fetch());
  PyRef function = PyRef::Steal(PyObject_GetAttrString(json.get(), name));
  if (!function) return Err(Error::Fetch());
  return function;
}

}  // namespace

PyResult<PyRef> JsonLoads(std::string_view text) {
  PyRef text_object = NewStr(text);
  auto loads = JsonFunction("loads");
  if (!loads.ok()) return Err(std::move(loads).error());
  PyRef result =
      PyRef::Steal(PyObject_CallFunctionObjArgs(loads->get(), text_object.get(), nullptr));
  if (!result) return Err(Error::Fetch());
  return result;
}

PyResult<std::string> JsonDumps(Dict d) {
  auto dumps = JsonFunction("dumps");
  if (!dumps.ok()) return Err(std::move(dumps).error());
  PyRef result = PyRef::Steal(PyObject_CallFunctionObjArgs(dumps->get(), d.get(), nullptr));
  if (!result) return Err(Error::Fetch());
  auto text = TextFromPython(result.get());
  if (!text.ok()) return Err(std::move(text).error());
  return std::string(*text);
}

}  // namespace qiv::py
