// Matching of call arguments to parameters, without the interpreter.
//
// Every parameter of the module's functions may be given by position or by keyword; the first
// `required` ones must be given. MatchArguments places the positional arguments in order, then
// the keywords in the order they were given, and reports the first problem as the text of the
// TypeError to raise:
//
//   ParamSpec spec{"CounterpartyInfo.__new__()",
//                  {"identifier", "protocol_hint", "peer_address", "counterparty_signature"}, 2};
//   int slots[4];
//   // CounterpartyInfo("a", peer_address=None): 1 positional, keywords {"peer_address"}
//   auto problem = MatchArguments(spec, 1, {{"peer_address"}}, slots);
//   // *problem == "CounterpartyInfo.__new__() missing 1 required positional argument: "
//   //             "'protocol_hint'"
//
// Pure function; thread-safe.
#ifndef QIV_BINDING_MACHINERY_ARG_MATCH_H_
#define QIV_BINDING_MACHINERY_ARG_MATCH_H_

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qiv::py {

// Parameters of one function that takes parameters.
struct ParamSpec {
  std::string full_name;           // "<Class>.<function>()" or "<function>()"
  std::vector<std::string> names;  // in order
  std::size_t required = 0;        // how many leading parameters must be given
};

// slots[i] after a match: the argument index of parameter i (positional arguments first, then
// keyword k at `positional + k`), or kAbsent.
inline constexpr int kAbsent = -1;

// `keywords` are the keyword names as UTF-8 (a name that is not valid UTF-8 may be passed in
// any byte form: it matches no parameter and is quoted as given). `slots` must have
// `spec.names.size()` elements. Returns the TypeError text of the first problem, or nothing.
std::optional<std::string> MatchArguments(const ParamSpec& spec, std::size_t positional,
                                          std::span<const std::string_view> keywords,
                                          std::span<int> slots);

}  // namespace qiv::py

#endif  // QIV_BINDING_MACHINERY_ARG_MATCH_H_
