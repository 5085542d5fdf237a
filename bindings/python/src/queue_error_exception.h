// The Python exceptions of the envelope spill queue's failures, and the display form of paths.
//
//   auto listed = RunBlocking([&] { return queue.List(); });
//   if (!listed.ok()) return Err(QueueErrorToException(listed.error()));
//
// A file-system failure becomes a plain OSError("queue I/O error at <path>: <error>"): made
// with the message as its only argument, so errno, strerror and filename are None and no
// subclass such as FileNotFoundError is chosen; its message names the path already. A JSON
// failure becomes ValueError("queue JSON error: <error>") with the note "queue item file:
// <path>" (PEP 678: add_note(), or a `__notes__` list on 3.10) when an item file did not
// parse, the path in display form. A push refused for an id without a usable character
// becomes ValueError with the error's own text ("queue id \"\" has no character usable in a
// file name: ...").
//
// Requires the interpreter lock (building the exception). PathDisplay is pure.
#ifndef QIV_BINDING_QUEUE_ERROR_EXCEPTION_H_
#define QIV_BINDING_QUEUE_ERROR_EXCEPTION_H_

#include <string>
#include <string_view>

#include "machinery/error.h"
#include "qiv/signed_envelope/queue_error.h"

namespace qiv::py {

// A path's bytes as UTF-8 text, each invalid sequence (the longest start of a valid character
// that is not followed through, or a lone byte) replaced by U+FFFD.
std::string PathDisplay(std::string_view path);

// queue_error_to_exception.
Error QueueErrorToException(const envelope::QueueError& error);

}  // namespace qiv::py

#endif  // QIV_BINDING_QUEUE_ERROR_EXCEPTION_H_
