#include "queue_error_exception.h"

#include <cstddef>

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
  return Error::ValueError("queue JSON error: " + error.json_message());
}

}  // namespace qiv::py
