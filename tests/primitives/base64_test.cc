#include "qiv/primitives/base64.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qiv/primitives/hex.h"

namespace qiv {
namespace {

std::vector<std::uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

TEST(Base64, EncodesStandardAlphabetWithoutPadding) {
  struct Case {
    std::string_view bytes, text;
  } cases[] = {
      {"", ""},           {"f", "Zg"},           {"fo", "Zm8"},        {"foo", "Zm9v"},
      {"foob", "Zm9vYg"}, {"fooba", "Zm9vYmE"}, {"foobar", "Zm9vYmFy"}, {"\xfb\xff", "+/8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Base64Encode(Bytes(c.bytes)), c.text);
    auto decoded = Base64Decode(c.text);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, Bytes(c.bytes));
  }
}

TEST(Base64, RoundTripsEveryLength) {
  for (std::size_t n = 0; n <= 70; ++n) {
    std::vector<std::uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i * 37 + n);
    std::string text = Base64Encode(bytes);
    EXPECT_EQ(text.size(), (4 * n + 2) / 3);
    EXPECT_EQ(Base64Decode(text), bytes) << n;
  }
}

TEST(Base64, RefusesAnythingButTheStrictForm) {
  const std::string_view refused[] = {
      "Zg==",      // padding
      "Zm8=",      // padding
      "Zm9v====",  // padding after a full group
      "Z",         // final group of one character
      "Zm9vY",     // final group of one character
      "Zh",        // unused bits set after a group of two
      "Zm9",       // unused bits set after a group of three
      "Zm9 v",     // space
      "Zm9v\n",    // line feed
      "\tZm9v",    // tab
      "-_8",       // URL-safe alphabet
      "Zm-v",      // URL-safe alphabet
      "Zm9\xc3\xa9",  // non-ASCII
      std::string_view("Zm\0v", 4),  // NUL
  };
  for (std::string_view text : refused) {
    SCOPED_TRACE(HexEncode(Bytes(text)));
    EXPECT_FALSE(Base64Decode(text).has_value());
  }
}

// A 32-byte value has 43 characters whose last one carries four bits of data and two unused
// bits: exactly 16 last characters are possible.
TEST(Base64, ThirtyTwoByteTextsEndInOneOfSixteenCharacters) {
  std::string text = Base64Encode(std::vector<std::uint8_t>(32, 0x5a));
  ASSERT_EQ(text.size(), 43u);
  std::string accepted;
  for (char c : std::string_view(
           "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")) {
    text.back() = c;
    std::array<std::uint8_t, 32> out;
    if (Base64DecodeExact(text, out)) accepted += c;
  }
  EXPECT_EQ(accepted, "AEIMQUYcgkosw048");
}

TEST(Base64, DecodeExactRefusesOtherLengths) {
  std::array<std::uint8_t, 3> out;
  EXPECT_TRUE(Base64DecodeExact("Zm9v", out));
  EXPECT_EQ(out, (std::array<std::uint8_t, 3>{'f', 'o', 'o'}));
  EXPECT_FALSE(Base64DecodeExact("Zm8", out));
  EXPECT_FALSE(Base64DecodeExact("Zm9vYg", out));
  EXPECT_FALSE(Base64DecodeExact("Zm9=", out));
}

}  // namespace
}  // namespace qiv
