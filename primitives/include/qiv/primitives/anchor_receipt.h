// AnchorReceipt: what an anchor answers to the submission of a 32-byte Merkle root.
//
// The caller keeps the receipt alongside the batch whose root it is and hands it back to the
// anchor's Verify later. Every field is plain text except the kind: nothing here checks that
// `merkle_root_hex` holds hexadecimal digits or that the time fields hold times; only an
// anchor's Verify interprets `merkle_root_hex`.
//
//   qiv::AnchorReceipt receipt = qiv::AnchorReceipt::Create(
//       "anchor-1", qiv::AnchorKind::kLocal, root_hex, "mock://00010203",
//       "2026-04-15T09:00:00Z", "2026-04-15T09:00:00Z", "");
//   receipt.merkle_root_hex();
//   std::string text = receipt.Serialize();   // {"anchor_id":"anchor-1","anchor_kind":"local",...}
//   auto back = qiv::AnchorReceipt::Deserialize(text);   // Result<AnchorReceipt, JsonError>
//
// JSON form: an object with the seven keys in field order, every value a string (the kind as
// its name). Reading takes the keys in any order, skips unknown keys, requires all seven, and
// also accepts the array of the seven values in field order.
//
// An immutable value that owns its texts; safe to read from any number of threads.
#ifndef QIV_PRIMITIVES_ANCHOR_RECEIPT_H_
#define QIV_PRIMITIVES_ANCHOR_RECEIPT_H_

#include <string>
#include <string_view>
#include <utility>

#include "qiv/primitives/anchor_kind.h"
#include "qiv/primitives/json_error.h"
#include "qiv/primitives/json_record.h"
#include "qiv/primitives/json_writer.h"
#include "qiv/primitives/result.h"

namespace qiv {

class AnchorReceipt {
 public:
  // Takes the seven fields in declaration order (which is also the JSON key order and the
  // order of the JSON array form). Texts are taken by value so that a reader can move its
  // decoded strings in.
  static AnchorReceipt Create(std::string anchor_id, AnchorKind anchor_kind,
                              std::string merkle_root_hex, std::string submission_ref,
                              std::string submitted_at, std::string expected_finality_at,
                              std::string proof_b64) {
    return AnchorReceipt(std::move(anchor_id), anchor_kind, std::move(merkle_root_hex),
                         std::move(submission_ref), std::move(submitted_at),
                         std::move(expected_finality_at), std::move(proof_b64));
  }

  // Reads a whole JSON text (object or array form) with nothing but whitespace after it.
  static Result<AnchorReceipt, JsonError> Deserialize(std::string_view text) {
    return json::ReadRecordFromText<AnchorReceipt>(text);
  }

  // The compact JSON text; cannot fail.
  std::string Serialize() const { return json::RecordToJson(*this, JsonWriter::Style::kCompact); }

  // Identifier of the anchor that issued the receipt.
  const std::string& anchor_id() const { return anchor_id_; }
  // Kind of that anchor.
  AnchorKind anchor_kind() const { return anchor_kind_; }
  // The submitted root as text, exactly as held (letter case kept, never checked here).
  const std::string& merkle_root_hex() const { return merkle_root_hex_; }
  // The anchor's own reference to the submission.
  const std::string& submission_ref() const { return submission_ref_; }
  // Time of the submission as the anchor states it; never parsed.
  const std::string& submitted_at() const { return submitted_at_; }
  // Time at which the anchor expects the root to be final; never parsed.
  const std::string& expected_finality_at() const { return expected_finality_at_; }
  // Proof material of the anchor, empty when it has none; never decoded.
  const std::string& proof_b64() const { return proof_b64_; }

  // Equal when all seven fields are equal, texts byte for byte.
  friend bool operator==(const AnchorReceipt&, const AnchorReceipt&) = default;

 private:
  friend class json::RecordAccess;

  AnchorReceipt() = default;
  AnchorReceipt(std::string anchor_id, AnchorKind anchor_kind, std::string merkle_root_hex,
                std::string submission_ref, std::string submitted_at,
                std::string expected_finality_at, std::string proof_b64)
      : anchor_id_(std::move(anchor_id)),
        anchor_kind_(anchor_kind),
        merkle_root_hex_(std::move(merkle_root_hex)),
        submission_ref_(std::move(submission_ref)),
        submitted_at_(std::move(submitted_at)),
        expected_finality_at_(std::move(expected_finality_at)),
        proof_b64_(std::move(proof_b64)) {}

  static constexpr auto JsonDescription() {
    return json::Describe(
        "AnchorReceipt", json::Field("anchor_id", &AnchorReceipt::anchor_id_),
        json::Field("anchor_kind", &AnchorReceipt::anchor_kind_),
        json::Field("merkle_root_hex", &AnchorReceipt::merkle_root_hex_),
        json::Field("submission_ref", &AnchorReceipt::submission_ref_),
        json::Field("submitted_at", &AnchorReceipt::submitted_at_),
        json::Field("expected_finality_at", &AnchorReceipt::expected_finality_at_),
        json::Field("proof_b64", &AnchorReceipt::proof_b64_));
  }

  std::string anchor_id_;
  AnchorKind anchor_kind_ = AnchorKind::kLocal;
  std::string merkle_root_hex_;
  std::string submission_ref_;
  std::string submitted_at_;
  std::string expected_finality_at_;
  std::string proof_b64_;
};

}  // namespace qiv

#endif  // QIV_PRIMITIVES_ANCHOR_RECEIPT_H_
