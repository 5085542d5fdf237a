// Small helpers shared by the crypto tests: hexadecimal text to bytes and back.
#ifndef QIV_TESTS_PRIMITIVES_TEST_BYTES_H_
#define QIV_TESTS_PRIMITIVES_TEST_BYTES_H_

#include <algorithm>
#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qiv::testing {

inline std::vector<std::uint8_t> FromHex(std::string_view hex) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw std::invalid_argument("bad hex digit in test data");
  };
  if (hex.size() % 2 != 0) throw std::invalid_argument("odd hex length in test data");
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
  }
  return out;
}

template <std::size_t N>
std::array<std::uint8_t, N> FromHexArray(std::string_view hex) {
  std::vector<std::uint8_t> bytes = FromHex(hex);
  if (bytes.size() != N) throw std::invalid_argument("wrong length in test data");
  std::array<std::uint8_t, N> out;
  std::copy(bytes.begin(), bytes.end(), out.begin());
  return out;
}

}  // namespace qiv::testing

#endif  // QIV_TESTS_PRIMITIVES_TEST_BYTES_H_
