// MockAnchor: constructor, the blocking submit and verify, getters and representation.
#include "mock_anchor_class.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "anchor_errors.h"
#include "anchor_proof_class.h"
#include "anchor_receipt_class.h"
#include "blocking_call.h"
#include "module_members.h"
#include "qiv/primitives/anchor.h"
#include "qiv/primitives/anchor_kind.h"
#include "qiv/runtime/task.h"

namespace qiv::py {
namespace {

constexpr char kDoc[] =
    "MockAnchor(id)\n--\n\n"
    "In-memory anchor for tests + local-development. Behaves like an\n"
    "instant-finality anchor that remembers what it submitted. **NOT for\n"
    "production** \xE2\x80\x94 the whole point of an external anchor is *external*\n"
    "witnesses. Use a real concrete anchor (`OpenTimestamps`, \xE2\x80\xA6) for\n"
    "any non-test workload.";

constexpr char kSubmitDoc[] =
    "submit($self, merkle_root)\n--\n\n"
    "Submit a Merkle root (32 bytes). Returns the receipt the tenant\n"
    "must persist in order to verify later. Raises `ValueError` on\n"
    "double-submission of the same root.";

constexpr char kVerifyDoc[] =
    "verify($self, receipt)\n--\n\n"
    "Verify a previously-submitted receipt. Raises `ValueError` for\n"
    "unknown roots or malformed input.";

// The anchor's operations as tasks. Both finish in their first poll; the submit task keeps its
// own copy of the root, the verify task borrows the receipt, which the call keeps alive.
runtime::Task<Result<AnchorReceipt, AnchorError>> SubmitTask(MockAnchor& anchor, MerkleRoot root) {
  co_return anchor.Submit(root);
}

runtime::Task<Result<AnchorProof, AnchorError>> VerifyTask(MockAnchor& anchor,
                                                           const AnchorReceipt& receipt) {
  co_return anchor.Verify(receipt);
}

HeldMockAnchor New(std::string_view id) { return HeldMockAnchor(id); }

PyResult<AnchorReceipt> Submit(const HeldMockAnchor& self, Bytes merkle_root) {
  // Checked before the runtime is obtained, so a refused call never builds it.
  if (merkle_root.size() != kMerkleRootSize) {
    return Err(Error::ValueError("merkle_root must be exactly 32 bytes"));
  }
  MerkleRoot root;
  std::copy(merkle_root.begin(), merkle_root.end(), root.begin());
  auto receipt = RunBlocking([&] { return SubmitTask(self.anchor(), root); });
  if (!receipt.ok()) return Err(AnchorErrorToException(std::move(receipt).error()));
  return std::move(receipt).value();
}

PyResult<AnchorProof> Verify(const HeldMockAnchor& self, const AnchorReceipt& receipt) {
  auto proof = RunBlocking([&] { return VerifyTask(self.anchor(), receipt); });
  if (!proof.ok()) return Err(AnchorErrorToException(std::move(proof).error()));
  return std::move(proof).value();
}

const std::string& Id(const HeldMockAnchor& self) { return self.anchor().id(); }
std::string_view Kind(const HeldMockAnchor&) { return AnchorKindName(AnchorKind::kLocal); }
double CostUsdPerSubmission(const HeldMockAnchor&) { return 0.0; }
std::uint32_t FinalitySeconds(const HeldMockAnchor&) { return 0; }

std::string Repr(const HeldMockAnchor& self) {
  std::string out = "MockAnchor(id=";
  AppendReprQuoted(out, self.anchor().id());
  out += ", kind=\"local\")";
  return out;
}

}  // namespace

const ClassDef& MockAnchorClass() {
  static const Class<HeldMockAnchor> def =
      Class<HeldMockAnchor>(kDoc)
          .Constructor<New>({"id"})
          .Method<Submit>("submit", kSubmitDoc, {"merkle_root"})
          .Method<Verify>("verify", kVerifyDoc, {"receipt"})
          .Getter<Id>("id")
          .Getter<Kind>("kind")
          .Getter<CostUsdPerSubmission>("cost_usd_per_submission")
          .Getter<FinalitySeconds>("finality_seconds")
          .Repr<Repr>();
  return def;
}

}  // namespace qiv::py
