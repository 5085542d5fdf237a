#include "qiv/signed_envelope/classify.h"

#include <string>

namespace qiv {

// Deployment-specific service names; these are neutral placeholders under reserved names.
const std::array<CounterpartyRule, 10> kCounterpartyRules = {{
    {"addr.tolvan.example", "causal"},
    {"governance.tolvan.example", "compliance"},
    {"compliance.tolvan.example", "compliance"},
    {"payments-one.example", "marketplace"},
    {"payments-two.example", "marketplace"},
    {"payments-three.example", "marketplace"},
    {"integrations.example", "enrichment"},
    {"enrich-one.example", "enrichment"},
    {"enrich-two.example", "enrichment"},
    {"enrich-three.example", "enrichment"},
}};

namespace {

struct HintRule {
  std::string_view hint;
  std::string_view pair_class;
};

constexpr HintRule kHintRules[] = {
    {"tcp", "routing"},     {"quic", "routing"},  {"libp2p", "routing"},
    {"webrtc", "routing"},  {"dns", "discovery"}, {"mdns", "discovery"},
    {"dnssd", "discovery"}, {"x3dh", "trust"},    {"noise", "trust"},
    {"tls-handshake", "trust"},
};

constexpr std::string_view kDefaultPairClass = "routing";

std::string AsciiLower(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return lowered;
}

}  // namespace

std::string_view ClassifyExchange(std::string_view protocol_hint, std::string_view counterparty) {
  const std::string party = AsciiLower(counterparty);
  const std::string hint = AsciiLower(protocol_hint);
  for (const CounterpartyRule& rule : kCounterpartyRules) {
    if (party.find(rule.domain) != std::string::npos) return rule.pair_class;
  }
  for (const HintRule& rule : kHintRules) {
    if (hint == rule.hint) return rule.pair_class;
  }
  return kDefaultPairClass;
}

}  // namespace qiv
