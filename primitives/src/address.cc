#include "qiv/primitives/address.h"

#include "qiv/primitives/siphash.h"

namespace qiv {

std::string_view AddressClassName(AddressClass address_class) {
  return kAddressClassNames[static_cast<std::size_t>(address_class)];
}

std::optional<AddressClass> AddressClassFromName(std::string_view name) {
  for (std::size_t i = 0; i < kAddressClassNames.size(); ++i) {
    if (kAddressClassNames[i] == name) return static_cast<AddressClass>(i);
  }
  return std::nullopt;
}

ProtocolAddress ProtocolAddress::New(AddressClass address_class, std::string_view type,
                                     std::string_view ref) {
  ProtocolAddress a;
  a.class_ = address_class;
  a.type_.assign(type);
  a.ref_.assign(ref);
  return a;
}

std::optional<ProtocolAddress> ProtocolAddress::Parse(std::string_view uri) {
  constexpr std::string_view kScheme = "tvq://";
  if (!uri.starts_with(kScheme)) return std::nullopt;
  std::string_view rest = uri.substr(kScheme.size());
  std::size_t first = rest.find('/');
  if (first == std::string_view::npos) return std::nullopt;
  std::size_t second = rest.find('/', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  std::optional<AddressClass> address_class = AddressClassFromName(rest.substr(0, first));
  if (!address_class) return std::nullopt;
  return New(*address_class, rest.substr(first + 1, second - first - 1), rest.substr(second + 1));
}

std::string ProtocolAddress::ToUri() const {
  std::string_view name = AddressClassName(class_);
  std::string out;
  out.reserve(6 + name.size() + 2 + type_.size() + ref_.size());
  out.append("tvq://").append(name).append("/").append(type_).append("/").append(ref_);
  return out;
}

std::vector<std::uint8_t> ProtocolAddress::HashInput() const {
  std::vector<std::uint8_t> out;
  out.reserve(8 + type_.size() + 1 + ref_.size() + 1);
  std::uint64_t value = static_cast<std::uint64_t>(class_);
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  out.insert(out.end(), type_.begin(), type_.end());
  out.push_back(0xFF);
  out.insert(out.end(), ref_.begin(), ref_.end());
  out.push_back(0xFF);
  return out;
}

std::uint64_t ProtocolAddress::Hash() const { return SipHash13(0, 0, HashInput()); }

}  // namespace qiv
