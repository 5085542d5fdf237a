// QueuedItem: one spilled envelope as the queue keeps it, one file per item.
//
// Three fields, in declaration order (also the JSON key order and the array-form order):
// queue_id (the envelope's exchange_id at the time of the push, not sanitised), pair_class
// (whatever text the pusher gave) and envelope (a full copy). Nothing ties them together
// when an item is read back: a file's queue_id is compared neither with its file name nor with
// its envelope's exchange_id.
//
// The item file is the item's JSON object in the two-space style, UTF-8, with no line feed
// after the closing brace:
//
//   QueuedItem item = QueuedItem::ForPush("routing", envelope);
//   std::string text = item.Serialize();   // {\n  "queue_id": "e1",\n  "pair_class": ...
//   Result<QueuedItem, JsonError> back = QueuedItem::Deserialize(bytes);
//
// Reading takes the whole file in the byte form of the JSON reader: one object (keys in any
// order, unknown keys skipped) or an array of the three values, then only white space. All
// three fields are required.
//
// An immutable value that owns everything it holds; any number of threads may read one.
#ifndef QIV_SIGNED_ENVELOPE_QUEUED_ITEM_H_
#define QIV_SIGNED_ENVELOPE_QUEUED_ITEM_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "qiv/primitives/json_error.h"
#include "qiv/primitives/json_record.h"
#include "qiv/primitives/result.h"
#include "qiv/signed_envelope/signed_envelope.h"

namespace qiv::envelope {

class QueuedItem {
 public:
  // The item that pushing `envelope` under `pair_class` writes: both copied, the queue_id
  // taken from the envelope's exchange_id.
  static QueuedItem ForPush(std::string_view pair_class, const SignedEnvelope& envelope);

  // The item file's text (two-space style). Cannot fail.
  std::string Serialize() const;

  // Reads a whole item file. Errors are the JSON reader's ("missing field `envelope` at line 5
  // column 1", "trailing characters at line 21 column 2", ...).
  static Result<QueuedItem, JsonError> Deserialize(std::span<const std::uint8_t> bytes);

  const std::string& queue_id() const { return queue_id_; }
  const std::string& pair_class() const { return pair_class_; }
  const SignedEnvelope& envelope() const { return envelope_; }

  friend bool operator==(const QueuedItem&, const QueuedItem&) = default;

 private:
  friend class json::RecordAccess;

  QueuedItem() = default;

  static constexpr auto JsonDescription() {
    return json::Describe("QueuedItem", json::Field("queue_id", &QueuedItem::queue_id_),
                          json::Field("pair_class", &QueuedItem::pair_class_),
                          json::Field("envelope", &QueuedItem::envelope_));
  }

  std::string queue_id_;
  std::string pair_class_;
  SignedEnvelope envelope_ = json::RecordAccess::Make<SignedEnvelope>();
};

}  // namespace qiv::envelope

#endif  // QIV_SIGNED_ENVELOPE_QUEUED_ITEM_H_
