#include "number_text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace qiv::json_internal {

void AppendShortestDouble(double value, std::string* out) {
  if (std::signbit(value)) out->push_back('-');
  value = std::fabs(value);
  if (value == 0) {
    out->append("0.0");
    return;
  }
  // Shortest round-trip digits in scientific form: d[.ddd]e<sign><exp>.
  char buf[64];
  std::to_chars_result res =
      std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  std::size_t e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_pos)) {
    if (c != '.') digits.push_back(c);
  }
  int exponent = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());

  if (exponent >= -5 && exponent <= 15) {
    if (exponent < 0) {
      out->append("0.");
      out->append(static_cast<std::size_t>(-exponent - 1), '0');
      out->append(digits);
    } else {
      std::size_t int_digits = static_cast<std::size_t>(exponent) + 1;
      if (digits.size() <= int_digits) {
        out->append(digits);
        out->append(int_digits - digits.size(), '0');
        out->append(".0");
      } else {
        out->append(digits, 0, int_digits);
        out->push_back('.');
        out->append(digits, int_digits, std::string::npos);
      }
    }
    return;
  }
  out->push_back(digits[0]);
  if (digits.size() > 1) {
    out->push_back('.');
    out->append(digits, 1, std::string::npos);
  }
  out->push_back('e');
  out->push_back(exponent < 0 ? '-' : '+');
  out->append(std::to_string(std::abs(exponent)));
}

}  // namespace qiv::json_internal
