// AttestationChain: the certificates and vendor of a hardware key's attestation.
//
// The certificates are base64 texts kept in the order given; nothing here decodes or checks
// them. Software identities carry the empty chain. A chain is empty when it has no
// certificate, whatever its vendor says.
//
//   qiv::AttestationChain chain = qiv::AttestationChain::New({"MIIB...", "MIIC..."}, "acme");
//   chain.is_empty();  // false
//   qiv::AttestationChain::Empty().vendor();  // ""
//
// JSON form (inside a descriptor only): {"certs_b64":[...],"vendor":"..."}, also read as the
// array ["certs_b64 list", "vendor"]; both fields are required.
//
// An immutable value that owns its texts; safe to read from any number of threads.
#ifndef QIV_PRIMITIVES_ATTESTATION_CHAIN_H_
#define QIV_PRIMITIVES_ATTESTATION_CHAIN_H_

#include <string>
#include <utility>
#include <vector>

#include "qiv/primitives/json_record.h"

namespace qiv {

class AttestationChain {
 public:
  // No certificates and the empty vendor.
  static AttestationChain Empty() { return AttestationChain(); }

  static AttestationChain New(std::vector<std::string> certs_b64, std::string vendor) {
    AttestationChain chain;
    chain.certs_b64_ = std::move(certs_b64);
    chain.vendor_ = std::move(vendor);
    return chain;
  }

  const std::vector<std::string>& certs_b64() const { return certs_b64_; }
  const std::string& vendor() const { return vendor_; }

  // True exactly when there is no certificate; the vendor is not looked at.
  bool is_empty() const { return certs_b64_.empty(); }

  // Same certificates in the same order and the same vendor, byte for byte.
  friend bool operator==(const AttestationChain&, const AttestationChain&) = default;

 private:
  friend class json::RecordAccess;

  AttestationChain() = default;

  static constexpr auto JsonDescription() {
    return json::Describe("AttestationChain",
                          json::Field("certs_b64", &AttestationChain::certs_b64_),
                          json::Field("vendor", &AttestationChain::vendor_));
  }

  std::vector<std::string> certs_b64_;
  std::string vendor_;
};

}  // namespace qiv

#endif  // QIV_PRIMITIVES_ATTESTATION_CHAIN_H_
