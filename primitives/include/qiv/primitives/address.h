// ProtocolAddress: names a thing in the protocol, as an address class plus two texts.
//
// Text form: the URI "tvq://<class>/<type>/<ref>". JSON form: {"class":..,"type":..,"ref":..}
// (the array form ["<class>","<type>","<ref>"] is read too). The class is one of ten
// lower-case names; type and ref may be any texts, the empty text included.
//
//   std::optional<ProtocolAddress> a = ProtocolAddress::Parse("tvq://act/x/y/z");
//   // a->address_class() == AddressClass::kAct, a->type() == "x", a->ref() == "y/z"
//   ProtocolAddress b = ProtocolAddress::New(AddressClass::kBody, "peer", "abc");
//   b.ToUri();  // "tvq://body/peer/abc"
//
// Addresses are immutable values; any number of threads may use one at once.
#ifndef QIV_PRIMITIVES_ADDRESS_H_
#define QIV_PRIMITIVES_ADDRESS_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qiv/primitives/json_error.h"
#include "qiv/primitives/json_reader.h"
#include "qiv/primitives/json_record.h"
#include "qiv/primitives/json_writer.h"
#include "qiv/primitives/result.h"

namespace qiv {

enum class AddressClass : std::uint8_t {
  kBody = 0,
  kAct = 1,
  kDatum = 2,
  kProp = 3,
  kDiscard = 4,
  kPair = 5,
  kDoc = 6,
  kEvidence = 7,
  kRoute = 8,
  kMediation = 9,
};

// The class names in value order; the only text form of a class (URI, JSON, Python).
inline constexpr std::array<std::string_view, 10> kAddressClassNames = {
    "body", "act", "datum", "prop", "discard", "pair", "doc", "evidence", "route", "mediation"};

std::string_view AddressClassName(AddressClass address_class);
// Exact byte equality with one of the names; letter case counts.
std::optional<AddressClass> AddressClassFromName(std::string_view name);

namespace json {
template <>
struct EnumTraits<AddressClass> {
  static constexpr const std::array<std::string_view, 10>& kNames = kAddressClassNames;
};
}  // namespace json

class ProtocolAddress {
 public:
  // Copies both texts exactly as given; no check of any kind.
  static ProtocolAddress New(AddressClass address_class, std::string_view type,
                             std::string_view ref);

  // Parses "tvq://<class>/<type>/<ref>": the class segment runs to the first "/", the type to
  // the second, the ref is everything after it (further "/" included). Nothing is decoded or
  // trimmed. Returns no address when the prefix, the separators or the class name are wrong.
  static std::optional<ProtocolAddress> Parse(std::string_view uri);

  // "tvq://" + class name + "/" + type + "/" + ref, nothing escaped.
  std::string ToUri() const;

  AddressClass address_class() const { return class_; }
  const std::string& type() const { return type_; }
  const std::string& ref() const { return ref_; }

  // The bytes the address hash is computed over: the class value as a little-endian 64-bit
  // integer, the type's bytes and 0xFF, the ref's bytes and 0xFF.
  std::vector<std::uint8_t> HashInput() const;
  // SipHash-1-3 with zero keys over HashInput(). Equal addresses hash alike in every process.
  std::uint64_t Hash() const;

  // JSON form at the reader's or writer's position.
  static Result<ProtocolAddress, JsonError> Deserialize(JsonReader& reader) {
    return json::ReadRecord<ProtocolAddress>(reader);
  }
  void Serialize(JsonWriter& writer) const { json::WriteRecord(writer, *this); }

  // Class, then type and ref byte for byte; no normalisation.
  friend bool operator==(const ProtocolAddress&, const ProtocolAddress&) = default;

 private:
  friend class json::RecordAccess;

  ProtocolAddress() = default;

  static constexpr auto JsonDescription() {
    return json::Describe("ProtocolAddress", json::Field("class", &ProtocolAddress::class_),
                          json::Field("type", &ProtocolAddress::type_),
                          json::Field("ref", &ProtocolAddress::ref_));
  }

  AddressClass class_ = AddressClass::kBody;
  std::string type_;
  std::string ref_;
};

}  // namespace qiv

#endif  // QIV_PRIMITIVES_ADDRESS_H_
