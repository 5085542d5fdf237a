#include "machinery/arg_match.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qiv::py {
namespace {

struct Row {
  ParamSpec spec;
  std::size_t positional;
  std::vector<std::string_view> keywords;
  std::optional<std::string> problem;  // nothing: matched
  std::vector<int> slots;              // when matched
};

const ParamSpec kNone{"Thing.__new__()", {}, 0};
const ParamSpec kOne{"MockAnchor.submit()", {"merkle_root"}, 1};
const ParamSpec kTwo{"classify_exchange()", {"protocol_hint", "counterparty"}, 2};
const ParamSpec kOptional{"AttestationChain.__new__()", {"certs_b64", "vendor"}, 0};
const ParamSpec kThree{"ProtocolAddress.__new__()", {"address_class", "type_", "ref_"}, 3};
const ParamSpec kFour{"CounterpartyInfo.__new__()",
                      {"identifier", "protocol_hint", "peer_address", "counterparty_signature"},
                      2};

TEST(MatchArguments, PlacesArgumentsOrReportsTheFirstProblem) {
  const Row rows[] = {
      {kNone, 0, {}, std::nullopt, {}},
      {kNone, 1, {}, "Thing.__new__() takes 0 positional arguments but 1 was given", {}},
      {kNone, 0, {"x"}, "Thing.__new__() got an unexpected keyword argument 'x'", {}},
      {kOne, 1, {}, std::nullopt, {0}},
      {kOne, 0, {"merkle_root"}, std::nullopt, {0}},
      {kOne, 2, {}, "MockAnchor.submit() takes 1 positional arguments but 2 were given", {}},
      {kOne, 1, {"merkle_root"},
       "MockAnchor.submit() got multiple values for argument 'merkle_root'", {}},
      {kOne, 0, {}, "MockAnchor.submit() missing 1 required positional argument: 'merkle_root'",
       {}},
      {kOne, 0, {"Merkle_root"},
       "MockAnchor.submit() got an unexpected keyword argument 'Merkle_root'", {}},
      {kTwo, 1, {}, "classify_exchange() missing 1 required positional argument: 'counterparty'",
       {}},
      {kTwo, 0, {},
       "classify_exchange() missing 2 required positional arguments: 'protocol_hint' and "
       "'counterparty'",
       {}},
      {kTwo, 3, {}, "classify_exchange() takes 2 positional arguments but 3 were given", {}},
      {kTwo, 0, {"counterparty", "protocol_hint"}, std::nullopt, {1, 0}},
      {kOptional, 0, {}, std::nullopt, {kAbsent, kAbsent}},
      {kOptional, 0, {"vendor"}, std::nullopt, {kAbsent, 0}},
      {kOptional, 3, {},
       "AttestationChain.__new__() takes from 0 to 2 positional arguments but 3 were given", {}},
      {kOptional, 1, {"certs_b64"},
       "AttestationChain.__new__() got multiple values for argument 'certs_b64'", {}},
      {kThree, 0, {},
       "ProtocolAddress.__new__() missing 3 required positional arguments: 'address_class', "
       "'type_', and 'ref_'",
       {}},
      {kThree, 1, {"ref_"},
       "ProtocolAddress.__new__() missing 1 required positional argument: 'type_'", {}},
      {kThree, 2, {"ref_"}, std::nullopt, {0, 1, 2}},
      {kFour, 1, {},
       "CounterpartyInfo.__new__() missing 1 required positional argument: 'protocol_hint'", {}},
      {kFour, 5, {},
       "CounterpartyInfo.__new__() takes from 2 to 4 positional arguments but 5 were given", {}},
      {kFour, 2, {"counterparty_signature"}, std::nullopt, {0, 1, kAbsent, 2}},
      // Keywords are checked in the order given, before missing parameters.
      {kFour, 0, {"bogus", "identifier"},
       "CounterpartyInfo.__new__() got an unexpected keyword argument 'bogus'", {}},
      {kFour, 1, {"peer_address", "identifier"},
       "CounterpartyInfo.__new__() got multiple values for argument 'identifier'", {}},
      // Too many positional arguments is reported before a bad keyword.
      {kFour, 5, {"bogus"},
       "CounterpartyInfo.__new__() takes from 2 to 4 positional arguments but 5 were given", {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.spec.full_name + " positional=" + std::to_string(row.positional));
    std::vector<int> slots(row.spec.names.size(), 99);
    auto problem = MatchArguments(row.spec, row.positional, row.keywords, slots);
    EXPECT_EQ(problem, row.problem);
    if (!row.problem) {
      EXPECT_EQ(slots, row.slots);
    }
  }
}

}  // namespace
}  // namespace qiv::py
