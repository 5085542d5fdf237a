// AnchorKind: which kind of outside witness an anchor is.
//
// The name of a kind is its JSON form and the text Python sees. `kLocal` is the in-memory
// anchor's kind and the only one any operation of this library produces; the others are
// carried through reading and writing unchanged.
//
//   qiv::AnchorKindName(qiv::AnchorKind::kNistTsa);   // "nist_tsa"
//   qiv::AnchorKindFromName("local");                 // AnchorKind::kLocal
//   qiv::AnchorKindFromName("Local");                 // std::nullopt: names match exactly
//
// In JSON a kind is its name as a string; a reader also takes {"<name>": null}.
//
// Pure values and functions; thread-safe.
#ifndef QIV_PRIMITIVES_ANCHOR_KIND_H_
#define QIV_PRIMITIVES_ANCHOR_KIND_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "qiv/primitives/json_record.h"

namespace qiv {

// Declaration order is significant: it is the order of kAnchorKindNames and of the list in
// the JSON reader's "unknown variant" message.
enum class AnchorKind : std::uint8_t {
  kOpenTimestamps = 0,
  kEthereum = 1,
  kSolana = 2,
  kNistTsa = 3,
  kHandshake = 4,
  kLocal = 5,
};

// The names of the kinds, indexed by the kind's value.
inline constexpr std::array<std::string_view, 6> kAnchorKindNames = {
    "open_timestamps", "ethereum", "solana", "nist_tsa", "handshake", "local",
};

constexpr std::string_view AnchorKindName(AnchorKind kind) {
  return kAnchorKindNames[static_cast<std::size_t>(kind)];
}

// The kind whose name is exactly `name` (byte for byte, so letter case counts), if any.
constexpr std::optional<AnchorKind> AnchorKindFromName(std::string_view name) {
  for (std::size_t i = 0; i < kAnchorKindNames.size(); ++i) {
    if (kAnchorKindNames[i] == name) return static_cast<AnchorKind>(i);
  }
  return std::nullopt;
}

namespace json {
// Written as the name in a JSON string; read as that string or as {"<name>":null}.
template <>
struct EnumTraits<AnchorKind> {
  static constexpr const std::array<std::string_view, 6>& kNames = kAnchorKindNames;
};
}  // namespace json

}  // namespace qiv

#endif  // QIV_PRIMITIVES_ANCHOR_KIND_H_
