#include "qiv/signed_envelope/queued_item.h"

#include "qiv/primitives/json_writer.h"

namespace qiv::envelope {

QueuedItem QueuedItem::ForPush(std::string_view pair_class, const SignedEnvelope& envelope) {
  QueuedItem item;
  item.queue_id_ = envelope.exchange_id();
  item.pair_class_ = std::string(pair_class);
  item.envelope_ = envelope;
  return item;
}

std::string QueuedItem::Serialize() const {
  return json::RecordToJson(*this, JsonWriter::Style::kTwoSpace);
}

Result<QueuedItem, JsonError> QueuedItem::Deserialize(std::span<const std::uint8_t> bytes) {
  return json::ReadRecordFromBytes<QueuedItem>(bytes);
}

}  // namespace qiv::envelope
