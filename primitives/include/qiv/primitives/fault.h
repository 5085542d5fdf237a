// Fault: a broken internal invariant or an unrecoverable failure inside an operation.
//
// It is the only C++ exception the project throws. It ends the operation, unwinds whatever
// the operation holds, and is caught in exactly one place: the binding's entry shim, which
// raises it in Python as the fault exception. A report naming the message and the source
// position is written to standard error at the moment the fault is raised.
//
//   if (status != 0) qiv::RaiseFault("signature operation failed");
//
// Thread-safe: raising a fault touches only the calling thread's state and standard error.
#ifndef QIV_PRIMITIVES_FAULT_H_
#define QIV_PRIMITIVES_FAULT_H_

#include <exception>
#include <source_location>
#include <string>

namespace qiv {

class Fault : public std::exception {
 public:
  Fault(std::string message, std::source_location where);

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const { return message_; }
  const std::source_location& where() const { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

// Writes the fault report to standard error, then throws Fault.
[[noreturn]] void RaiseFault(std::string message,
                             std::source_location where = std::source_location::current());

}  // namespace qiv

#endif  // QIV_PRIMITIVES_FAULT_H_
