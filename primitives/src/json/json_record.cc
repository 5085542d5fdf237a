#include "qiv/primitives/json_record.h"

namespace qiv::json::internal {

std::string DuplicateFieldMessage(std::string_view key) {
  std::string out = "duplicate field `";
  out.append(key).push_back('`');
  return out;
}

std::string MissingFieldMessage(std::string_view key) {
  std::string out = "missing field `";
  out.append(key).push_back('`');
  return out;
}

std::string InvalidLengthMessage(std::size_t position, std::string_view record_name,
                                 std::size_t field_count) {
  std::string out = "invalid length ";
  out += std::to_string(position);
  out += ", expected struct ";
  out += record_name;
  out += " with ";
  out += std::to_string(field_count);
  out += " elements";
  return out;
}

}  // namespace qiv::json::internal
