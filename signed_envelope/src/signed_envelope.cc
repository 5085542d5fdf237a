#include "qiv/signed_envelope/signed_envelope.h"

namespace qiv {
namespace json {

bool TextCodec<envelope::UtcTimestamp>::Parse(std::string_view text,
                                              envelope::UtcTimestamp* out,
                                              std::string* message) {
  auto parsed = envelope::ParseTimestamp(text);
  if (!parsed.ok()) {
    *message = std::string(parsed.error().message());
    return false;
  }
  *out = *parsed;
  return true;
}

void TextCodec<envelope::UtcTimestamp>::Format(const envelope::UtcTimestamp& value,
                                               std::string* out) {
  envelope::AppendTimestamp(*out, value);
}

}  // namespace json

namespace envelope {

std::vector<std::uint8_t> SignedEnvelope::CanonicalSigningBytes() const {
  // ["e1","h1",null] is 16 bytes; a little room covers typical hashes without regrowing.
  JsonWriter writer(JsonWriter::Style::kCompact,
                    exchange_id_.size() + request_hash_.size() +
                        (response_hash_ ? response_hash_->size() : 0) + 32);
  writer.BeginArray();
  writer.String(exchange_id_);
  writer.String(request_hash_);
  if (response_hash_.has_value()) {
    writer.String(*response_hash_);
  } else {
    writer.Null();
  }
  writer.EndArray();
  const std::string& text = writer.output();
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

}  // namespace envelope
}  // namespace qiv
