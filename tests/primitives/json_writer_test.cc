#include "qiv/primitives/json_writer.h"

#include <gtest/gtest.h>

#include <string>

#include "qiv/primitives/address.h"
#include "qiv/primitives/json_record.h"

namespace qiv {
namespace {

using Style = JsonWriter::Style;

TEST(JsonWriter, WritesAddressInBothStyles) {
  ProtocolAddress a = ProtocolAddress::New(AddressClass::kBody, "peer", "abc");
  EXPECT_EQ(json::RecordToJson(a, Style::kCompact),
            R"({"class":"body","type":"peer","ref":"abc"})");
  EXPECT_EQ(json::RecordToJson(a, Style::kTwoSpace),
            "{\n  \"class\": \"body\",\n  \"type\": \"peer\",\n  \"ref\": \"abc\"\n}");
}

TEST(JsonWriter, EscapesOnlyWhatMustBeEscaped) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"\"", R"("\"")"},
      {"\\", R"("\\")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string(1, '\0'), R"("\u0000")"},
      {"\x01\x1b\x1f", R"("\u0001\u001b\u001f")"},
      {"/\x7F\xC3\xA9 ", "\"/\x7F\xC3\xA9 \""},
      {"a\"b\\c\td\x01/\xC3\xA9", "\"a\\\"b\\\\c\\td\\u0001/\xC3\xA9\""},
      {"", R"("")"},
  };
  for (const auto& [text, written] : cases) {
    SCOPED_TRACE(written);
    for (Style style : {Style::kCompact, Style::kTwoSpace}) {
      JsonWriter w(style);
      w.String(text);
      EXPECT_EQ(w.output(), written);
    }
    // Keys are escaped the same way.
    JsonWriter w(Style::kCompact);
    w.BeginObject();
    w.Key(text);
    w.Null();
    w.EndObject();
    EXPECT_EQ(w.output(), "{" + written + ":null}");
  }
}

TEST(JsonWriter, LaysOutContainers) {
  auto build = [](Style style) {
    JsonWriter w(style);
    w.BeginObject();
    w.Key("a");
    w.BeginArray();
    w.String("x");
    w.Bool(true);
    w.BeginObject();
    w.EndObject();
    w.EndArray();
    w.Key("b");
    w.BeginArray();
    w.EndArray();
    w.Key("c");
    w.BeginObject();
    w.Key("d");
    w.Bool(false);
    w.EndObject();
    w.EndObject();
    return std::move(w).Release();
  };
  EXPECT_EQ(build(Style::kCompact), R"({"a":["x",true,{}],"b":[],"c":{"d":false}})");
  EXPECT_EQ(build(Style::kTwoSpace),
            "{\n"
            "  \"a\": [\n"
            "    \"x\",\n"
            "    true,\n"
            "    {}\n"
            "  ],\n"
            "  \"b\": [],\n"
            "  \"c\": {\n"
            "    \"d\": false\n"
            "  }\n"
            "}");
  JsonWriter w(Style::kCompact);
  w.BeginArray();
  w.String("e1");
  w.String("h1");
  w.Null();
  w.EndArray();
  EXPECT_EQ(w.output(), R"(["e1","h1",null])");
}

}  // namespace
}  // namespace qiv
