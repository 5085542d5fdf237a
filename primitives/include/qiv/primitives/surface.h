// Surface: where an identity's key lives, from plain process memory up to a threshold scheme.
//
// The values are ordered by assurance: the tier of a surface is its value (0 to 4), and a key
// counts as hardware-attested from kSecureElement on. The lower-case name is the only text
// form of a surface (JSON, Python getters); names are case-sensitive.
//
//   qiv::SurfaceName(qiv::Surface::kOsKeychain);           // "os_keychain"
//   qiv::SurfaceTier(qiv::Surface::kThreshold);            // 4
//   qiv::IsHardwareAttested(qiv::Surface::kSecureElement); // true
//
// Plain constants and pure functions; thread-safe.
#ifndef QIV_PRIMITIVES_SURFACE_H_
#define QIV_PRIMITIVES_SURFACE_H_

#include <array>
#include <cstdint>
#include <string_view>

#include "qiv/primitives/json_record.h"

namespace qiv {

enum class Surface : std::uint8_t {
  kSoftware = 0,
  kOsKeychain = 1,
  kSecureElement = 2,
  kExternalHardware = 3,
  kThreshold = 4,
};

// The names in value order.
inline constexpr std::array<std::string_view, 5> kSurfaceNames = {
    "software", "os_keychain", "secure_element", "external_hardware", "threshold"};

constexpr std::string_view SurfaceName(Surface surface) {
  return kSurfaceNames[static_cast<std::size_t>(surface)];
}

constexpr int SurfaceTier(Surface surface) { return static_cast<int>(surface); }

constexpr bool IsHardwareAttested(Surface surface) { return surface >= Surface::kSecureElement; }

namespace json {
// Written as the name in a JSON string; read as that string or as {"<name>":null}.
template <>
struct EnumTraits<Surface> {
  static constexpr const std::array<std::string_view, 5>& kNames = kSurfaceNames;
};
}  // namespace json

}  // namespace qiv

#endif  // QIV_PRIMITIVES_SURFACE_H_
