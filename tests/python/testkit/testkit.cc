// Test-only module `_qiv_testkit`: two small classes built on the binding machinery exactly as
// the module's own classes are, so that pytest can check every entry kind, conversion, error
// rule and the borrow counter on every interpreter.
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "machinery/binding.h"

namespace testkit {

// A value record: every argument kind goes into one.
struct Sample {
  std::string name;
  std::vector<std::string> tags;
  std::optional<std::string> note;
  qiv::py::ByteString blob;
  bool operator==(const Sample&) const = default;
};

// A stateful object with the shared-borrow counter.
struct Gauge {
  std::string label;
  bool fault_on_release = false;
};

int g_gauges_wiped = 0;

}  // namespace testkit

namespace qiv::py {

template <>
struct ClassTraits<testkit::Sample> {
  static constexpr char kName[] = "Sample";
  static constexpr bool kSharedBorrow = false;
};

template <>
struct ClassTraits<testkit::Gauge> {
  static constexpr char kName[] = "Gauge";
  static constexpr bool kSharedBorrow = true;
  static void Wipe(testkit::Gauge& gauge) {
    ++testkit::g_gauges_wiped;
    if (gauge.fault_on_release) RaiseFault("fault while releasing a Gauge");
  }
};

}  // namespace qiv::py

namespace testkit {
namespace {

using qiv::Err;
using qiv::py::Bytes;
using qiv::py::ByteString;
using qiv::py::Class;
using qiv::py::ClassDef;
using qiv::py::Dict;
using qiv::py::Error;
using qiv::py::PyRef;
using qiv::py::PyResult;

// --- Sample ---

PyResult<Sample> NewSample(std::string_view name, std::vector<std::string> tags,
                           std::optional<std::string_view> note, Bytes blob) {
  if (name == "invalid") return Err(Error::ValueError("invalid sample name: " + std::string(name)));
  Sample sample{std::string(name), std::move(tags), std::nullopt, ByteString(blob.begin(), blob.end())};
  if (note) sample.note = std::string(*note);
  return sample;
}

Sample Make() { return Sample{"made", {}, std::nullopt, {}}; }

std::vector<Sample> Split(const Sample& self) {
  std::vector<Sample> parts;
  for (const std::string& tag : self.tags) parts.push_back(Sample{tag, {}, std::nullopt, {}});
  return parts;
}

Sample FromParts(std::string_view a, std::string_view b, std::string_view c) {
  return Sample{std::string(a) + "/" + std::string(b) + "/" + std::string(c), {}, std::nullopt, {}};
}

PyResult<Sample> FromDict(Dict d) {
  auto text = qiv::py::JsonDumps(d);
  if (!text.ok()) return Err(std::move(text).error());
  return Sample{*text, {}, std::nullopt, {}};
}

std::string Describe(const Sample& self) {
  return self.name + " with " + std::to_string(self.tags.size()) + " tags";
}

std::string Combine(const Sample& self, const Sample& other, std::string_view separator) {
  return self.name + std::string(separator) + other.name;
}

std::string Fault(const Sample& /*self*/, std::string_view message) {
  qiv::RaiseFault(std::string(message));
}

PyResult<PyRef> ToDict(const Sample& self) {
  return qiv::py::JsonLoads("{\"name\":\"" + self.name + "\"}");
}

PyResult<PyRef> AsDict(const Sample& self) {
  PyRef dict = qiv::py::NewDict();
  QIV_RETURN_IF_ERROR(qiv::py::SetItem(dict, "name", qiv::py::NewStr(self.name)));
  QIV_RETURN_IF_ERROR(qiv::py::SetItem(dict, "tags", qiv::py::NewStrList(self.tags)));
  return dict;
}

const std::string& Name(const Sample& self) { return self.name; }
const std::vector<std::string>& Tags(const Sample& self) { return self.tags; }
const std::optional<std::string>& Note(const Sample& self) { return self.note; }
const ByteString& Blob(const Sample& self) { return self.blob; }
std::size_t Size(const Sample& self) { return self.name.size(); }
double Ratio(const Sample& self) { return static_cast<double>(self.tags.size()) / 2; }
bool HasNote(const Sample& self) { return self.note.has_value(); }
const Sample& Clone(const Sample& self) { return self; }

std::string ReprSample(const Sample& self) {
  return "Sample(name=" + qiv::ReprQuoted(self.name) + ")";
}

std::int64_t HashSample(const Sample& self) {
  return self.name == "minus-one" ? -1 : static_cast<std::int64_t>(self.name.size());
}

bool SameName(const Sample& a, const Sample& b) { return a.name == b.name; }

const ClassDef& SampleClass() {
  static const Class<Sample> def =
      Class<Sample>("Sample(name, tags=..., note=None, blob=...)\n--\n\nA test record.")
          .Constructor<NewSample>({"name", "tags", "note", "blob"}, 1)
          .StaticMethod<Make>("make", "make()\n--\n\nA fixed sample.")
          .StaticMethod<FromParts>("from_parts", "from_parts(a, b, c)\n--\n\n", {"a", "b", "c"})
          .StaticMethod<FromDict>("from_dict", "from_dict(d)\n--\n\n", {"d"})
          .Method<Describe>("describe", "describe($self)\n--\n\nSays what it is.")
          .Method<Combine>("combine", "combine($self, other, separator=...)\n--\n\n",
                           {"other", "separator"}, 1)
          .Method<Fault>("fault", "fault($self, message)\n--\n\n", {"message"})
          .Method<ToDict>("to_dict", "to_dict($self)\n--\n\n")
          .Method<AsDict>("as_dict", "as_dict($self)\n--\n\n")
          .Method<Split>("split", "split($self)\n--\n\n")
          .Getter<Name>("name")
          .Getter<Tags>("tags")
          .Getter<Note>("note")
          .Getter<Blob>("blob")
          .Getter<Size>("size")
          .Getter<Ratio>("ratio")
          .Getter<HasNote>("has_note")
          .Getter<Clone>("clone")
          .Repr<ReprSample>()
          .Str<Describe>()
          .Hash<HashSample>()
          .Equality<SameName>();
  return def;
}

// --- Gauge ---

Gauge Open(std::string_view label) { return Gauge{std::string(label)}; }


PyResult<PyRef> Refuse(const Gauge& self, std::string_view why) {
  return Err(Error::ValueError(self.label + " refused: " + std::string(why)));
}

void Explode(const Gauge& /*self*/) { qiv::RaiseFault(""); }

// Calls back into Python (json.dumps) while the receiver is borrowed.
PyResult<std::string> Dump(const Gauge& /*self*/, Dict d) { return qiv::py::JsonDumps(d); }

void ArmReleaseFault(Gauge& self) { self.fault_on_release = true; }

std::string Label(const Gauge& self) { return self.label; }

std::string ReprGauge(const Gauge& self) {
  return "Gauge(label=" + qiv::ReprQuoted(self.label) + ")";
}

const ClassDef& GaugeClass() {
  static const Class<Gauge> def =
      Class<Gauge>("A test object with a shared-borrow counter.")
          .StaticMethod<Open>("open", "open(label)\n--\n\n", {"label"})
          .Method<Refuse>("refuse", "refuse($self, why)\n--\n\n", {"why"})
          .Method<Explode>("explode", "explode($self)\n--\n\n")
          .Method<Dump>("dump", "dump($self, d)\n--\n\n", {"d"})
          .Method<ArmReleaseFault>("arm_release_fault", "arm_release_fault($self)\n--\n\n")
          .Getter<Label>("label")
          .Repr<ReprGauge>();
  return def;
}

// --- module functions ---

// Reads a Gauge's counter without borrowing it (class instance arguments are read in place).
PyResult<PyRef> BorrowCount(PyObject* gauge) {
  if (!qiv::py::IsInstance<Gauge>(gauge)) return Err(qiv::py::CastError(gauge, "Gauge"));
  return qiv::py::NewInt(qiv::py::BorrowCount<Gauge>(gauge));
}

std::int64_t GaugesWiped() { return g_gauges_wiped; }

// A description whose type object cannot be built.
struct Broken {
  bool operator==(const Broken&) const = default;
};

}  // namespace
}  // namespace testkit

namespace qiv::py {
template <>
struct ClassTraits<testkit::Broken> {
  static constexpr char kName[] = "Broken";
  static constexpr bool kSharedBorrow = false;
};
}  // namespace qiv::py

namespace testkit {
namespace {

class BrokenClass : public qiv::py::Class<Broken> {
 public:
  BrokenClass() : Class<Broken>("never built") { AddSlot(12345, nullptr); }
};

PyResult<PyRef> RegisterBroken() {
  PyRef scratch = PyRef::Steal(PyModule_New("scratch"));
  if (!scratch) return Err(Error::Fetch());
  static const BrokenClass broken;
  auto registered = qiv::py::RegisterClass(scratch.get(), broken);
  if (!registered.ok()) return Err(std::move(registered).error());
  return qiv::py::NoneRef();
}

// Entry-free helpers exposed with plain PyCFunction signatures where the machinery has no
// argument kind for "any object".
PyObject* BorrowCountEntry(PyObject* /*module*/, PyObject* arg) {
  return qiv::py::RunEntry([arg] { return BorrowCount(arg); });
}

PyModuleDef g_def = {PyModuleDef_HEAD_INIT, "_qiv_testkit", "", 0, nullptr,
                     nullptr,               nullptr,        nullptr, nullptr};

PyResult<PyRef> Init() {
  PyRef module = PyRef::Steal(PyModule_Create2(&g_def, 3));
  if (!module) return Err(Error::Fetch());
  QIV_RETURN_IF_ERROR(qiv::py::RegisterClass(module.get(), SampleClass()));
  QIV_RETURN_IF_ERROR(qiv::py::RegisterClass(module.get(), GaugeClass()));
  static PyMethodDef functions[] = {
      qiv::py::FunctionDef<GaugesWiped>("gauges_wiped", "gauges_wiped()\n--\n\n", {}),
      qiv::py::FunctionDef<RegisterBroken>("register_broken", "register_broken()\n--\n\n", {}),
      {"borrow_count", BorrowCountEntry, METH_O, "borrow_count(gauge)\n--\n\n"},
  };
  for (PyMethodDef& function : functions) {
    PyRef object = PyRef::Steal(PyCFunction_NewEx(&function, module.get(), nullptr));
    if (!object) return Err(Error::Fetch());
    QIV_RETURN_IF_ERROR(qiv::py::AddToModule(module.get(), function.ml_name, std::move(object)));
  }
  return module;
}

}  // namespace
}  // namespace testkit

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__qiv_testkit() {
  return qiv::py::RunEntry([] { return testkit::Init(); });
}
