#include "qiv/primitives/json_error.h"

#include <cstring>

namespace qiv {

JsonError JsonError::AtOffset(std::string message, std::span<const std::uint8_t> input,
                              std::size_t offset) {
  if (offset > input.size()) offset = input.size();
  // Errors are rare, so the line is counted here rather than tracked while reading.
  std::size_t line = 1;
  std::size_t line_start = 0;
  const std::uint8_t* base = input.data();
  const std::uint8_t* p = base;
  const std::uint8_t* end = base + offset;
  while (p < end) {
    const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
    if (nl == nullptr) break;
    ++line;
    p = static_cast<const std::uint8_t*>(nl) + 1;
    line_start = static_cast<std::size_t>(p - base);
  }
  return JsonError(std::move(message), line, offset - line_start);
}

std::string JsonError::ToString() const {
  if (line_ == 0) return message_;
  std::string out = message_;
  out += " at line ";
  out += std::to_string(line_);
  out += " column ";
  out += std::to_string(column_);
  return out;
}

}  // namespace qiv
