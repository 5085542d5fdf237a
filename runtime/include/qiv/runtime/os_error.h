// Text forms of operating-system error numbers.
//
// OsErrorText gives the short form used in error messages, the system's own wording followed
// by the number: "No such file or directory (os error 2)". OsErrorDebug gives the structured
// form used in the runtime's build fault:
// Os { code: 24, kind: Uncategorized, message: "Too many open files" }.
//
//   std::string text = qiv::runtime::OsErrorText(ENOENT);
//
// Pure functions; thread-safe.
#ifndef QIV_RUNTIME_OS_ERROR_H_
#define QIV_RUNTIME_OS_ERROR_H_

#include <string>
#include <string_view>

namespace qiv::runtime {

// The system's message for `code` (strerror wording).
std::string OsErrorMessage(int code);

// "<system message> (os error <code>)".
std::string OsErrorText(int code);

// The category name of `code`: NotFound, PermissionDenied, OutOfMemory, WouldBlock... and
// Uncategorized for numbers without a category of their own.
std::string_view OsErrorKindName(int code);

// "Os { code: <code>, kind: <kind>, message: \"<system message>\" }".
std::string OsErrorDebug(int code);

}  // namespace qiv::runtime

#endif  // QIV_RUNTIME_OS_ERROR_H_
