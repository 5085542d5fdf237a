// Base64 with the standard alphabet (A-Z a-z 0-9 + /) and without padding.
//
// Encoding writes no "=" at all. Decoding is strict, since it reads public key texts whose
// exact form peers compare: only alphabet characters (no "=", no white space, no URL-safe
// "-" or "_"), no final group of a single character, and the bits of the last character that
// fall outside the output must be zero. Every byte string therefore has exactly one text.
//
//   std::string text = qiv::Base64Encode(key);          // 43 characters for 32 bytes
//   std::optional<std::vector<std::uint8_t>> bytes = qiv::Base64Decode(text);
//   if (!bytes) { /* not unpadded standard base64 */ }
//
// Pure functions; thread-safe.
#ifndef QIV_PRIMITIVES_BASE64_H_
#define QIV_PRIMITIVES_BASE64_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qiv {

std::string Base64Encode(std::span<const std::uint8_t> bytes);

// Returns nullopt for any text that is not the unpadded standard encoding of some bytes.
// The empty text decodes to no bytes.
std::optional<std::vector<std::uint8_t>> Base64Decode(std::string_view text);

// Decodes `text` into exactly `out.size()` bytes without allocating; false when the text is
// not strict unpadded base64 or decodes to another length. `out` is unspecified on failure.
bool Base64DecodeExact(std::string_view text, std::span<std::uint8_t> out);

}  // namespace qiv

#endif  // QIV_PRIMITIVES_BASE64_H_
