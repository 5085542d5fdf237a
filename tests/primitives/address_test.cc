#include "qiv/primitives/address.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "qiv/primitives/json_record.h"
#include "qiv/primitives/siphash.h"

namespace qiv {
namespace {

ProtocolAddress A(AddressClass c, std::string_view type, std::string_view ref) {
  return ProtocolAddress::New(c, type, ref);
}

TEST(AddressClass, NamesRoundTripInValueOrder) {
  const std::vector<std::string> names = {"body", "act",      "datum", "prop",  "discard",
                                          "pair", "doc",      "evidence", "route", "mediation"};
  for (std::size_t i = 0; i < names.size(); ++i) {
    AddressClass c = static_cast<AddressClass>(i);
    EXPECT_EQ(AddressClassName(c), names[i]);
    EXPECT_EQ(AddressClassFromName(names[i]), c);
  }
  EXPECT_EQ(AddressClassFromName("Body"), std::nullopt);
  EXPECT_EQ(AddressClassFromName(""), std::nullopt);
  EXPECT_EQ(AddressClassFromName("body "), std::nullopt);
}

TEST(ProtocolAddress, ParsesUris) {
  struct Case {
    std::string uri;
    ProtocolAddress address;
  };
  const std::vector<Case> cases = {
      {"tvq://body/peer/abc", A(AddressClass::kBody, "peer", "abc")},
      {"tvq://act/x/y/z", A(AddressClass::kAct, "x", "y/z")},
      {"tvq://act/x/", A(AddressClass::kAct, "x", "")},
      {"tvq://act//", A(AddressClass::kAct, "", "")},
      {"tvq://act/x y/%41", A(AddressClass::kAct, "x y", "%41")},
      {"tvq://mediation/\xC3\xA9/ \t", A(AddressClass::kMediation, "\xC3\xA9", " \t")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.uri);
    std::optional<ProtocolAddress> parsed = ProtocolAddress::Parse(c.uri);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(*parsed, c.address);
    EXPECT_EQ(parsed->ToUri(), c.uri);
  }
}

TEST(ProtocolAddress, RefusesMalformedUris) {
  for (std::string uri : {"tvq://act/x", "tvq://act", "tvq://", "tvq:/act/x/y", "TVQ://act/x/y",
                          "tvq://Act/x/y", "tvq:///x/y", "tvq://unknown/x/y", " tvq://act/x/y",
                          "", "tvq:/", "xtvq://act/x/y"}) {
    SCOPED_TRACE(uri);
    EXPECT_EQ(ProtocolAddress::Parse(uri), std::nullopt);
  }
}

TEST(ProtocolAddress, FormatsTextsUnescaped) {
  ProtocolAddress a = A(AddressClass::kAct, "a/b", "c");
  EXPECT_EQ(a.ToUri(), "tvq://act/a/b/c");
  std::optional<ProtocolAddress> back = ProtocolAddress::Parse(a.ToUri());
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, A(AddressClass::kAct, "a", "b/c"));
  EXPECT_NE(*back, a);
  EXPECT_EQ(A(AddressClass::kDoc, "", "").ToUri(), "tvq://doc//");
}

TEST(ProtocolAddress, ComparesEveryFieldExactly) {
  ProtocolAddress a = A(AddressClass::kBody, "peer", "x");
  EXPECT_EQ(a, A(AddressClass::kBody, "peer", "x"));
  EXPECT_NE(a, A(AddressClass::kAct, "peer", "x"));
  EXPECT_NE(a, A(AddressClass::kBody, "Peer", "x"));
  EXPECT_NE(a, A(AddressClass::kBody, "peer", "x "));
}

TEST(ProtocolAddress, HashInputSeparatesSegments) {
  EXPECT_EQ(A(AddressClass::kBody, "a", "b").HashInput(),
            (std::vector<std::uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 0x61, 0xFF, 0x62, 0xFF}));
  EXPECT_EQ(A(AddressClass::kMediation, "", "").HashInput(),
            (std::vector<std::uint8_t>{9, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF}));
  EXPECT_NE(A(AddressClass::kBody, "ab", "c").HashInput(),
            A(AddressClass::kBody, "a", "bc").HashInput());
  EXPECT_EQ(A(AddressClass::kBody, "a", "b").Hash(), 0x6c951010f6126c52ULL);
  EXPECT_EQ(A(AddressClass::kBody, "peer", "abc").Hash(), 0xe07170b59694b8c2ULL);
  EXPECT_EQ(A(AddressClass::kMediation, "", "").Hash(), 0xbf4c25f8ca675489ULL);
}

TEST(ProtocolAddress, ReadsBothJsonForms) {
  ProtocolAddress expected = A(AddressClass::kBody, "peer", "x");
  for (std::string text :
       {R"({"ref":"x","type":"peer","class":"body"})", R"(["body","peer","x"])",
        R"({"class":{"body":null},"type":"peer","ref":"x","extra":[1,{"a":null}]})",
        R"({"class":{ "body" : null },"type":"peer","ref":"x"})"}) {
    SCOPED_TRACE(text);
    auto a = json::ReadRecordFromText<ProtocolAddress>(text);
    ASSERT_TRUE(a.ok()) << a.error().ToString();
    EXPECT_EQ(*a, expected);
    EXPECT_EQ(json::RecordToJson(*a, JsonWriter::Style::kCompact),
              R"({"class":"body","type":"peer","ref":"x"})");
  }
}

TEST(ProtocolAddress, ReportsJsonErrors) {
  const std::string names =
      "expected one of `body`, `act`, `datum`, `prop`, `discard`, `pair`, `doc`, `evidence`, "
      "`route`, `mediation`";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"class":"body","type":"peer"})", "missing field `ref` at line 1 column 30"},
      {R"({"class":"BODY","type":"p","ref":"x"})",
       "unknown variant `BODY`, " + names + " at line 1 column 15"},
      {R"("tvq://body/peer/x")",
       "invalid type: string \"tvq://body/peer/x\", expected struct ProtocolAddress at line 1 "
       "column 19"},
      {R"({"class":"body","type":"p","ref":null})",
       "invalid type: null, expected a string at line 1 column 37"},
  };
  for (const auto& [text, error] : cases) {
    SCOPED_TRACE(text);
    auto a = json::ReadRecordFromText<ProtocolAddress>(text);
    ASSERT_FALSE(a.ok());
    EXPECT_EQ(a.error().ToString(), error);
  }
}

TEST(ProtocolAddress, SerializesAtTheWriterPosition) {
  JsonWriter w(JsonWriter::Style::kTwoSpace);
  w.BeginObject();
  w.Key("peer");
  A(AddressClass::kRoute, "t\"", "\x01/").Serialize(w);
  w.EndObject();
  EXPECT_EQ(w.output(),
            "{\n  \"peer\": {\n    \"class\": \"route\",\n    \"type\": \"t\\\"\",\n"
            "    \"ref\": \"\\u0001/\"\n  }\n}");
  JsonReader reader = JsonReader::OverText(R"(["route","t\"","\u0001/"])");
  auto back = ProtocolAddress::Deserialize(reader);
  ASSERT_TRUE(back.ok()) << back.error().ToString();
  EXPECT_EQ(*back, A(AddressClass::kRoute, "t\"", "\x01/"));
}

}  // namespace
}  // namespace qiv
