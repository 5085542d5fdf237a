// The record engine with a test record holding every field kind and presence.
#include "qiv/primitives/json_record.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "qiv/primitives/address.h"

namespace qiv {
namespace {

enum class Color : std::uint8_t { kRed, kGreen };
enum class Lone : std::uint8_t { kOnly };
enum class Tri : std::uint8_t { kA, kB, kC };

// A number kept as a JSON string of digits.
struct Stamp {
  int value = 0;
  friend bool operator==(const Stamp&, const Stamp&) = default;
};

}  // namespace

namespace json {
template <>
struct EnumTraits<Color> {
  static constexpr std::array<std::string_view, 2> kNames = {"red", "green"};
};
template <>
struct EnumTraits<Lone> {
  static constexpr std::array<std::string_view, 1> kNames = {"only"};
};
template <>
struct EnumTraits<Tri> {
  static constexpr std::array<std::string_view, 3> kNames = {"a", "b", "c"};
};
template <>
struct TextCodec<Stamp> {
  static constexpr std::string_view kExpected = "a digit string";
  static bool Parse(std::string_view text, Stamp* out, std::string* message) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != text.npos) {
      *message = "stamp is not digits";
      return false;
    }
    out->value = std::stoi(std::string(text));
    return true;
  }
  static void Format(const Stamp& s, std::string* out) { out->append(std::to_string(s.value)); }
};
}  // namespace json

namespace {

class Chain {
 public:
  static Chain Of(std::vector<std::string> certs, std::string vendor) {
    Chain c;
    c.certs_ = std::move(certs);
    c.vendor_ = std::move(vendor);
    return c;
  }
  bool is_empty() const { return certs_.empty(); }
  const std::vector<std::string>& certs() const { return certs_; }
  const std::string& vendor() const { return vendor_; }
  friend bool operator==(const Chain&, const Chain&) = default;

 private:
  friend class json::RecordAccess;
  Chain() = default;
  static constexpr auto JsonDescription() {
    return json::Describe("Chain", json::Field("certs", &Chain::certs_),
                          json::Field("vendor", &Chain::vendor_));
  }
  std::vector<std::string> certs_;
  std::string vendor_;
};

// Fields, in order: text, boolean, enumeration, defaulted nested record left out when empty,
// optional nested record (required element in the array form), defaulted optional text,
// converted text, optional text written as null, three-name enumeration.
class Sample {
 public:
  const std::string& text() const { return text_; }
  bool flag() const { return flag_; }
  Color color() const { return color_; }
  const Chain& chain() const { return chain_; }
  const std::optional<ProtocolAddress>& peer() const { return peer_; }
  const std::optional<std::string>& note() const { return note_; }
  const Stamp& stamp() const { return stamp_; }
  const std::optional<std::string>& shown() const { return shown_; }
  Tri tri() const { return tri_; }
  friend bool operator==(const Sample&, const Sample&) = default;

 private:
  friend class json::RecordAccess;
  Sample() = default;
  static constexpr auto JsonDescription() {
    return json::Describe(
        "Sample", json::Field("text", &Sample::text_), json::Field("flag", &Sample::flag_),
        json::Field("color", &Sample::color_),
        json::Field("chain", &Sample::chain_).Defaulted().OmitWhen([](const Chain& c) {
          return c.is_empty();
        }),
        json::Field("peer", &Sample::peer_), json::Field("note", &Sample::note_).Defaulted(),
        json::Field("stamp", &Sample::stamp_),
        json::Field("shown", &Sample::shown_).WriteNullWhenAbsent(),
        json::Field("tri", &Sample::tri_));
  }
  std::string text_;
  bool flag_ = false;
  Color color_ = Color::kRed;
  Chain chain_ = json::RecordAccess::Make<Chain>();
  std::optional<ProtocolAddress> peer_;
  std::optional<std::string> note_;
  Stamp stamp_;
  std::optional<std::string> shown_;
  Tri tri_ = Tri::kA;
};

class Holder {
 public:
  Lone lone() const { return lone_; }

 private:
  friend class json::RecordAccess;
  Holder() = default;
  static constexpr auto JsonDescription() {
    return json::Describe("Holder", json::Field("lone", &Holder::lone_));
  }
  Lone lone_ = Lone::kOnly;
};

Result<Sample, JsonError> Read(const std::string& text) {
  return json::ReadRecordFromText<Sample>(text);
}

const std::string kFull =
    R"({"text":"t","flag":true,"color":"green","chain":{"certs":["c1","c2"],"vendor":"v"},)"
    R"("peer":{"class":"doc","type":"x","ref":"y"},"note":"n","stamp":"42","shown":"s","tri":"c"})";

TEST(JsonRecord, ReadsAndWritesEveryKind) {
  auto r = Read(kFull);
  ASSERT_TRUE(r.ok()) << r.error().ToString();
  EXPECT_EQ(r->text(), "t");
  EXPECT_TRUE(r->flag());
  EXPECT_EQ(r->color(), Color::kGreen);
  EXPECT_EQ(r->chain(), Chain::Of({"c1", "c2"}, "v"));
  EXPECT_EQ(r->peer(), ProtocolAddress::New(AddressClass::kDoc, "x", "y"));
  EXPECT_EQ(r->note(), "n");
  EXPECT_EQ(r->stamp().value, 42);
  EXPECT_EQ(r->shown(), "s");
  EXPECT_EQ(r->tri(), Tri::kC);
  EXPECT_EQ(json::RecordToJson(*r, JsonWriter::Style::kCompact), kFull);

  // The array form and the one-key object form of enumerations read the same record.
  auto a = Read(R"(["t",true,{"green":null},{"certs":["c1","c2"],"vendor":"v"},)"
                R"(["doc","x","y"],"n","42","s",{ "c" : null }])");
  ASSERT_TRUE(a.ok()) << a.error().ToString();
  EXPECT_EQ(*a, *r);

  // Reading the written two-space text gives the record back.
  std::string pretty = json::RecordToJson(*r, JsonWriter::Style::kTwoSpace);
  auto back = Read(pretty);
  ASSERT_TRUE(back.ok()) << back.error().ToString();
  EXPECT_EQ(*back, *r);
}

TEST(JsonRecord, AppliesPresenceRules) {
  // Only the required fields: defaults, absent optionals, null written where asked.
  auto r = Read(R"({"tri":"a","stamp":"7","color":"red","flag":false,"text":"","peer":null})");
  ASSERT_TRUE(r.ok()) << r.error().ToString();
  EXPECT_TRUE(r->chain().is_empty());
  EXPECT_FALSE(r->peer().has_value());
  EXPECT_FALSE(r->note().has_value());
  EXPECT_FALSE(r->shown().has_value());
  EXPECT_EQ(json::RecordToJson(*r, JsonWriter::Style::kCompact),
            R"({"text":"","flag":false,"color":"red","stamp":"7","shown":null,"tri":"a"})");

  // An empty chain with a vendor is read as given but left out on writing.
  auto v = Read(R"({"text":"","flag":false,"color":"red","chain":{"certs":[],"vendor":"v"},)"
                R"("stamp":"7","tri":"a"})");
  ASSERT_TRUE(v.ok()) << v.error().ToString();
  EXPECT_EQ(v->chain(), Chain::Of({}, "v"));
  EXPECT_EQ(json::RecordToJson(*v, JsonWriter::Style::kCompact).find("chain"), std::string::npos);

  // In the array form a defaulted field may lack its element, an optional one may not.
  auto shortest = Read(R"(["t",true,"red"])");
  ASSERT_FALSE(shortest.ok());
  EXPECT_EQ(shortest.error().ToString(),
            "invalid length 4, expected struct Sample with 9 elements at line 1 column 16");
}

struct Case {
  std::string input;
  std::string error;  // full text form
};

TEST(JsonRecord, ReportsDataErrors) {
  const std::vector<Case> cases = {
      {"{}", "missing field `text` at line 1 column 2"},
      {R"({"text":"t","flag":true,"color":"red","tri":"a"})",
       "missing field `stamp` at line 1 column 48"},
      {R"({"peer":null,"peer":null})", "duplicate field `peer` at line 1 column 19"},
      {R"({"note":"x","note" )", "duplicate field `note` at line 1 column 19"},
      {R"([])", "invalid length 0, expected struct Sample with 9 elements at line 1 column 2"},
      {R"(["t"])", "invalid length 1, expected struct Sample with 9 elements at line 1 column 5"},
      {R"(["t",true,"red",{"certs":[],"vendor":""}])",
       "invalid length 4, expected struct Sample with 9 elements at line 1 column 41"},
      {R"(["t",true,"red",{"certs":[],"vendor":""},null ])",
       "invalid length 6, expected struct Sample with 9 elements at line 1 column 47"},
      {R"(["t",true,"red",{"certs":[],"vendor":""},null,"n","1","s"])",
       "invalid length 8, expected struct Sample with 9 elements at line 1 column 58"},
      {R"(["t",true,"red",{"certs":[],"vendor":""},null,"n","1","s","a","x"])",
       "trailing characters at line 1 column 63"},
      {R"({"flag":"true"})", "invalid type: string \"true\", expected a boolean at line 1 column 14"},
      {R"({"flag":null})", "invalid type: null, expected a boolean at line 1 column 12"},
      {R"({"flag":tru})", "expected ident at line 1 column 12"},
      {R"({"flag":tr)", "EOF while parsing a value at line 1 column 10"},
      {R"({"flag":)", "EOF while parsing a value at line 1 column 8"},
      {R"({"color":"blue"})", "unknown variant `blue`, expected `red` or `green` at line 1 column 15"},
      {R"({"tri":"d"})", "unknown variant `d`, expected one of `a`, `b`, `c` at line 1 column 10"},
      {R"({"color":{"red":null,"green":null}})", "expected value at line 1 column 20"},
      {R"({"color":{"red":null "green":null}})", "expected value at line 1 column 21"},
      {R"({"color":{"red" 1}})", "expected `:` at line 1 column 17"},
      {R"({"color":{"red":1}})", "invalid type: integer `1`, expected unit at line 1 column 17"},
      {R"({"color":{"red":"x"}})",
       "invalid type: string \"x\", expected unit at line 1 column 19"},
      {R"({"color":{5:null}})",
       "invalid type: integer `5`, expected variant identifier at line 1 column 11"},
      {R"({"color":{}})", "expected value at line 1 column 11"},
      {R"({"color":{)", "EOF while parsing a value at line 1 column 10"},
      {R"({"color":{"red")", "EOF while parsing an object at line 1 column 15"},
      {R"({"color":{"red":)", "EOF while parsing a value at line 1 column 16"},
      {R"({"color":{"red":null)", "EOF while parsing an object at line 1 column 20"},
      {R"({"color":{"blue":null}})",
       "unknown variant `blue`, expected `red` or `green` at line 1 column 16"},
      {R"({"color":[]})", "expected value at line 1 column 10"},
      {R"({"color":)", "EOF while parsing a value at line 1 column 9"},
      {R"({"stamp":"12a"})", "stamp is not digits at line 1 column 14"},
      {R"({"stamp":"12a" })", "stamp is not digits at line 1 column 14"},
      {R"({"stamp":5})", "invalid type: integer `5`, expected a digit string at line 1 column 10"},
      {R"({"chain":null})", "invalid type: null, expected struct Chain at line 1 column 13"},
      {R"({"chain":{"certs":"abc"}})",
       "invalid type: string \"abc\", expected a sequence at line 1 column 23"},
      {R"({"chain":{"certs":[1]}})",
       "invalid type: integer `1`, expected a string at line 1 column 20"},
      {R"({"chain":{"certs":["a",]}})", "trailing comma at line 1 column 24"},
      {R"({"chain":{"certs":["a" "b"]}})", "expected `,` or `]` at line 1 column 24"},
      {R"({"chain":{"certs":[)", "EOF while parsing a list at line 1 column 19"},
      {R"({"chain":{"certs":)", "EOF while parsing a value at line 1 column 18"},
      // Errors of a nested record keep the position they got there.
      {R"({"chain":{"certs":[]} , "text":1})", "missing field `vendor` at line 1 column 21"},
      {R"({"chain":{"vendor":"","vendor":""}})",
       "duplicate field `vendor` at line 1 column 30"},
      {R"({"chain":["a"]})",
       "invalid type: string \"a\", expected a sequence at line 1 column 13"},
      {R"({"chain":[[]]})",
       "invalid length 1, expected struct Chain with 2 elements at line 1 column 13"},
      {R"({"peer":"tvq://body/x/y"})",
       "invalid type: string \"tvq://body/x/y\", expected struct ProtocolAddress at line 1 "
       "column 24"},
      {R"({"peer":nul})", "expected ident at line 1 column 12"},
      {R"({"peer":{"class":"body"}})", "missing field `type` at line 1 column 24"},
      {R"({"shown":5})", "invalid type: integer `5`, expected a string at line 1 column 10"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    auto r = Read(c.input);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().ToString(), c.error);
  }
}

TEST(JsonRecord, NamesTheSingleVariant) {
  auto r = json::ReadRecordFromText<Holder>(R"({"lone":"Only"})");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().ToString(), "unknown variant `Only`, expected `only` at line 1 column 14");
  EXPECT_TRUE(json::ReadRecordFromText<Holder>(R"({"lone":{"only":null}})").ok());
}

TEST(JsonRecord, ReadsAtTheReaderPositionOnly) {
  JsonReader reader = JsonReader::OverText(R"( ["act","t","r"] tail)");
  auto a = json::ReadRecord<ProtocolAddress>(reader);
  ASSERT_TRUE(a.ok()) << a.error().ToString();
  EXPECT_EQ(*a, ProtocolAddress::New(AddressClass::kAct, "t", "r"));
  EXPECT_EQ(reader.offset(), 16u);
}

// Three levels of nesting in the two-space style, as a queued envelope is written.
class Envelope {
 private:
  friend class json::RecordAccess;
  Envelope() = default;
  static constexpr auto JsonDescription() {
    return json::Describe("Envelope", json::Field("exchange_id", &Envelope::exchange_id_),
                          json::Field("peer_self", &Envelope::peer_self_),
                          json::Field("peer_counterparty", &Envelope::peer_counterparty_)
                              .Defaulted(),
                          json::Field("direction", &Envelope::direction_));
  }
  std::string exchange_id_;
  ProtocolAddress peer_self_ = json::RecordAccess::Make<ProtocolAddress>();
  std::optional<ProtocolAddress> peer_counterparty_;
  std::string direction_;
};

class Item {
 private:
  friend class json::RecordAccess;
  Item() = default;
  static constexpr auto JsonDescription() {
    return json::Describe("Item", json::Field("queue_id", &Item::queue_id_),
                          json::Field("envelope", &Item::envelope_));
  }
  std::string queue_id_;
  Envelope envelope_ = json::RecordAccess::Make<Envelope>();
};

TEST(JsonRecord, WritesNestedRecordsInTwoSpaceStyle) {
  const std::string compact =
      R"({"queue_id":"e1","envelope":{"exchange_id":"e1",)"
      R"("peer_self":{"class":"body","type":"t","ref":"r"},"direction":"outbound"}})";
  const std::string file =
      "{\n"
      "  \"queue_id\": \"e1\",\n"
      "  \"envelope\": {\n"
      "    \"exchange_id\": \"e1\",\n"
      "    \"peer_self\": {\n"
      "      \"class\": \"body\",\n"
      "      \"type\": \"t\",\n"
      "      \"ref\": \"r\"\n"
      "    },\n"
      "    \"direction\": \"outbound\"\n"
      "  }\n"
      "}";
  std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(file.data()),
                                      file.size());
  auto item = json::ReadRecordFromBytes<Item>(bytes);
  ASSERT_TRUE(item.ok()) << item.error().ToString();
  EXPECT_EQ(json::RecordToJson(*item, JsonWriter::Style::kTwoSpace), file);
  EXPECT_EQ(json::RecordToJson(*item, JsonWriter::Style::kCompact), compact);

  // The missing optional address in a short envelope array is defaulted; the next required
  // position is the one reported.
  auto short_array = json::ReadRecordFromText<Item>(R"(["q",["e",["body","t","r"]]])");
  ASSERT_FALSE(short_array.ok());
  EXPECT_EQ(short_array.error().ToString(),
            "invalid length 3, expected struct Envelope with 4 elements at line 1 column 27");
}

}  // namespace
}  // namespace qiv
