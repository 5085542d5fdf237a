// AttestationChain: a value class built by its constructor or copied out of a descriptor.
#include "attestation_chain_class.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "module_members.h"

namespace qiv::py {
namespace {

constexpr char kDoc[] =
    "AttestationChain(certs_b64=..., vendor=...)\n--\n\n"
    "Hardware attestation chain. Empty for software identities; non-empty\n"
    "for Secure Enclave / TPM / YubiKey / threshold identities.";

// Both parameters are optional: an omitted one arrives as the empty list or text. The list
// is converted before the vendor, so its error wins when both are wrong.
AttestationChain New(std::vector<std::string> certs_b64, std::string_view vendor) {
  return AttestationChain::New(std::move(certs_b64), std::string(vendor));
}

const std::vector<std::string>& CertsB64(const AttestationChain& self) { return self.certs_b64(); }
const std::string& Vendor(const AttestationChain& self) { return self.vendor(); }
bool IsEmpty(const AttestationChain& self) { return self.is_empty(); }

std::string Repr(const AttestationChain& self) {
  std::string out = "AttestationChain(vendor=";
  AppendReprQuoted(out, self.vendor());
  out += ", certs=" + std::to_string(self.certs_b64().size()) + ")";
  return out;
}

}  // namespace

const ClassDef& AttestationChainClass() {
  static const Class<AttestationChain> def =
      Class<AttestationChain>(kDoc)
          .Constructor<New>({"certs_b64", "vendor"}, 0)
          .Getter<CertsB64>("certs_b64")
          .Getter<Vendor>("vendor")
          .Method<IsEmpty>("is_empty", "is_empty($self)\n--\n\n")
          .Repr<Repr>()
          .Equality();
  return def;
}

}  // namespace qiv::py
