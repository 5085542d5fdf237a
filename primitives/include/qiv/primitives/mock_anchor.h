// MockAnchor: an in-memory anchor for tests and local development.
//
// It behaves like an anchor with instant finality that remembers the roots submitted to it:
// Submit records a root once and answers with a receipt of kind `local` carrying fixed times;
// Verify confirms any receipt whose root it holds. It reads no clock, opens no connection and
// keeps nothing on disk. It is not a stand-in for an outside witness in production.
//
//   qiv::MockAnchor anchor("dev");
//   auto receipt = anchor.Submit(root);          // AlreadySubmitted on the second call
//   auto proof = anchor.Verify(*receipt);        // confirmed, detail "mock", anchor_id "dev"
//
// Thread-safe: one mutex guards the table of roots. Submit holds it for the whole operation;
// Verify decodes the receipt's root text first and takes it only for the lookup. A fault
// raised while the mutex is held poisons it for good: every later operation that needs the
// mutex then faults. A failed operation leaves the table as it was.
#ifndef QIV_PRIMITIVES_MOCK_ANCHOR_H_
#define QIV_PRIMITIVES_MOCK_ANCHOR_H_

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "qiv/primitives/anchor.h"

namespace qiv {

class MockAnchorTestPeer;

// Message of the fault raised when an operation finds the mutex poisoned.
inline constexpr char kMockAnchorPoisonedMessage[] =
    "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";

class MockAnchor final : public Anchor {
 public:
  // A new anchor with a copy of `id` (any text, the empty one included) and no roots.
  explicit MockAnchor(std::string_view id) : id_(id) {}

  MockAnchor(const MockAnchor&) = delete;
  MockAnchor& operator=(const MockAnchor&) = delete;

  // The anchor's identifier; it is the anchor_id of every receipt and proof it issues.
  const std::string& id() const { return id_; }

  // Fails with AlreadySubmitted (detail: the root as 64 lowercase hex digits) when the root
  // was submitted before. Otherwise records it and returns a receipt with this anchor's id,
  // kind `local`, the root in lowercase hex, submission_ref "mock://" followed by the hex of
  // the root's first four bytes, both times "2026-04-15T09:00:00Z" and an empty proof_b64.
  Result<AnchorReceipt, AnchorError> Submit(const MerkleRoot& merkle_root) override;

  // Reads only the receipt's merkle_root_hex and submitted_at. A root text that is not the
  // hex of 32 bytes (either letter case) fails with BadResponse: "Odd number of digits",
  // "Invalid character '<c>' at position <n>" or "root len". A root this anchor does not hold
  // fails with NotFound (detail: the root text as the receipt carries it). Otherwise returns
  // a confirmed proof naming this anchor, with the receipt's root text, authoritative_time the
  // receipt's submitted_at, and detail "mock".
  Result<AnchorProof, AnchorError> Verify(const AnchorReceipt& receipt) override;

 private:
  friend class MockAnchorTestPeer;
  class LockedSection;

  const std::string id_;

  // An ordered map needs no hash seed and offers no hash collisions to a caller choosing the
  // roots; it is never walked, so its order is not observable.
  mutable std::mutex mu_;
  bool poisoned_ = false;                         // guarded by mu_
  std::map<MerkleRoot, AnchorReceipt> receipts_;  // guarded by mu_

  // Run inside every locked section; lets a test raise a fault while the mutex is held.
  std::function<void()> locked_hook_for_testing_;
};

}  // namespace qiv

#endif  // QIV_PRIMITIVES_MOCK_ANCHOR_H_
