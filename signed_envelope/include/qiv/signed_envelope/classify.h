// Exchange classification: the pair class under which an exchange is emitted.
//
// ClassifyExchange looks at the counterparty first, for the host names and domains of a few
// known services (the system's own, payment providers, integration and data-enrichment
// providers); only when none occurs does the protocol hint decide, by an exact-match table
// (transport protocols under "routing", name discovery under "discovery", key agreement and
// handshakes under "trust"). Both texts are lower-cased byte by byte in ASCII only, with no
// trimming and no other normalisation. The result is one of seven constant texts.
//
//   qiv::ClassifyExchange("DNS", "");                            // "discovery"
//   qiv::ClassifyExchange("noise", "https://ADDR.tolvan.example/x");  // "causal"
//
// Pure function of its arguments; thread-safe.
#ifndef QIV_SIGNED_ENVELOPE_CLASSIFY_H_
#define QIV_SIGNED_ENVELOPE_CLASSIFY_H_

#include <array>
#include <string_view>

namespace qiv {

// The pair-class vocabulary, in documentation order. ClassifyExchange returns only routing,
// discovery, enrichment, causal, marketplace, trust and compliance.
inline constexpr std::array<std::string_view, 11> kPairClasses = {
    "routing", "discovery",   "enrichment", "composition", "causal",    "marketplace",
    "trust",   "compliance",  "conductance", "mediation",  "preference"};

// One counterparty rule: `domain` (lower-case ASCII) anywhere in the lower-cased counterparty
// gives `pair_class`. Rules are tried in table order.
struct CounterpartyRule {
  std::string_view domain;
  std::string_view pair_class;
};

// The ten counterparty rules, in evaluation order: three host names under the system's own
// domain (addressing, governance, compliance services), three payment providers, one
// integration provider, three data-enrichment providers.
extern const std::array<CounterpartyRule, 10> kCounterpartyRules;

// Returns a text with static lifetime.
std::string_view ClassifyExchange(std::string_view protocol_hint, std::string_view counterparty);

}  // namespace qiv

#endif  // QIV_SIGNED_ENVELOPE_CLASSIFY_H_
