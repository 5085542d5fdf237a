#include "qiv/primitives/hex.h"

#include <gtest/gtest.h>

namespace qiv {
namespace {

TEST(Hex, WritesTwoLowercaseDigitsPerByte) {
  const std::uint8_t bytes[] = {0x00, 0x0a, 0x10, 0xab, 0xff};
  EXPECT_EQ(HexEncode(bytes), "000a10abff");
  EXPECT_EQ(HexEncode({}), "");
}

}  // namespace
}  // namespace qiv
