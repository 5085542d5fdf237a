// SignedEnvelope: the wire record of one completed exchange with a counterparty.
//
// Twelve fields, in declaration order (also the JSON key order, the array-form order and the
// order of the Python getters): exchange_id, peer_self, peer_counterparty?, direction,
// request_hash, response_hash?, counterparty_signature?, our_signature, opened_at, closed_at?,
// protocol_hint, counterparty_identifier (? = optional). Nothing here checks a field's content
// or verifies a signature: hashes, signatures and identifiers are carried as the texts they are.
//
// Envelopes come into being only through the reader, and leave through the writer (compact
// towards Python, two-space inside queue files) and as canonical signing bytes:
//
//   JsonReader reader = JsonReader::OverText(text);
//   Result<SignedEnvelope, JsonError> envelope = SignedEnvelope::Deserialize(reader);
//   if (!envelope.ok() || !reader.ExpectEnd()) ...;       // the caller checks what follows
//   std::vector<std::uint8_t> signed_bytes = envelope->CanonicalSigningBytes();
//   // ["<exchange_id>","<request_hash>","<response_hash>" or null], compact JSON
//
// Reading accepts the object form (unknown keys skipped, repeated keys refused, null for an
// absent optional field) and the array form (null only at the optional positions 2, 5, 6 and
// 9; a short array leaves missing optional positions absent and fails at the first missing
// required one with "invalid length <n>, expected struct SignedEnvelope with 12 elements").
// Timestamps are JSON strings in the relaxed RFC 3339 form of timestamp.h; a bad one fails
// with the timestamp's message positioned just behind its closing quote. Writing leaves absent
// optional fields out.
//
// An immutable value that owns everything it holds; any number of threads may read one.
#ifndef QIV_SIGNED_ENVELOPE_SIGNED_ENVELOPE_H_
#define QIV_SIGNED_ENVELOPE_SIGNED_ENVELOPE_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qiv/primitives/address.h"
#include "qiv/primitives/json_error.h"
#include "qiv/primitives/json_reader.h"
#include "qiv/primitives/json_record.h"
#include "qiv/primitives/json_writer.h"
#include "qiv/primitives/result.h"
#include "qiv/signed_envelope/timestamp.h"

namespace qiv {
namespace envelope {

// Which side opened the exchange, seen from this peer.
enum class Direction : std::uint8_t {
  kOutbound = 0,
  kInbound = 1,
};

// The JSON and Python text of each direction, in value order.
inline constexpr std::array<std::string_view, 2> kDirectionNames = {"outbound", "inbound"};

inline std::string_view DirectionName(Direction direction) {
  return kDirectionNames[static_cast<std::size_t>(direction)];
}

}  // namespace envelope

namespace json {

// Direction: the string "outbound" / "inbound", or the object form {"inbound": null}.
template <>
struct EnumTraits<envelope::Direction> {
  static constexpr const std::array<std::string_view, 2>& kNames = envelope::kDirectionNames;
};

// Timestamps are JSON strings in their RFC 3339 text form.
template <>
struct TextCodec<envelope::UtcTimestamp> {
  static constexpr std::string_view kExpected = envelope::kTimestampExpected;
  static bool Parse(std::string_view text, envelope::UtcTimestamp* out, std::string* message);
  static void Format(const envelope::UtcTimestamp& value, std::string* out);
};

}  // namespace json

namespace envelope {

class SignedEnvelope {
 public:
  // Reads one envelope at the reader's position (text or byte form). Checking that nothing
  // but white space follows is the caller's step.
  static Result<SignedEnvelope, JsonError> Deserialize(JsonReader& reader) {
    return json::ReadRecord<SignedEnvelope>(reader);
  }
  // Writes the envelope as a JSON object in the writer's style. Cannot fail.
  void Serialize(JsonWriter& writer) const { json::WriteRecord(writer, *this); }

  // The bytes an Ed25519 signature over the envelope covers: the compact JSON array
  // [exchange_id, request_hash, response_hash or null], strings escaped as the JSON writer
  // escapes them, no white space, no trailing line feed.
  std::vector<std::uint8_t> CanonicalSigningBytes() const;

  const std::string& exchange_id() const { return exchange_id_; }
  const ProtocolAddress& peer_self() const { return peer_self_; }
  const std::optional<ProtocolAddress>& peer_counterparty() const { return peer_counterparty_; }
  Direction direction() const { return direction_; }
  const std::string& request_hash() const { return request_hash_; }
  const std::optional<std::string>& response_hash() const { return response_hash_; }
  const std::optional<std::string>& counterparty_signature() const {
    return counterparty_signature_;
  }
  const std::string& our_signature() const { return our_signature_; }
  const UtcTimestamp& opened_at() const { return opened_at_; }
  const std::optional<UtcTimestamp>& closed_at() const { return closed_at_; }
  const std::string& protocol_hint() const { return protocol_hint_; }
  const std::string& counterparty_identifier() const { return counterparty_identifier_; }

  // All twelve fields: texts byte for byte, absent equal only to absent, timestamps to the
  // nanosecond (a leap second differs from second 59 of its minute).
  friend bool operator==(const SignedEnvelope&, const SignedEnvelope&) = default;

 private:
  friend class json::RecordAccess;

  SignedEnvelope() = default;

  // Optional fields are Defaulted so that a short array leaves them absent as well.
  static constexpr auto JsonDescription() {
    using E = SignedEnvelope;
    return json::Describe(
        "SignedEnvelope", json::Field("exchange_id", &E::exchange_id_),
        json::Field("peer_self", &E::peer_self_),
        json::Field("peer_counterparty", &E::peer_counterparty_).Defaulted(),
        json::Field("direction", &E::direction_), json::Field("request_hash", &E::request_hash_),
        json::Field("response_hash", &E::response_hash_).Defaulted(),
        json::Field("counterparty_signature", &E::counterparty_signature_).Defaulted(),
        json::Field("our_signature", &E::our_signature_),
        json::Field("opened_at", &E::opened_at_),
        json::Field("closed_at", &E::closed_at_).Defaulted(),
        json::Field("protocol_hint", &E::protocol_hint_),
        json::Field("counterparty_identifier", &E::counterparty_identifier_));
  }

  std::string exchange_id_;
  ProtocolAddress peer_self_ = json::RecordAccess::Make<ProtocolAddress>();
  std::optional<ProtocolAddress> peer_counterparty_;
  Direction direction_ = Direction::kOutbound;
  std::string request_hash_;
  std::optional<std::string> response_hash_;
  std::optional<std::string> counterparty_signature_;
  std::string our_signature_;
  UtcTimestamp opened_at_;
  std::optional<UtcTimestamp> closed_at_;
  std::string protocol_hint_;
  std::string counterparty_identifier_;
};

}  // namespace envelope
}  // namespace qiv

#endif  // QIV_SIGNED_ENVELOPE_SIGNED_ENVELOPE_H_
