#include "qiv/primitives/fault.h"

#include <cstdio>
#include <utility>

namespace qiv {

Fault::Fault(std::string message, std::source_location where)
    : message_(std::move(message)), where_(where) {}

void RaiseFault(std::string message, std::source_location where) {
  // One fprintf call so that concurrent reports do not interleave within a line.
  std::fprintf(stderr, "qiv_protocol: internal fault at %s:%u: %s\n", where.file_name(),
               static_cast<unsigned>(where.line()), message.c_str());
  throw Fault(std::move(message), where);
}

}  // namespace qiv
