#include "qiv/signed_envelope/classify.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>

namespace qiv {
namespace {

struct Row {
  std::string_view hint;
  std::string_view counterparty;
  std::string_view expected;
};

TEST(ClassifyExchange, HintTableWithoutCounterparty) {
  const Row rows[] = {
      {"", "", "routing"},
      {"tcp", "", "routing"},
      {"TCP", "", "routing"},
      {"quic", "", "routing"},
      {"libp2p", "", "routing"},
      {"webrtc", "", "routing"},
      {"udp", "", "routing"},
      {"dns", "", "discovery"},
      {"DNS", "", "discovery"},
      {"Dns", "", "discovery"},
      {"mdns", "", "discovery"},
      {"MDNS", "", "discovery"},
      {"dnssd", "", "discovery"},
      {"DnsSd", "", "discovery"},
      {"x3dh", "", "trust"},
      {"X3DH", "", "trust"},
      {"noise", "", "trust"},
      {"NOISE", "", "trust"},
      {"tls-handshake", "", "trust"},
      {"TLS-Handshake", "", "trust"},
      // Whole-text matches only, no trimming.
      {" dns", "", "routing"},
      {"dns ", "", "routing"},
      {"dns\n", "", "routing"},
      {"dns-sd", "", "routing"},
      {"mdns.local", "", "routing"},
      {std::string_view("dns\0", 4), "", "routing"},
      // ASCII-only case folding: full-width letters and a dotless-I lookalike stay as they are.
      {"\xEF\xBD\x84\xEF\xBD\x8E\xEF\xBD\x93", "", "routing"},  // U+FF44 U+FF4E U+FF53
      {"NO\xC4\xB0SE", "", "routing"},                           // U+0130 in place of I
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.hint));
    EXPECT_EQ(ClassifyExchange(row.hint, row.counterparty), row.expected);
  }
}

TEST(ClassifyExchange, CounterpartyRulesWinOverTheHint) {
  const Row rows[] = {
      {"dns", "addr.tolvan.example", "causal"},
      {"noise", "ADDR.Tolvan.EXAMPLE", "causal"},
      {"", "https://user@addr.tolvan.example:8443/path?q=1", "causal"},
      {"dns", "xaddr.tolvan.examplex", "causal"},
      {"dns", "governance.tolvan.example", "compliance"},
      {"dns", "compliance.tolvan.example", "compliance"},
      {"noise", "api.payments-one.example", "marketplace"},
      {"noise", "payments-two.example/v1/charges", "marketplace"},
      {"noise", "PAYMENTS-THREE.EXAMPLE", "marketplace"},
      {"dns", "hooks.integrations.example", "enrichment"},
      {"dns", "enrich-one.example", "enrichment"},
      {"dns", "enrich-two.example", "enrichment"},
      {"dns", "enrich-three.example", "enrichment"},
      // Rule order: the lower rule wins whatever the position in the text.
      {"", "payments-one.example addr.tolvan.example", "causal"},
      {"", "enrich-one.example|payments-two.example", "marketplace"},
      // No rule matches: the hint decides.
      {"dns", "tolvan.example", "discovery"},
      {"dns", "addr.tolvan", "discovery"},
      {"noise", "addr .tolvan.example", "trust"},
      // Non-ASCII upper case is not folded.
      {"dns", "\xC3\x80" "ddr.tolvan.example", "discovery"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.hint) + " / " + std::string(row.counterparty));
    EXPECT_EQ(ClassifyExchange(row.hint, row.counterparty), row.expected);
  }
}

TEST(ClassifyExchange, EveryRuleIsReachableAndLowerCase) {
  for (const CounterpartyRule& rule : kCounterpartyRules) {
    SCOPED_TRACE(std::string(rule.domain));
    EXPECT_TRUE(std::none_of(rule.domain.begin(), rule.domain.end(),
                             [](char c) { return c >= 'A' && c <= 'Z'; }));
    EXPECT_EQ(ClassifyExchange("dns", rule.domain), rule.pair_class);
  }
}

TEST(ClassifyExchange, NeverReturnsTheUnusedPairClasses) {
  for (std::string_view unused : {"composition", "conductance", "mediation", "preference"}) {
    EXPECT_EQ(ClassifyExchange(unused, ""), "routing");
    EXPECT_EQ(ClassifyExchange("", unused), "routing");
  }
}

}  // namespace
}  // namespace qiv
