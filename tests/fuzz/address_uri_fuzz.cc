// Fuzzes the tvq:// URI parser and writer of ProtocolAddress.
//
// Properties, for every input:
//   - Parse never faults; an accepted text is exactly "tvq://" + a class name + "/" + type +
//     "/" + ref, with no "/" in the type, and ToUri gives that same text back (the writer is
//     stable: Parse(ToUri(a)) == a and ToUri of it gives the same bytes again);
//   - an address built from any class and any two texts (the input split at its first 0x00
//     byte, the class from its first byte) writes a URI that parses: to an equal address when
//     the type holds no "/", otherwise to the one split at the type's first "/";
//   - the hash depends on the value only: an equal address parsed back hashes alike.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "qiv/primitives/address.h"

namespace {

using qiv::AddressClass;
using qiv::AddressClassName;
using qiv::ProtocolAddress;
using qiv::fuzz::Escaped;

constexpr std::string_view kScheme = "tvq://";

std::string Describe(const ProtocolAddress& a) {
  return "{" + std::string(AddressClassName(a.address_class())) + ", " + Escaped(a.type()) +
         ", " + Escaped(a.ref()) + "}";
}

void CheckParsed(std::string_view input) {
  const std::optional<ProtocolAddress> parsed = ProtocolAddress::Parse(input);
  if (!parsed) {
    // A refusal must be right: the text lacks the prefix, a separator or a known class.
    if (input.substr(0, kScheme.size()) != kScheme) return;
    const std::string_view rest = input.substr(kScheme.size());
    const std::size_t class_end = rest.find('/');
    if (class_end == std::string_view::npos) return;
    const std::size_t type_end = rest.find('/', class_end + 1);
    if (type_end == std::string_view::npos) return;
    QIV_FUZZ_CHECK(!qiv::AddressClassFromName(rest.substr(0, class_end)).has_value(),
                   "refused " << Escaped(input) << " although its class segment is known");
    return;
  }
  const std::string uri = parsed->ToUri();
  QIV_FUZZ_CHECK(uri == input, "parsed " << Escaped(input) << " as " << Describe(*parsed)
                                         << ", which writes " << Escaped(uri));
  QIV_FUZZ_CHECK(parsed->type().find('/') == std::string::npos,
                 "parsed " << Escaped(input) << " with a '/' in the type: " << Describe(*parsed));
  const std::optional<ProtocolAddress> again = ProtocolAddress::Parse(uri);
  QIV_FUZZ_CHECK(again && *again == *parsed,
                 "URI " << Escaped(uri) << " of " << Describe(*parsed) << " parses differently");
  QIV_FUZZ_CHECK(again->ToUri() == uri, "second write of " << Escaped(uri) << " differs");
  QIV_FUZZ_CHECK(again->Hash() == parsed->Hash(),
                 "equal addresses from " << Escaped(input) << " hash differently");
}

void CheckBuilt(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  const auto address_class = static_cast<AddressClass>(data[0] % 10);
  const std::string_view text = qiv::fuzz::AsText(data + 1, size - 1);
  const std::size_t split = text.find('\0');
  const std::string_view type = text.substr(0, split);
  const std::string_view ref =
      split == std::string_view::npos ? std::string_view() : text.substr(split + 1);
  const ProtocolAddress built = ProtocolAddress::New(address_class, type, ref);
  QIV_FUZZ_CHECK(built.type() == type && built.ref() == ref,
                 "New changed the texts of " << Escaped(type) << ", " << Escaped(ref));
  const std::string uri = built.ToUri();
  const std::string expected_uri = std::string(kScheme) +
                                   std::string(AddressClassName(address_class)) + "/" +
                                   std::string(type) + "/" + std::string(ref);
  QIV_FUZZ_CHECK(uri == expected_uri, "ToUri of " << Describe(built) << " is " << Escaped(uri));
  const std::optional<ProtocolAddress> parsed = ProtocolAddress::Parse(uri);
  QIV_FUZZ_CHECK(parsed.has_value(), "URI " << Escaped(uri) << " of " << Describe(built)
                                            << " does not parse");
  const std::size_t slash = type.find('/');
  if (slash == std::string_view::npos) {
    QIV_FUZZ_CHECK(*parsed == built, "URI " << Escaped(uri) << " of " << Describe(built)
                                            << " parses as " << Describe(*parsed));
    QIV_FUZZ_CHECK(parsed->Hash() == built.Hash(),
                   "equal addresses " << Describe(built) << " hash differently");
  } else {
    const ProtocolAddress resplit =
        ProtocolAddress::New(address_class, type.substr(0, slash),
                             std::string(type.substr(slash + 1)) + "/" + std::string(ref));
    QIV_FUZZ_CHECK(*parsed == resplit, "URI " << Escaped(uri) << " of " << Describe(built)
                                              << " parses as " << Describe(*parsed)
                                              << ", expected " << Describe(resplit));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CheckParsed(qiv::fuzz::AsText(data, size));
  CheckBuilt(data, size);
  return 0;
}
