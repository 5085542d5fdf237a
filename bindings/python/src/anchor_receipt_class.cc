// AnchorReceipt: getters, representation, value equality and the JSON bridge.
#include "anchor_receipt_class.h"

#include <string>
#include <string_view>

#include "machinery/record_json.h"
#include "module_members.h"
#include "qiv/primitives/anchor_kind.h"

namespace qiv::py {
namespace {

using ReceiptJson =
    RecordJson<AnchorReceipt, "serialize AnchorReceipt", "invalid AnchorReceipt JSON">;

constexpr char kDoc[] =
    "Receipt returned when a Merkle root is submitted to an external\n"
    "anchor. Persisted alongside the batch so it can be verified later.\n"
    "Python sees this as a parsed/serialisable record \xE2\x80\x94 actual anchor\n"
    "submission stays in the kernel's async runtime.";

const std::string& AnchorId(const AnchorReceipt& self) { return self.anchor_id(); }
std::string_view Kind(const AnchorReceipt& self) { return AnchorKindName(self.anchor_kind()); }
const std::string& MerkleRootHex(const AnchorReceipt& self) { return self.merkle_root_hex(); }
const std::string& SubmissionRef(const AnchorReceipt& self) { return self.submission_ref(); }
const std::string& SubmittedAt(const AnchorReceipt& self) { return self.submitted_at(); }
const std::string& ExpectedFinalityAt(const AnchorReceipt& self) {
  return self.expected_finality_at();
}
const std::string& ProofB64(const AnchorReceipt& self) { return self.proof_b64(); }

std::string Repr(const AnchorReceipt& self) {
  std::string out = "AnchorReceipt(anchor_id=";
  AppendReprQuoted(out, self.anchor_id());
  out += ", kind=";
  AppendReprQuoted(out, AnchorKindName(self.anchor_kind()));
  out += ", root=";
  AppendReprQuoted(out, self.merkle_root_hex());
  out += ')';
  return out;
}

}  // namespace

const ClassDef& AnchorReceiptClass() {
  static const Class<AnchorReceipt> def =
      Class<AnchorReceipt>(kDoc)
          .StaticMethod<ReceiptJson::FromJson>("from_json", kFromJsonDoc, {"s"})
          .Method<ReceiptJson::ToJson>("to_json", kToJsonDoc)
          .StaticMethod<ReceiptJson::FromDict>("from_dict", kFromDictDoc, {"d"})
          .Method<ReceiptJson::ToDict>("to_dict", kToDictDoc)
          .Getter<AnchorId>("anchor_id")
          .Getter<Kind>("anchor_kind")
          .Getter<MerkleRootHex>("merkle_root_hex")
          .Getter<SubmissionRef>("submission_ref")
          .Getter<SubmittedAt>("submitted_at")
          .Getter<ExpectedFinalityAt>("expected_finality_at")
          .Getter<ProofB64>("proof_b64")
          .Repr<Repr>()
          .Equality();
  return def;
}

}  // namespace qiv::py
