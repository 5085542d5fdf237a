// CounterpartyInfo: what is known about the other end of an exchange.
//
// Four plain texts: identifier, protocol_hint, and the optional peer_address and
// counterparty_signature. Nothing checks their form; peer_address in particular is not parsed
// as a protocol address. The record has a JSON writer and no reader: its compact form always
// carries all four keys, null for an absent optional field.
//
//   CounterpartyInfo info = CounterpartyInfo::Create("c1", "tcp", std::nullopt, "s");
//   JsonWriter writer(JsonWriter::Style::kCompact);
//   info.Serialize(writer);
//   // {"identifier":"c1","protocol_hint":"tcp","peer_address":null,"counterparty_signature":"s"}
//
// An immutable value owning its texts; any number of threads may read one.
#ifndef QIV_SIGNED_ENVELOPE_COUNTERPARTY_INFO_H_
#define QIV_SIGNED_ENVELOPE_COUNTERPARTY_INFO_H_

#include <optional>
#include <string>
#include <utility>

#include "qiv/primitives/json_record.h"
#include "qiv/primitives/json_writer.h"

namespace qiv::envelope {

class CounterpartyInfo {
 public:
  // Takes the four fields as given; an absent optional field is nullopt (not the empty text).
  static CounterpartyInfo Create(std::string identifier, std::string protocol_hint,
                                 std::optional<std::string> peer_address,
                                 std::optional<std::string> counterparty_signature) {
    return CounterpartyInfo(std::move(identifier), std::move(protocol_hint),
                            std::move(peer_address), std::move(counterparty_signature));
  }

  const std::string& identifier() const { return identifier_; }
  const std::string& protocol_hint() const { return protocol_hint_; }
  const std::optional<std::string>& peer_address() const { return peer_address_; }
  const std::optional<std::string>& counterparty_signature() const {
    return counterparty_signature_;
  }

  // Writes the JSON object with all four keys in the writer's style. Cannot fail.
  void Serialize(JsonWriter& writer) const { json::WriteRecord(writer, *this); }

  // All four fields; an absent optional field equals only an absent one.
  friend bool operator==(const CounterpartyInfo&, const CounterpartyInfo&) = default;

 private:
  friend class json::RecordAccess;

  CounterpartyInfo() = default;
  CounterpartyInfo(std::string identifier, std::string protocol_hint,
                   std::optional<std::string> peer_address,
                   std::optional<std::string> counterparty_signature)
      : identifier_(std::move(identifier)),
        protocol_hint_(std::move(protocol_hint)),
        peer_address_(std::move(peer_address)),
        counterparty_signature_(std::move(counterparty_signature)) {}

  static constexpr auto JsonDescription() {
    using C = CounterpartyInfo;
    return json::Describe(
        "CounterpartyInfo", json::Field("identifier", &C::identifier_),
        json::Field("protocol_hint", &C::protocol_hint_),
        json::Field("peer_address", &C::peer_address_).WriteNullWhenAbsent(),
        json::Field("counterparty_signature", &C::counterparty_signature_).WriteNullWhenAbsent());
  }

  std::string identifier_;
  std::string protocol_hint_;
  std::optional<std::string> peer_address_;
  std::optional<std::string> counterparty_signature_;
};

}  // namespace qiv::envelope

#endif  // QIV_SIGNED_ENVELOPE_COUNTERPARTY_INFO_H_
