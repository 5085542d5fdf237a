// Anchor: the interface of Merkle-root anchors.
//
// An anchor accepts a 32-byte Merkle root and answers with an AnchorReceipt; later it
// verifies such a receipt and answers with an AnchorProof. Every expected failure is an
// AnchorError value; a broken invariant inside an anchor is a qiv::Fault.
//
// Both operations are, in the protocol's terms, asynchronous tasks. The only implementation,
// MockAnchor, does all its work in the task's first poll and never waits, so they are
// declared here as ordinary calls that complete before they return; a caller that needs a
// task (the binding's block_on) wraps the call.
//
//   qiv::MerkleRoot root = ...;
//   auto receipt = anchor.Submit(root);
//   if (receipt.ok()) auto proof = anchor.Verify(*receipt);
//
// Implementations must allow concurrent calls from several threads.
#ifndef QIV_PRIMITIVES_ANCHOR_H_
#define QIV_PRIMITIVES_ANCHOR_H_

#include <array>
#include <cstddef>
#include <cstdint>

#include "qiv/primitives/anchor_error.h"
#include "qiv/primitives/anchor_proof.h"
#include "qiv/primitives/anchor_receipt.h"
#include "qiv/primitives/result.h"

namespace qiv {

inline constexpr std::size_t kMerkleRootSize = 32;

// A Merkle root: exactly 32 bytes; no other length can be passed to Submit.
using MerkleRoot = std::array<std::uint8_t, kMerkleRootSize>;

class Anchor {
 public:
  virtual ~Anchor() = default;

  // Records `merkle_root` and returns the receipt for it. The root is copied; the caller's
  // buffer may go away as soon as the call returns.
  virtual Result<AnchorReceipt, AnchorError> Submit(const MerkleRoot& merkle_root) = 0;

  // Checks `receipt` against what the anchor holds and returns the proof.
  virtual Result<AnchorProof, AnchorError> Verify(const AnchorReceipt& receipt) = 0;
};

}  // namespace qiv

#endif  // QIV_PRIMITIVES_ANCHOR_H_
