// Hexadecimal text of bytes: two lowercase digits per byte, high half first.
//
//   qiv::HexEncode(bytes);              // {0x0a, 0xff} -> "0aff"
//   qiv::AppendHex(out, std::span(digest).first(16));
//
// Pure functions; thread-safe.
#ifndef QIV_PRIMITIVES_HEX_H_
#define QIV_PRIMITIVES_HEX_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace qiv {

std::string HexEncode(std::span<const std::uint8_t> bytes);
void AppendHex(std::string& out, std::span<const std::uint8_t> bytes);

}  // namespace qiv

#endif  // QIV_PRIMITIVES_HEX_H_
