// CounterpartyInfo: free-form metadata about the other end of an exchange, built from Python
// and turned into a dict; compared by value, unhashable.
#include "counterparty_info_class.h"

#include <optional>
#include <string>
#include <string_view>

#include "machinery/record_json.h"
#include "module_members.h"

namespace qiv::py {
namespace {

using envelope::CounterpartyInfo;

std::optional<std::string> Owned(std::optional<std::string_view> text) {
  if (!text) return std::nullopt;
  return std::string(*text);
}

CounterpartyInfo New(std::string_view identifier, std::string_view protocol_hint,
                     std::optional<std::string_view> peer_address,
                     std::optional<std::string_view> counterparty_signature) {
  return CounterpartyInfo::Create(std::string(identifier), std::string(protocol_hint),
                                  Owned(peer_address), Owned(counterparty_signature));
}

const std::string& Identifier(const CounterpartyInfo& self) { return self.identifier(); }
const std::string& ProtocolHint(const CounterpartyInfo& self) { return self.protocol_hint(); }
const std::optional<std::string>& PeerAddress(const CounterpartyInfo& self) {
  return self.peer_address();
}
const std::optional<std::string>& CounterpartySignature(const CounterpartyInfo& self) {
  return self.counterparty_signature();
}

// No reader exists for this record: only the dict direction of the bridge is used.
using CounterpartyJson = RecordJson<CounterpartyInfo, "serialize CounterpartyInfo", "">;

std::string Repr(const CounterpartyInfo& self) {
  std::string out = "CounterpartyInfo(identifier=";
  AppendReprQuoted(out, self.identifier());
  out += ", protocol_hint=";
  AppendReprQuoted(out, self.protocol_hint());
  out += ')';
  return out;
}

}  // namespace

const ClassDef& CounterpartyInfoClass() {
  static const Class<CounterpartyInfo> def =
      Class<CounterpartyInfo>(
          "CounterpartyInfo(identifier, protocol_hint, peer_address=None, "
          "counterparty_signature=None)\n--\n\nEverything we know about the other end of an "
          "exchange. Free-form\nmetadata that travels with a `SignedEnvelope`.")
          .Constructor<New>({"identifier", "protocol_hint", "peer_address",
                             "counterparty_signature"},
                            2)
          .Getter<Identifier>("identifier")
          .Getter<ProtocolHint>("protocol_hint")
          .Getter<PeerAddress>("peer_address")
          .Getter<CounterpartySignature>("counterparty_signature")
          .Method<CounterpartyJson::ToDict>("to_dict", kToDictDoc)
          .Repr<Repr>()
          .Equality();
  return def;
}

}  // namespace qiv::py
