#include "machinery/entry.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace qiv::py {
namespace {

// The UTF-8 bytes of a keyword name. A name that does not encode (a lone surrogate) is taken
// with its surrogates as surrogate bytes, so that it matches no parameter yet is quoted in the
// message as given; `holder` keeps those bytes alive. A key that is no str at all (only a C
// caller or a partial's own keywords dict can pass one) is quoted by its str() and flagged in
// `is_text`, since it must match no parameter whatever that text is.
std::string_view KeywordBytes(PyObject* name, PyRef& holder, bool& is_text) {
  is_text = PyUnicode_Check(name);
  Py_ssize_t size = 0;
  const char* data = is_text ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
  if (data == nullptr) {
    PyErr_Clear();
    holder = PyRef::Steal(is_text ? PyUnicode_AsEncodedString(name, "utf-8", "surrogatepass")
                                  : PyObject_Str(name));
    char* bytes = nullptr;
    if (holder && PyBytes_Check(holder.get()) &&
        PyBytes_AsStringAndSize(holder.get(), &bytes, &size) == 0) {
      return std::string_view(bytes, static_cast<std::size_t>(size));
    }
    if (holder && PyUnicode_Check(holder.get()) &&
        (data = PyUnicode_AsUTF8AndSize(holder.get(), &size)) != nullptr) {
      return std::string_view(data, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    return "?";
  }
  return std::string_view(data, static_cast<std::size_t>(size));
}

// `first_non_text`: index of the first keyword whose key is no str (keywords.size() if none).
PyResult<void> Place(const ParamSpec& spec, std::size_t positional,
                     std::span<const std::string_view> keywords, std::size_t first_non_text,
                     std::span<PyObject* const> given, std::span<PyObject*> values) {
  int slots_buffer[8];
  std::vector<int> slots_heap;
  std::span<int> slots(slots_buffer, spec.names.size());
  if (spec.names.size() > std::size(slots_buffer)) {
    slots_heap.resize(spec.names.size());
    slots = slots_heap;
  }
  if (first_non_text < keywords.size() && positional <= spec.names.size()) {
    // Keywords are taken in order, so what comes before the odd key is checked first (without
    // the missing-parameter check, which would only follow the keywords); then the odd key
    // itself is unexpected. Too many positional arguments are reported before any keyword,
    // by the plain match below.
    ParamSpec before = spec;
    before.required = 0;
    if (auto problem = MatchArguments(before, positional, keywords.first(first_non_text), slots)) {
      return Err(Error::TypeError(*problem));
    }
    return Err(Error::TypeError(spec.full_name + " got an unexpected keyword argument '" +
                                std::string(keywords[first_non_text]) + "'"));
  }
  if (auto problem = MatchArguments(spec, positional, keywords, slots)) {
    return Err(Error::TypeError(*problem));
  }
  for (std::size_t i = 0; i < values.size(); ++i) {
    values[i] = slots[i] == kAbsent ? nullptr : given[static_cast<std::size_t>(slots[i])];
  }
  return {};
}

}  // namespace

PyResult<void> MatchFastcall(const ParamSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames, std::span<PyObject*> values) {
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
  std::vector<PyRef> holders(static_cast<std::size_t>(nkw));
  std::vector<std::string_view> keywords(static_cast<std::size_t>(nkw));
  std::size_t first_non_text = keywords.size();
  for (std::size_t k = 0; k < keywords.size(); ++k) {
    bool is_text = true;
    keywords[k] = KeywordBytes(PyTuple_GetItem(kwnames, static_cast<Py_ssize_t>(k)),
                               holders[k], is_text);
    if (!is_text && first_non_text == keywords.size()) first_non_text = k;
  }
  return Place(spec, static_cast<std::size_t>(nargs), keywords, first_non_text,
               std::span(args, static_cast<std::size_t>(nargs + nkw)), values);
}

PyResult<void> MatchTupleDict(const ParamSpec& spec, PyObject* args, PyObject* kwargs,
                              std::span<PyObject*> values, std::vector<PyRef>& keep) {
  const Py_ssize_t npos = PyTuple_Size(args);
  if (npos < 0) return Err(Error::Fetch());
  std::vector<PyObject*> given;
  std::vector<PyRef> holders;
  std::vector<std::string_view> keywords;
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::size_t first_non_text = kNone;
  given.reserve(static_cast<std::size_t>(npos));
  for (Py_ssize_t i = 0; i < npos; ++i) given.push_back(PyTuple_GetItem(args, i));
  if (kwargs != nullptr) {
    const Py_ssize_t nkw = PyDict_Size(kwargs);
    holders.resize(static_cast<std::size_t>(nkw));
    keep.reserve(static_cast<std::size_t>(nkw));
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    for (std::size_t k = 0; k < holders.size() && PyDict_Next(kwargs, &pos, &key, &value); ++k) {
      bool is_text = true;
      keywords.push_back(KeywordBytes(key, holders[k], is_text));
      if (!is_text && first_non_text == kNone) first_non_text = k;
      keep.push_back(PyRef::Borrow(value));
      given.push_back(value);
    }
  }
  if (first_non_text == kNone) first_non_text = keywords.size();
  return Place(spec, static_cast<std::size_t>(npos), keywords, first_non_text, given, values);
}

void AbortOnAllocationFailure() noexcept {
  std::fputs("qiv_protocol: memory allocation failed\n", stderr);
  std::fflush(stderr);
  std::abort();
}

void ReportUnraisableFault(std::string_view message) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  RaisePanicException(message);
  PyErr_WriteUnraisable(nullptr);  // no object named as the context
  PyErr_Restore(type, value, traceback);
}

}  // namespace qiv::py
