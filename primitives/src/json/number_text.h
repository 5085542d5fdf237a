// Text of the numbers that an "invalid type" message names.
#ifndef QIV_PRIMITIVES_SRC_JSON_NUMBER_TEXT_H_
#define QIV_PRIMITIVES_SRC_JSON_NUMBER_TEXT_H_

#include <string>

namespace qiv::json_internal {

// Appends the fewest significant digits that read back as `value`: fixed notation when the
// decimal exponent of the first significant digit lies from -5 to 15 (a whole number gets
// ".0"), otherwise "<d>[.<digits>]e<+|-><exp>". Zero is "0.0", negative values get a "-".
// `value` must be finite.
void AppendShortestDouble(double value, std::string* out);

}  // namespace qiv::json_internal

#endif  // QIV_PRIMITIVES_SRC_JSON_NUMBER_TEXT_H_
