#include "machinery/arg_match.h"

#include <algorithm>
#include <string>

namespace qiv::py {
namespace {

std::string TooManyPositional(const ParamSpec& spec, std::size_t given) {
  std::string message = spec.full_name + " takes ";
  if (spec.required == spec.names.size()) {
    message += std::to_string(spec.names.size());
  } else {
    message += "from " + std::to_string(spec.required) + " to " + std::to_string(spec.names.size());
  }
  message += " positional arguments but " + std::to_string(given) +
             (given == 1 ? " was given" : " were given");
  return message;
}

std::string Missing(const ParamSpec& spec, const std::vector<std::size_t>& missing) {
  std::string message = spec.full_name + " missing " + std::to_string(missing.size()) +
                        " required positional " +
                        (missing.size() == 1 ? "argument: " : "arguments: ");
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() == 2) {
        message += " and ";
      } else {
        message += i + 1 == missing.size() ? ", and " : ", ";
      }
    }
    message += "'" + spec.names[missing[i]] + "'";
  }
  return message;
}

}  // namespace

std::optional<std::string> MatchArguments(const ParamSpec& spec, std::size_t positional,
                                          std::span<const std::string_view> keywords,
                                          std::span<int> slots) {
  const std::size_t count = spec.names.size();
  if (positional > count) return TooManyPositional(spec, positional);
  std::fill(slots.begin(), slots.end(), kAbsent);
  for (std::size_t i = 0; i < positional; ++i) slots[i] = static_cast<int>(i);

  for (std::size_t k = 0; k < keywords.size(); ++k) {
    auto it = std::find(spec.names.begin(), spec.names.end(), keywords[k]);
    if (it == spec.names.end()) {
      return spec.full_name + " got an unexpected keyword argument '" + std::string(keywords[k]) +
             "'";
    }
    const std::size_t index = static_cast<std::size_t>(it - spec.names.begin());
    if (slots[index] != kAbsent) {
      return spec.full_name + " got multiple values for argument '" + std::string(keywords[k]) +
             "'";
    }
    slots[index] = static_cast<int>(positional + k);
  }

  std::vector<std::size_t> missing;
  for (std::size_t i = 0; i < spec.required; ++i) {
    if (slots[i] == kAbsent) missing.push_back(i);
  }
  if (!missing.empty()) return Missing(spec, missing);
  return std::nullopt;
}

}  // namespace qiv::py
