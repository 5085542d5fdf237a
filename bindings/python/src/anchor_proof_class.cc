// AnchorProof: getters, representation, value equality and the JSON bridge.
#include "anchor_proof_class.h"

#include <string>
#include <string_view>

#include "machinery/record_json.h"
#include "module_members.h"
#include "qiv/primitives/anchor_kind.h"

namespace qiv::py {
namespace {

using ProofJson = RecordJson<AnchorProof, "serialize AnchorProof", "invalid AnchorProof JSON">;

constexpr char kDoc[] =
    "Result of verifying an `AnchorReceipt` against the external anchor.\n"
    "`confirmed = false` means pending finality (not failure \xE2\x80\x94 failures\n"
    "return Err in the kernel's verify path, which here surfaces as a\n"
    "`ValueError` at parse time if the JSON is malformed).";

const std::string& AnchorId(const AnchorProof& self) { return self.anchor_id(); }
std::string_view Kind(const AnchorProof& self) { return AnchorKindName(self.anchor_kind()); }
const std::string& MerkleRootHex(const AnchorProof& self) { return self.merkle_root_hex(); }
bool Confirmed(const AnchorProof& self) { return self.confirmed(); }
const std::string& AuthoritativeTime(const AnchorProof& self) { return self.authoritative_time(); }
const std::string& Detail(const AnchorProof& self) { return self.detail(); }

std::string Repr(const AnchorProof& self) {
  std::string out = "AnchorProof(anchor_id=";
  AppendReprQuoted(out, self.anchor_id());
  out += ", kind=";
  AppendReprQuoted(out, AnchorKindName(self.anchor_kind()));
  out += self.confirmed() ? ", confirmed=true, root=" : ", confirmed=false, root=";
  AppendReprQuoted(out, self.merkle_root_hex());
  out += ')';
  return out;
}

}  // namespace

const ClassDef& AnchorProofClass() {
  static const Class<AnchorProof> def =
      Class<AnchorProof>(kDoc)
          .StaticMethod<ProofJson::FromJson>("from_json", kFromJsonDoc, {"s"})
          .Method<ProofJson::ToJson>("to_json", kToJsonDoc)
          .StaticMethod<ProofJson::FromDict>("from_dict", kFromDictDoc, {"d"})
          .Method<ProofJson::ToDict>("to_dict", kToDictDoc)
          .Getter<AnchorId>("anchor_id")
          .Getter<Kind>("anchor_kind")
          .Getter<MerkleRootHex>("merkle_root_hex")
          .Getter<Confirmed>("confirmed")
          .Getter<AuthoritativeTime>("authoritative_time")
          .Getter<Detail>("detail")
          .Repr<Repr>()
          .Equality();
  return def;
}

}  // namespace qiv::py
