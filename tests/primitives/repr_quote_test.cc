#include "qiv/primitives/repr_quote.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "qiv/primitives/unicode.h"

namespace qiv {
namespace {

struct QuoteCase {
  std::string input;
  std::string expected;  // without the surrounding quotes
};

TEST(ReprQuoted, AppliesTheQuotingRuleCharacterByCharacter) {
  const QuoteCase cases[] = {
      {"", ""},
      {"plain text", "plain text"},
      {std::string("a\0b", 3), "a\\0b"},
      {"\t\n\r", "\\t\\n\\r"},
      {"back\\slash", "back\\\\slash"},
      {"say \"hi\"", "say \\\"hi\\\""},
      {"it's", "it's"},
      // Other controls, and the characters the rule names.
      {"\x01", "\\u{1}"},
      {"\x1b[0m", "\\u{1b}[0m"},
      {"\x7f", "\\u{7f}"},
      {"\xc2\x85", "\\u{85}"},        // U+0085, Cc
      {"a\xcc\x81", "a\\u{301}"},     // U+0301 combining acute, Grapheme_Extend
      {"\xc2\xa0", "\\u{a0}"},        // U+00A0 no-break space, Zs
      {"\xc2\xad", "\\u{ad}"},        // U+00AD soft hyphen, Cf
      {"\xe2\x80\xa8\xe2\x80\xa9", "\\u{2028}\\u{2029}"},  // Zl, Zp
      {"\xe3\x80\x80", "\\u{3000}"},  // ideographic space, Zs
      {"\xe2\x80\x8d", "\\u{200d}"},  // zero width joiner, Cf
      {"\xee\x80\x80", "\\u{e000}"},  // private use, Co
      {"\xef\xbf\xbf", "\\u{ffff}"},  // noncharacter, Cn
      {"\xf4\x8f\xbf\xbf", "\\u{10ffff}"},
      {"\xf0\x9f\x8f\xbb", "\xf0\x9f\x8f\xbb"},  // U+1F3FB emoji modifier, Sk: kept
      // Printable non-ASCII is kept as UTF-8.
      {"caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80"},
      {"\xef\xbf\xbd", "\xef\xbf\xbd"},  // U+FFFD is a symbol
      // Grapheme_Extend wins over a category that would be printable: a spacing mark (U+09BE),
      // a modifier letter (U+FF9E) and a format character (U+200C).
      {"\xe0\xa6\xbe", "\\u{9be}"},
      {"\xef\xbe\x9e", "\\u{ff9e}"},
      {"\xe2\x80\x8c", "\\u{200c}"},
      // Assigned in Unicode 16.0: kept; their unassigned neighbours escaped.
      {"\xe2\x90\xa9", "\xe2\x90\xa9"},          // U+2429
      {"\xe2\x90\xaa", "\\u{242a}"},             // U+242A unassigned
      {"\xe1\xb2\x89\xe1\xb2\x8a", "\xe1\xb2\x89\xe1\xb2\x8a"},  // U+1C89, U+1C8A
      {"\xe1\xb2\x8b", "\\u{1c8b}"},
      {"\xf0\x90\xb5\x80", "\xf0\x90\xb5\x80"},  // U+10D40 Garay digit zero
      // Assigned in Unicode 17.0: kept; their unassigned neighbours escaped.
      {"\xe2\x83\x81", "\xe2\x83\x81"},          // U+20C1
      {"\xe2\x83\x82", "\\u{20c2}"},             // U+20C2 unassigned
      {"\xf0\xb3\x91\xb9", "\xf0\xb3\x91\xb9"},  // U+33479, last of CJK extension J
      {"\xf0\xb3\x91\xba", "\\u{3347a}"},
  };
  for (const QuoteCase& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(ReprQuoted(c.input), "\"" + c.expected + "\"");
  }
}

TEST(ReprQuoted, AppendsToExistingText) {
  std::string out = "Name(";
  AppendReprQuoted(out, "x\ny");
  out += ")";
  EXPECT_EQ(out, "Name(\"x\\ny\")");
}

TEST(ReprQuotedPath, WritesBytesOutsideValidUtf8AsUpperCaseHex) {
  const QuoteCase cases[] = {
      {"q/../q", "q/../q"},
      {"/home/u/caf\xc3\xa9", "/home/u/caf\xc3\xa9"},
      {"a\xff" "b", "a\\xFFb"},
      {"\x80", "\\x80"},
      {"\xc3", "\\xC3"},                        // truncated at the end
      {"\xe2\x82" "A", "\\xE2\\x82A"},          // truncated before an ASCII byte
      {"\xc0\xaf", "\\xC0\\xAF"},               // overlong
      {"\xed\xa0\x80", "\\xED\\xA0\\x80"},      // encoded surrogate
      {"\xf4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},  // above U+10FFFF
      {"\xfe\xc3\xa9", "\\xFE\xc3\xa9"},        // a valid character right after a bad byte
      {"\xc2\xa0\xff\"\t", "\\u{a0}\\xFF\\\"\\t"},
  };
  for (const QuoteCase& c : cases) {
    SCOPED_TRACE(c.expected);
    std::string out;
    AppendReprQuotedPath(out, c.input);
    EXPECT_EQ(out, "\"" + c.expected + "\"");
  }
}

TEST(Unicode, WhiteSpaceIsExactlyTheWhiteSpaceProperty) {
  const char32_t white[] = {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680, 0x2000,
                            0x2005, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  for (char32_t c : white) EXPECT_TRUE(IsUnicodeWhiteSpace(c)) << std::hex << static_cast<std::uint32_t>(c);
  const char32_t not_white[] = {0x00, 0x08, 0x0E, 0x1C, 0x1F, 0x21, 0x84, 0x180E, 0x200B,
                                0x2060, 0xFEFF, 0x3001, 0x110000};
  for (char32_t c : not_white) EXPECT_FALSE(IsUnicodeWhiteSpace(c)) << std::hex << static_cast<std::uint32_t>(c);
}

TEST(Unicode, DecodesOnlyShortestFormScalarValues) {
  struct Case {
    std::string bytes;
    std::size_t length;
    char32_t value;
  };
  const Case cases[] = {
      {"A", 1, U'A'},
      {"\xc2\x80", 2, 0x80},
      {"\xdf\xbf", 2, 0x7FF},
      {"\xe0\xa0\x80", 3, 0x800},
      {"\xed\x9f\xbf", 3, 0xD7FF},
      {"\xee\x80\x80", 3, 0xE000},
      {"\xf0\x90\x80\x80", 4, 0x10000},
      {"\xf4\x8f\xbf\xbf", 4, 0x10FFFF},
      {"\xc1\xbf", 0, 0},
      {"\xe0\x9f\xbf", 0, 0},
      {"\xed\xa0\x80", 0, 0},
      {"\xf0\x8f\xbf\xbf", 0, 0},
      {"\xf4\x90\x80\x80", 0, 0},
      {"\xf5\x80\x80\x80", 0, 0},
      {"\xe2\x82", 0, 0},
      {"\xe2\x82\x41", 0, 0},
      {"\x80", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    char32_t out = 0;
    EXPECT_EQ(DecodeUtf8Char(c.bytes, 0, out), c.length);
    EXPECT_EQ(out, c.value);
  }
  char32_t out = 0;
  EXPECT_EQ(DecodeUtf8Char("ab", 2, out), 0u);
}

}  // namespace
}  // namespace qiv
