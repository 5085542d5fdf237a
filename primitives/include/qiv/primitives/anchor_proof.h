// AnchorProof: what an anchor answers to the verification of a receipt.
//
// `confirmed` false means the root has not yet reached finality at the anchor; it is not a
// failure (a failed verification is an AnchorError, never a proof). The time and detail are
// plain texts, never parsed.
//
//   qiv::AnchorProof proof = qiv::AnchorProof::Create(
//       "anchor-1", qiv::AnchorKind::kLocal, root_hex, /*confirmed=*/true,
//       "2026-04-15T09:00:00Z", "mock");
//   if (proof.confirmed()) ...
//   std::string text = proof.Serialize();   // {"anchor_id":"anchor-1",...,"confirmed":true,...}
//   auto back = qiv::AnchorProof::Deserialize(text);   // Result<AnchorProof, JsonError>
//
// JSON form: an object with the six keys in field order; `confirmed` is the literal true or
// false (nothing else is accepted when reading), the kind its name, every other value a
// string. Reading takes the keys in any order, skips unknown keys, requires all six, and also
// accepts the array of the six values in field order.
//
// An immutable value that owns its texts; safe to read from any number of threads.
#ifndef QIV_PRIMITIVES_ANCHOR_PROOF_H_
#define QIV_PRIMITIVES_ANCHOR_PROOF_H_

#include <string>
#include <string_view>
#include <utility>

#include "qiv/primitives/anchor_kind.h"
#include "qiv/primitives/json_error.h"
#include "qiv/primitives/json_record.h"
#include "qiv/primitives/json_writer.h"
#include "qiv/primitives/result.h"

namespace qiv {

class AnchorProof {
 public:
  // Takes the six fields in declaration order (also the JSON key and array order).
  static AnchorProof Create(std::string anchor_id, AnchorKind anchor_kind,
                            std::string merkle_root_hex, bool confirmed,
                            std::string authoritative_time, std::string detail) {
    return AnchorProof(std::move(anchor_id), anchor_kind, std::move(merkle_root_hex), confirmed,
                       std::move(authoritative_time), std::move(detail));
  }

  // Reads a whole JSON text (object or array form) with nothing but whitespace after it.
  static Result<AnchorProof, JsonError> Deserialize(std::string_view text) {
    return json::ReadRecordFromText<AnchorProof>(text);
  }

  // The compact JSON text; cannot fail.
  std::string Serialize() const { return json::RecordToJson(*this, JsonWriter::Style::kCompact); }

  // Identifier of the anchor that verified.
  const std::string& anchor_id() const { return anchor_id_; }
  // Kind of that anchor.
  AnchorKind anchor_kind() const { return anchor_kind_; }
  // The root text of the verified receipt, letter case kept.
  const std::string& merkle_root_hex() const { return merkle_root_hex_; }
  // True when the root has reached finality; false when finality is still pending.
  bool confirmed() const { return confirmed_; }
  // The time the anchor vouches for; never parsed.
  const std::string& authoritative_time() const { return authoritative_time_; }
  // Free text from the anchor.
  const std::string& detail() const { return detail_; }

  // Equal when all six fields are equal, texts byte for byte.
  friend bool operator==(const AnchorProof&, const AnchorProof&) = default;

 private:
  friend class json::RecordAccess;

  AnchorProof() = default;
  AnchorProof(std::string anchor_id, AnchorKind anchor_kind, std::string merkle_root_hex,
              bool confirmed, std::string authoritative_time, std::string detail)
      : anchor_id_(std::move(anchor_id)),
        anchor_kind_(anchor_kind),
        merkle_root_hex_(std::move(merkle_root_hex)),
        confirmed_(confirmed),
        authoritative_time_(std::move(authoritative_time)),
        detail_(std::move(detail)) {}

  static constexpr auto JsonDescription() {
    return json::Describe("AnchorProof", json::Field("anchor_id", &AnchorProof::anchor_id_),
                          json::Field("anchor_kind", &AnchorProof::anchor_kind_),
                          json::Field("merkle_root_hex", &AnchorProof::merkle_root_hex_),
                          json::Field("confirmed", &AnchorProof::confirmed_),
                          json::Field("authoritative_time", &AnchorProof::authoritative_time_),
                          json::Field("detail", &AnchorProof::detail_));
  }

  std::string anchor_id_;
  AnchorKind anchor_kind_ = AnchorKind::kLocal;
  std::string merkle_root_hex_;
  bool confirmed_ = false;
  std::string authoritative_time_;
  std::string detail_;
};

}  // namespace qiv

#endif  // QIV_PRIMITIVES_ANCHOR_PROOF_H_
