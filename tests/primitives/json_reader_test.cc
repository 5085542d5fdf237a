// Syntax, position and found-value rules of the JSON reader, exercised through the smallest
// real record (ProtocolAddress) and through the reader's own value readers.
#include "qiv/primitives/json_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qiv/primitives/address.h"
#include "qiv/primitives/json_record.h"

namespace qiv {
namespace {

struct ErrorCase {
  std::string input;
  std::string message;
  std::size_t line;
  std::size_t column;
};

std::span<const std::uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

void ExpectAddressError(const ErrorCase& c, bool byte_form) {
  SCOPED_TRACE((byte_form ? "bytes: " : "text: ") + c.input);
  auto result = byte_form ? json::ReadRecordFromBytes<ProtocolAddress>(Bytes(c.input))
                          : json::ReadRecordFromText<ProtocolAddress>(c.input);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message(), c.message);
  EXPECT_EQ(result.error().line(), c.line);
  EXPECT_EQ(result.error().column(), c.column);
}

const std::string kUnknownClass =
    "expected one of `body`, `act`, `datum`, `prop`, `discard`, `pair`, `doc`, `evidence`, "
    "`route`, `mediation`";

TEST(JsonReader, ReportsRecordErrorsWithExactPositions) {
  const std::vector<ErrorCase> cases = {
      {"", "EOF while parsing a value", 1, 0},
      {"  ", "EOF while parsing a value", 1, 2},
      {R"({"class":"body","type":"peer","ref":"x"} x)", "trailing characters", 1, 42},
      {R"({"class":"body","type":"x"})", "missing field `ref`", 1, 27},
      {"{}", "missing field `class`", 1, 2},
      {"{ \n }", "missing field `class`", 2, 2},
      {R"({"type":"a","type":"b"})", "duplicate field `type`", 1, 18},
      {"{\"type\":\"a\",\"type\"  \n :\"b\"}", "duplicate field `type`", 2, 1},
      {R"({"class":"Body","type":"x","ref":"y"})", "unknown variant `Body`, " + kUnknownClass,
       1, 15},
      {R"({"class":"Body" ,"type":"x","ref":"y"})", "unknown variant `Body`, " + kUnknownClass,
       1, 15},
      {R"({"class":{"body":1},"type":"x","ref":"y"})",
       "invalid type: integer `1`, expected unit", 1, 18},
      {R"({"class":5,"type":"x","ref":"y"})", "expected value", 1, 10},
      {R"({"class":null,"type":"x","ref":"y"})", "expected value", 1, 10},
      {R"(["body","x"])", "invalid length 2, expected struct ProtocolAddress with 3 elements", 1,
       12},
      {R"([])", "invalid length 0, expected struct ProtocolAddress with 3 elements", 1, 2},
      {R"(["body","x","y","z"])", "trailing characters", 1, 17},
      {R"(["body","x","y",])", "trailing comma", 1, 17},
      {R"(["body","x","y",)", "trailing characters", 1, 16},
      {"null", "invalid type: null, expected struct ProtocolAddress", 1, 4},
      {R"("tvq://body/x/y")",
       "invalid type: string \"tvq://body/x/y\", expected struct ProtocolAddress", 1, 16},
      {"true", "invalid type: boolean `true`, expected struct ProtocolAddress", 1, 4},
      // The found string is the decoded text, written by the representation quoting rule.
      {R"("\u0041\t\"'\\\u0000")",
       "invalid type: string \"A\\t\\\"'\\\\\\0\", expected struct ProtocolAddress", 1, 21},
      {"\"caf\xC3\xA9\"", "invalid type: string \"caf\xC3\xA9\", expected struct ProtocolAddress", 1, 7},
      {"false", "invalid type: boolean `false`, expected struct ProtocolAddress", 1, 5},
      {"{\n  \"class\": \"body\",\n  \"type\": 5\n}", "invalid type: integer `5`, expected a string",
       3, 11},
      {R"({"class":"body","type":[1],"ref":"y"})", "invalid type: sequence, expected a string", 1,
       23},
      {R"({"type":{"a":1}})", "invalid type: map, expected a string", 1, 8},
      {"{\"type\":\"a\nb\"}",
       "control character (\\u0000-\\u001F) found while parsing a string", 2, 0},
      {"{\"type\":\"a\tb\"}",
       "control character (\\u0000-\\u001F) found while parsing a string", 1, 11},
      {R"({"type":"\x"})", "invalid escape", 1, 11},
      {R"({"type":"\udc00"})", "lone leading surrogate in hex escape", 1, 15},
      {R"({"type":"\ud83d"})", "unexpected end of hex escape", 1, 16},
      {R"({"type":"\ud83d\x"})", "unexpected end of hex escape", 1, 17},
      {R"({"type":"\ud83d\u0041"})", "lone leading surrogate in hex escape", 1, 21},
      {R"({"type":"\ud83d)", "EOF while parsing a string", 1, 15},
      {R"({"type":"\u12)", "EOF while parsing a string", 1, 13},
      {R"({"type":"\u12G4"})", "invalid escape", 1, 15},
      {R"({"type":"\)", "EOF while parsing a string", 1, 10},
      {R"({"type":"ab)", "EOF while parsing a string", 1, 11},
      {"{1:2}", "key must be a string", 1, 2},
      {R"({"class":"body",})", "trailing comma", 1, 17},
      {R"({"class":"body",)", "EOF while parsing a value", 1, 16},
      {R"({"class":"body",1})", "key must be a string", 1, 17},
      {R"({"class":"body" "type":"x"})", "expected `,` or `}`", 1, 17},
      {R"({"class":"body")", "EOF while parsing an object", 1, 15},
      {R"({"class" "body"})", "expected `:`", 1, 10},
      {R"({"class")", "EOF while parsing an object", 1, 8},
      {"{", "EOF while parsing an object", 1, 1},
      {"[", "EOF while parsing a list", 1, 1},
      {R"(["body")", "EOF while parsing a list", 1, 7},
      {R"(["body" "x"])", "expected `,` or `]`", 1, 9},
      {R"(["body",)", "EOF while parsing a value", 1, 8},
      {R"(["body",])", "trailing comma", 1, 9},
      {R"({"zz":[1,]})", "expected value", 1, 10},
      {"\xEF\xBB\xBF{}", "expected value", 1, 1},
      {"\f{}", "expected value", 1, 1},
      {R"({"type":nul})", "expected ident", 1, 12},
      {R"({"type":nu)", "EOF while parsing a value", 1, 10},
      {R"({"type":x})", "expected value", 1, 9},
      {R"({"class":"body","type":"x","ref":"y"}})", "trailing characters", 1, 38},
  };
  for (const ErrorCase& c : cases) {
    ExpectAddressError(c, /*byte_form=*/false);
    ExpectAddressError(c, /*byte_form=*/true);
  }
}

TEST(JsonReader, NamesFoundNumbers) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"5", "integer `5`"},
      {"0", "integer `0`"},
      {"-1", "integer `-1`"},
      {"18446744073709551615", "integer `18446744073709551615`"},
      {"-9223372036854775808", "integer `-9223372036854775808`"},
      {"-9223372036854775809", "floating point `-9.223372036854776e+18`"},
      {"18446744073709551616", "floating point `1.8446744073709552e+19`"},
      {"-0", "floating point `-0.0`"},
      {"0.0", "floating point `0.0`"},
      {"1.5", "floating point `1.5`"},
      {"1e2", "floating point `100.0`"},
      {"1E+2", "floating point `100.0`"},
      {"1e16", "floating point `1e+16`"},
      {"1e15", "floating point `1000000000000000.0`"},
      {"123.456e-2", "floating point `1.23456`"},
      {"0.00001", "floating point `0.00001`"},
      {"0.000001", "floating point `1e-6`"},
      {"1.5e-7", "floating point `1.5e-7`"},
      {"-2.5e300", "floating point `-2.5e+300`"},
      {"0.1", "floating point `0.1`"},
      {"1e-400", "floating point `0.0`"},
      {"-1e-400", "floating point `-0.0`"},
      {"5e-324", "floating point `5e-324`"},
      {"1.7976931348623157e308", "floating point `1.7976931348623157e+308`"},
  };
  for (const auto& [number, found] : cases) {
    std::string input = "{\"type\":" + number + "}";
    SCOPED_TRACE(input);
    auto result = json::ReadRecordFromText<ProtocolAddress>(input);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message(), "invalid type: " + found + ", expected a string");
    EXPECT_EQ(result.error().column(), input.size() - 1);
  }
}

TEST(JsonReader, RejectsMalformedNumbersWherever) {
  // The same number rules hold for a found value and for a skipped one.
  const std::vector<std::tuple<std::string, std::string, std::size_t>> cases = {
      {"-}", "invalid number", 2},     // the byte after "-" counts as read
      {"-", "invalid number", 1},      // at the end
      {"01}", "invalid number", 2},    // at the second digit
      {"1.}", "invalid number", 3},    // at the byte after "."
      {"1.", "invalid number", 2},     // at the end
      {"1e}", "invalid number", 3},    // the non-digit counts as read
      {"1e+}", "invalid number", 4},
      {"1e", "invalid number", 2},
  };
  for (const auto& [number, message, column_in_value] : cases) {
    for (std::string prefix : {"{\"type\":", "{\"zz\":"}) {
      std::string input = prefix + number;
      SCOPED_TRACE(input);
      auto result = json::ReadRecordFromText<ProtocolAddress>(input);
      ASSERT_FALSE(result.ok());
      EXPECT_EQ(result.error().message(), message);
      EXPECT_EQ(result.error().column(), prefix.size() + column_in_value);
    }
  }
  auto huge = json::ReadRecordFromText<ProtocolAddress>(R"({"type":1e999})");
  ASSERT_FALSE(huge.ok());
  EXPECT_EQ(huge.error().ToString(), "number out of range at line 1 column 13");
  // A skipped number has no range check.
  EXPECT_TRUE(json::ReadRecordFromText<ProtocolAddress>(
                  R"({"zz":-1e999,"class":"body","type":"x","ref":"y"})")
                  .ok());
}

TEST(JsonReader, DecodesEscapesAndMatchesKeysAfterDecoding) {
  auto a = json::ReadRecordFromText<ProtocolAddress>(
      R"({"cl\u0061ss":"body","type":"\ud83d\ude00 \"\\\/\b\f\n\r\t\u00e9","ref":"x"})");
  ASSERT_TRUE(a.ok()) << a.error().ToString();
  EXPECT_EQ(a->type(), "\xF0\x9F\x98\x80 \"\\/\b\f\n\r\t\xC3\xA9");
  // Keys differing in case are unknown and skipped.
  auto b = json::ReadRecordFromText<ProtocolAddress>(R"({"Class":"body","type":"x","ref":"y"})");
  ASSERT_FALSE(b.ok());
  EXPECT_EQ(b.error().ToString(), "missing field `class` at line 1 column 37");
  // Whitespace of all four kinds around every token.
  auto c = json::ReadRecordFromText<ProtocolAddress>(
      " \t\r\n{ \"class\" : \"act\" ,\r\n\t\"type\":\"\" , \"ref\" :\"r\" } \n\t\r ");
  ASSERT_TRUE(c.ok()) << c.error().ToString();
  EXPECT_EQ(*c, ProtocolAddress::New(AddressClass::kAct, "", "r"));
}

TEST(JsonReader, SkipsAnyWellFormedUnknownValue) {
  const std::vector<std::string> unknown_values = {
      "null", "true", "false", "0", "-12.5e+3", "\"\\udc00\\ud800\\u0000\"", "[]", "{}",
      "[1,[2,{\"a\":[{}]}],\"x\"]", "{\"a\":{\"b\":null},\"a\":1}", " [ 1 , { } ] ",
  };
  for (const std::string& value : unknown_values) {
    std::string input = "{\"zz\":" + value + ",\"class\":\"body\",\"type\":\"x\",\"ref\":\"y\"}";
    SCOPED_TRACE(input);
    auto result = json::ReadRecordFromText<ProtocolAddress>(input);
    ASSERT_TRUE(result.ok()) << result.error().ToString();
    EXPECT_EQ(*result, ProtocolAddress::New(AddressClass::kBody, "x", "y"));
  }
}

TEST(JsonReader, ReportsMalformedSkippedValues) {
  const std::vector<ErrorCase> cases = {
      {R"({"zz":)", "EOF while parsing a value", 1, 6},
      {R"({"zz":[)", "EOF while parsing a list", 1, 7},
      {R"({"zz":[1)", "EOF while parsing a list", 1, 8},
      {R"({"zz":[1,)", "EOF while parsing a value", 1, 9},
      {R"({"zz":[1 2]})", "expected `,` or `]`", 1, 10},
      {R"({"zz":[,1]})", "expected value", 1, 8},
      {R"({"zz":{)", "EOF while parsing an object", 1, 7},
      {R"({"zz":{1:2}})", "key must be a string", 1, 8},
      {R"({"zz":{"a" 1}})", "expected `:`", 1, 12},
      {R"({"zz":{"a")", "EOF while parsing an object", 1, 10},
      {R"({"zz":{"a":1,}})", "key must be a string", 1, 14},
      {R"({"zz":{"a":1,)", "EOF while parsing an object", 1, 13},
      {R"({"zz":{"a":1 "b":2}})", "expected `,` or `}`", 1, 14},
      {R"({"zz":{"a":1)", "EOF while parsing an object", 1, 12},
      {R"({"zz":tru})", "expected ident", 1, 10},
      {R"({"zz":x})", "expected value", 1, 7},
      {R"({"zz":"\x"})", "invalid escape", 1, 9},
      {R"({"zz":"\u00G0"})", "invalid escape", 1, 13},
      {R"({"zz":"\u00)", "EOF while parsing a string", 1, 11},
      {R"({"zz":"ab)", "EOF while parsing a string", 1, 9},
      // A control byte inside a skipped string is reported before the byte.
      {"{\"zz\":\"a\nb\"}", "control character (\\u0000-\\u001F) found while parsing a string", 1,
       8},
  };
  for (const ErrorCase& c : cases) {
    ExpectAddressError(c, /*byte_form=*/false);
    ExpectAddressError(c, /*byte_form=*/true);
  }
}

TEST(JsonReader, SkipsDeepValuesWithoutRecursion) {
  constexpr int kDepth = 100000;
  std::string deep = std::string(kDepth, '[') + std::string(kDepth, ']');
  std::string input = "{\"zz\":" + deep + ",\"class\":\"body\",\"type\":\"x\",\"ref\":\"y\"}";
  auto ok = json::ReadRecordFromText<ProtocolAddress>(input);
  ASSERT_TRUE(ok.ok()) << ok.error().ToString();

  std::string objects;
  for (int i = 0; i < kDepth; ++i) objects += "{\"a\":";
  objects += "null" + std::string(kDepth, '}');
  ASSERT_TRUE(json::ReadRecordFromText<ProtocolAddress>(
                  "{\"zz\":" + objects + ",\"class\":\"body\",\"type\":\"x\",\"ref\":\"y\"}")
                  .ok());

  std::string unclosed = "{\"zz\":" + std::string(kDepth, '[');
  auto bad = json::ReadRecordFromText<ProtocolAddress>(unclosed);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message(), "EOF while parsing a list");
  EXPECT_EQ(bad.error().column(), unclosed.size());
}

TEST(JsonReader, ChecksUtf8OnlyInByteForm) {
  const std::string bad_text = "{\"type\":\"\xFF\"}";
  auto bytes = json::ReadRecordFromBytes<ProtocolAddress>(Bytes(bad_text));
  ASSERT_FALSE(bytes.ok());
  EXPECT_EQ(bytes.error().ToString(), "invalid unicode code point at line 1 column 11");

  const std::vector<ErrorCase> cases = {
      // Raw bytes next to an escape are checked as one decoded string.
      {"{\"type\":\"\xC3\\u00a9\"}", "invalid unicode code point", 1, 17},
      {"{\"type\":\"\xED\xA0\x80\"}", "invalid unicode code point", 1, 13},  // surrogate
      {"{\"type\":\"\xC0\xAF\"}", "invalid unicode code point", 1, 12},      // overlong
      {"{\"type\":\"\xF4\x90\x80\x80\"}", "invalid unicode code point", 1, 14},
      {"{\"\xFF\":1}", "invalid unicode code point", 1, 4},  // unknown keys too
      {"{\"class\":\"b\xFF\"}", "invalid unicode code point", 1, 13},
  };
  for (const ErrorCase& c : cases) ExpectAddressError(c, /*byte_form=*/true);

  // Unknown values are not checked, and valid multi-byte text reads in both forms.
  const std::string skipped =
      "{\"zz\":[\"\xFF\\udc00\"],\"class\":\"body\",\"type\":\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\","
      "\"ref\":\"y\"}";
  auto s = json::ReadRecordFromBytes<ProtocolAddress>(Bytes(skipped));
  ASSERT_TRUE(s.ok()) << s.error().ToString();
  EXPECT_EQ(s->type(), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
}

TEST(JsonReader, LimitsDepthAt128Levels) {
  std::string input(200, '[');
  JsonReader reader = JsonReader::OverText(input);
  for (int level = 1; level < JsonReader::kMaxDepth; ++level) {
    ASSERT_TRUE(reader.EnterContainer()) << level;
    reader.Advance();
  }
  ASSERT_FALSE(reader.EnterContainer());
  EXPECT_EQ(reader.error().ToString(), "recursion limit exceeded at line 1 column 128");
}

TEST(JsonReader, ValueReadersStopAtTheirValue) {
  JsonReader reader = JsonReader::OverText(" \"a\\u0062c\" , true [\"x\",\"\"] null 7");
  std::string text;
  ASSERT_TRUE(reader.ReadText(&text));
  EXPECT_EQ(text, "abc");
  EXPECT_EQ(reader.offset(), 11u);
  ASSERT_EQ(reader.PeekNonWhitespace(), ',');
  reader.Advance();
  bool flag = false;
  ASSERT_TRUE(reader.ReadBool(&flag));
  EXPECT_TRUE(flag);
  std::vector<std::string> list = {"stale"};
  ASSERT_TRUE(reader.ReadTextList(&list));
  EXPECT_EQ(list, (std::vector<std::string>{"x", ""}));
  bool is_null = false;
  ASSERT_TRUE(reader.ConsumeNull(&is_null));
  EXPECT_TRUE(is_null);
  ASSERT_TRUE(reader.ConsumeNull(&is_null));
  EXPECT_FALSE(is_null);
  ASSERT_FALSE(reader.ExpectEnd());
  EXPECT_EQ(reader.error().ToString(), "trailing characters at line 1 column 34");
}

TEST(JsonError, TextFormHasPositionOnlyWhenLineIsSet) {
  EXPECT_EQ(JsonError("boom", 0, 0).ToString(), "boom");
  EXPECT_EQ(JsonError("boom", 3, 0).ToString(), "boom at line 3 column 0");
  std::string input = "ab\ncd\n";
  EXPECT_EQ(JsonError::AtOffset("m", Bytes(input), 0), JsonError("m", 1, 0));
  EXPECT_EQ(JsonError::AtOffset("m", Bytes(input), 3), JsonError("m", 2, 0));
  EXPECT_EQ(JsonError::AtOffset("m", Bytes(input), 5), JsonError("m", 2, 2));
  EXPECT_EQ(JsonError::AtOffset("m", Bytes(input), 6), JsonError("m", 3, 0));
}

}  // namespace
}  // namespace qiv
