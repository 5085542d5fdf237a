#include "queue_error_exception.h"

#include <cstddef>
#include <string>
#include <utility>

namespace qiv::py {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// How many bytes from `pos` form a valid character (its length) or, when they do not, the
// longest start of one that is still well-formed (at least 1); `valid` tells which.
std::size_t ScanUtf8(std::string_view text, std::size_t pos, bool* valid) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  *valid = true;
  if (lead < 0x80) return 1;
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    *valid = false;
    return 1;
  }
  for (std::size_t i = 1; i < length; ++i) {
    const bool in_range = pos + i < text.size() && byte(pos + i) >= (i == 1 ? low : 0x80) &&
                          byte(pos + i) <= (i == 1 ? high : 0xBF);
    if (!in_range) {
      *valid = false;
      return i;
    }
  }
  return length;
}

// Attaches `note` to the exception `exc` as PEP 678 does: through add_note() where the
// interpreter has it (3.11 and later); before that, as the `__notes__` list holding the note
// that add_note() would have made, so that callers read it the same way everywhere.
PyResult<void> AddNote(PyObject* exc, std::string_view note) {
  PyRef text = PyRef::Steal(
      PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
  if (!text) return Err(Error::Fetch());
  if (PyObject_HasAttrString(exc, "add_note")) {
    PyRef added = PyRef::Steal(PyObject_CallMethod(exc, "add_note", "O", text.get()));
    if (!added) return Err(Error::Fetch());
    return {};
  }
  PyRef notes = PyRef::Steal(PyList_New(1));
  if (!notes) return Err(Error::Fetch());
  PyList_SetItem(notes.get(), 0, text.Release());  // steals the reference, cannot fail here
  if (PyObject_SetAttrString(exc, "__notes__", notes.get()) != 0) return Err(Error::Fetch());
  return {};
}

}  // namespace

std::string PathDisplay(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (std::size_t pos = 0; pos < path.size();) {
    bool valid;
    const std::size_t n = ScanUtf8(path, pos, &valid);
    if (valid) {
      out.append(path.substr(pos, n));
    } else {
      out.append(kReplacement);
    }
    pos += n;
  }
  return out;
}

Error QueueErrorToException(const envelope::QueueError& error) {
  using Kind = envelope::QueueError::Kind;
  switch (error.kind()) {
    case Kind::kIo:
      return Error::OSError("queue I/O error at " + PathDisplay(error.path()) + ": " +
                            error.io_error().ToString());
    case Kind::kUnusableId:
      return Error::ValueError(error.ErrorText());
    case Kind::kJson:
      break;
  }
  Error exception = Error::ValueError("queue JSON error: " + error.json_message());
  // The reader's message says what is wrong but not where: the note names the file to mend
  // or remove, and a traceback prints it below the message.
  if (error.path().empty() || !exception.IsExactly(PyExc_ValueError)) return exception;
  auto noted = AddNote(exception.value(), "queue item file: " + PathDisplay(error.path()));
  if (!noted.ok()) return std::move(noted).error();
  return exception;
}

}  // namespace qiv::py
