#include "qiv/primitives/hex.h"

namespace qiv {

void AppendHex(std::string& out, std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const std::size_t start = out.size();
  out.resize(start + 2 * bytes.size());
  char* dst = out.data() + start;
  for (std::uint8_t byte : bytes) {
    *dst++ = kDigits[byte >> 4];
    *dst++ = kDigits[byte & 0x0f];
  }
}

std::string HexEncode(std::span<const std::uint8_t> bytes) {
  std::string out;
  AppendHex(out, bytes);
  return out;
}

}  // namespace qiv
