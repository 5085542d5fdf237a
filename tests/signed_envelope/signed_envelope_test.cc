#include "qiv/signed_envelope/signed_envelope.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "qiv/primitives/json_record.h"

namespace qiv::envelope {
namespace {

// The eight required keys only.
constexpr std::string_view kMinimal =
    R"({"exchange_id":"e1","peer_self":{"class":"body","type":"t","ref":"r"},)"
    R"("direction":"outbound","request_hash":"h1","our_signature":"s1",)"
    R"("opened_at":"2024-03-05T07:08:09Z","protocol_hint":"tcp","counterparty_identifier":"c1"})";

constexpr std::string_view kMinimalTwoSpace = R"({
  "exchange_id": "e1",
  "peer_self": {
    "class": "body",
    "type": "t",
    "ref": "r"
  },
  "direction": "outbound",
  "request_hash": "h1",
  "our_signature": "s1",
  "opened_at": "2024-03-05T07:08:09Z",
  "protocol_hint": "tcp",
  "counterparty_identifier": "c1"
})";

// All twelve fields, in the compact form the writer produces.
constexpr std::string_view kFull =
    R"({"exchange_id":"e\"1\n","peer_self":{"class":"body","type":"t","ref":"r"},)"
    R"("peer_counterparty":{"class":"pair","type":"u","ref":"v/w"},"direction":"inbound",)"
    R"("request_hash":"h1","response_hash":"","counterparty_signature":"cs",)"
    R"("our_signature":"s1","opened_at":"2016-12-31T23:59:60.123456789Z",)"
    R"("closed_at":"+10000-01-01T00:00:00.000001Z","protocol_hint":"tcp",)"
    R"("counterparty_identifier":"c\u0001é/"})";

// The twelve values of the array form, one per position.
const std::vector<std::string> kElements = {
    R"("e1")",
    R"({"class":"body","type":"t","ref":"r"})",
    R"(["pair","u","v"])",
    R"("outbound")",
    R"("h1")",
    R"("r1")",
    R"("cs")",
    R"("s1")",
    R"("2024-03-05T07:08:09Z")",
    R"("2024-03-05T07:09:09Z")",
    R"("tcp")",
    R"("c1")",
};

std::string ArrayOf(std::size_t count) {
  std::string out = "[";
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) out += ',';
    out += kElements[i % kElements.size()];
  }
  return out + "]";
}

Result<SignedEnvelope, JsonError> Read(std::string_view text) {
  return json::ReadRecordFromText<SignedEnvelope>(text);
}

SignedEnvelope MustRead(std::string_view text) {
  auto envelope = Read(text);
  EXPECT_TRUE(envelope.ok()) << text << "\n" << (envelope.ok() ? "" : envelope.error().ToString());
  return *std::move(envelope);
}

std::string Write(const SignedEnvelope& envelope, JsonWriter::Style style) {
  JsonWriter writer(style);
  envelope.Serialize(writer);
  return std::move(writer).Release();
}

std::string Compact(const SignedEnvelope& envelope) {
  return Write(envelope, JsonWriter::Style::kCompact);
}

// kMinimal with the value of `key` replaced by `value` (the key must be in kMinimal).
std::string WithValue(std::string_view key, std::string_view value) {
  std::string text(kMinimal);
  std::string needle = "\"" + std::string(key) + "\":";
  std::size_t start = text.find(needle) + needle.size();
  std::size_t end = start;
  int depth = 0;
  bool in_string = false;
  for (; end < text.size(); ++end) {
    char c = text[end];
    if (in_string) {
      if (c == '\\') ++end;
      else if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      if (depth == 0) break;
      --depth;
    } else if (c == ',' && depth == 0) {
      break;
    }
  }
  return text.substr(0, start) + std::string(value) + text.substr(end);
}

TEST(SignedEnvelope, ReadsRequiredFieldsAndWritesBothStyles) {
  SignedEnvelope envelope = MustRead(kMinimal);
  EXPECT_EQ(envelope.exchange_id(), "e1");
  EXPECT_EQ(envelope.peer_self(), ProtocolAddress::New(AddressClass::kBody, "t", "r"));
  EXPECT_FALSE(envelope.peer_counterparty().has_value());
  EXPECT_EQ(envelope.direction(), Direction::kOutbound);
  EXPECT_EQ(envelope.request_hash(), "h1");
  EXPECT_FALSE(envelope.response_hash().has_value());
  EXPECT_FALSE(envelope.counterparty_signature().has_value());
  EXPECT_EQ(envelope.our_signature(), "s1");
  EXPECT_EQ(TimestampText(envelope.opened_at()), "2024-03-05T07:08:09Z");
  EXPECT_FALSE(envelope.closed_at().has_value());
  EXPECT_EQ(envelope.protocol_hint(), "tcp");
  EXPECT_EQ(envelope.counterparty_identifier(), "c1");

  EXPECT_EQ(Compact(envelope), kMinimal);
  EXPECT_EQ(Write(envelope, JsonWriter::Style::kTwoSpace), kMinimalTwoSpace);
  EXPECT_EQ(MustRead(kMinimalTwoSpace), envelope);
}

TEST(SignedEnvelope, FullEnvelopeRoundTripsByteForByte) {
  SignedEnvelope envelope = MustRead(kFull);
  EXPECT_EQ(envelope.exchange_id(), "e\"1\n");
  EXPECT_EQ(envelope.peer_counterparty(),
            ProtocolAddress::New(AddressClass::kPair, "u", "v/w"));
  EXPECT_EQ(envelope.direction(), Direction::kInbound);
  EXPECT_EQ(envelope.response_hash(), "");
  EXPECT_EQ(envelope.counterparty_signature(), "cs");
  EXPECT_TRUE(envelope.opened_at().is_leap_second());
  EXPECT_EQ(envelope.opened_at().nanosecond(), 1'123'456'789u);
  EXPECT_EQ(envelope.closed_at()->year(), 10000);
  EXPECT_EQ(envelope.counterparty_identifier(), "c\x01\xc3\xa9/");
  EXPECT_EQ(Compact(envelope), kFull);

  std::string two_space = Write(envelope, JsonWriter::Style::kTwoSpace);
  EXPECT_EQ(MustRead(two_space), envelope);
  EXPECT_EQ(Compact(MustRead(two_space)), kFull);
}

TEST(SignedEnvelope, NullOptionalFieldsAreAbsentAndLeftOutOnWriting) {
  std::string text(kMinimal);
  text.insert(text.size() - 1,
              R"(,"peer_counterparty":null,"response_hash":null,"counterparty_signature":null,)"
              R"("closed_at":null)");
  SignedEnvelope envelope = MustRead(text);
  EXPECT_EQ(envelope, MustRead(kMinimal));
  EXPECT_EQ(Compact(envelope), kMinimal);
}

TEST(SignedEnvelope, SkipsUnknownKeysAndNormalisesOnWriting) {
  // Keys out of order, unknown keys (one differing only in case) with nested values, the
  // array form of the address, the object form of the direction, escapes and an offset.
  SignedEnvelope envelope = MustRead(
      "{ \"counterparty_identifier\" : \"c1\", \"Exchange_id\": {\"a\": [1, {\"b\": null}]},\n"
      " \"protocol_hint\":\"tcp\",\"opened_at\":\"2024-03-05 08:08:09+01:00\",\"x\":[[],{}],"
      "\"our_signature\":\"s1\",\"request_hash\":\"h1\",\"direction\":{\"outbound\":null},"
      "\"peer_self\":[\"body\",\"t\",\"r\"],\"exchange_id\":\"\\u0065\\u0031\",\"x\":1}");
  EXPECT_EQ(Compact(envelope), kMinimal);
  EXPECT_EQ(envelope, MustRead(kMinimal));
}

TEST(SignedEnvelope, ArrayFormReadsLikeTheObjectForm) {
  SignedEnvelope from_array = MustRead(ArrayOf(12));
  EXPECT_EQ(from_array.peer_counterparty(), ProtocolAddress::New(AddressClass::kPair, "u", "v"));
  EXPECT_EQ(from_array.closed_at().has_value(), true);

  std::string with_nulls = R"(["e1",{"class":"body","type":"t","ref":"r"},null,"outbound","h1",)"
                           R"(null,null,"s1","2024-03-05T07:08:09Z",null,"tcp","c1"])";
  EXPECT_EQ(MustRead(with_nulls), MustRead(kMinimal));
}

TEST(SignedEnvelope, ShortArraysFailAtTheFirstMissingRequiredPosition) {
  // Elements given -> the position reported; optional positions (2, 5, 6, 9) in between are
  // skipped over as absent.
  const std::size_t expected[12] = {0, 1, 3, 3, 4, 7, 7, 7, 8, 10, 10, 11};
  for (std::size_t count = 0; count < 12; ++count) {
    std::string text = ArrayOf(count);
    SCOPED_TRACE(text);
    auto envelope = Read(text);
    ASSERT_FALSE(envelope.ok());
    EXPECT_EQ(envelope.error().message(),
              "invalid length " + std::to_string(expected[count]) +
                  ", expected struct SignedEnvelope with 12 elements");
    EXPECT_EQ(envelope.error().line(), 1u);
    EXPECT_EQ(envelope.error().column(), text.size());  // behind the closing bracket
  }
}

struct ErrorCase {
  std::string input;
  std::string message;
  std::size_t line;
  std::size_t column;
};

TEST(SignedEnvelope, ReportsErrorsWithTheirPositions) {
  const std::string thirteen = ArrayOf(13);
  const std::string twelve = ArrayOf(12);
  const std::string all_but_two = [] {
    std::string text(kMinimal);
    for (std::string_view key : {R"("opened_at":"2024-03-05T07:08:09Z",)",
                                 R"("protocol_hint":"tcp",)"}) {
      text.erase(text.find(key), key.size());
    }
    return text;
  }();
  const ErrorCase cases[] = {
      {"{}", "missing field `exchange_id`", 1, 2},
      {all_but_two, "missing field `opened_at`", 1, all_but_two.size()},
      {R"({"Exchange_id":"e1"})", "missing field `exchange_id`", 1, 20},
      {R"({"closed_at":null,"closed_at":null})", "duplicate field `closed_at`", 1, 29},
      {R"({"exchange_id":"a","x":1,"x":2,"exchange_id":5})", "duplicate field `exchange_id`", 1,
       44},
      {"", "EOF while parsing a value", 1, 0},
      {"5", "invalid type: integer `5`, expected struct SignedEnvelope", 1, 1},
      {R"("e1")", "invalid type: string \"e1\", expected struct SignedEnvelope", 1, 4},
      {"null", "invalid type: null, expected struct SignedEnvelope", 1, 4},
      // Array form: too long, trailing comma, null at a required position.
      {thirteen, "trailing characters", 1, twelve.size() + 1},
      {twelve.substr(0, twelve.size() - 1) + ",]", "trailing comma", 1, twelve.size() + 1},
      {R"([null])", "invalid type: null, expected a string", 1, 5},
      {R"(["e1",null])", "invalid type: null, expected struct ProtocolAddress", 1, 10},
      {R"(["e1",{"class":"body","type":"t","ref":"r"},null,null])", "expected value", 1, 50},
      // Texts.
      {WithValue("request_hash", "7"), "invalid type: integer `7`, expected a string", 1, 109},
      {WithValue("protocol_hint", "null"), "invalid type: null, expected a string", 1, 189},
      // The direction.
      {WithValue("direction", R"("Outbound")"),
       "unknown variant `Outbound`, expected `outbound` or `inbound`", 1, 92},
      {WithValue("direction", "null"), "expected value", 1, 83},
      {WithValue("direction", "1"), "expected value", 1, 83},
      {WithValue("direction", R"({"inbound":1})"), "invalid type: integer `1`, expected unit",
       1, 94},
      {WithValue("direction", R"({1:null})"),
       "invalid type: integer `1`, expected variant identifier", 1, 84},
      {WithValue("direction", R"({"inbound" null})"), "expected `:`", 1, 94},
      {WithValue("direction", R"({"inbound":null,"outbound":null})"), "expected value", 1, 97},
      {WithValue("direction", R"({"sideways":null})"),
       "unknown variant `sideways`, expected `outbound` or `inbound`", 1, 93},
      // Timestamps: positioned just behind the closing quote of their string.
      {R"({"opened_at":"2024-13-01T00:00:00Z"})", "input is out of range", 1, 35},
      {WithValue("opened_at", "5"),
       "invalid type: integer `5`, expected an RFC 3339 formatted date and time string", 1, 147},
      {WithValue("opened_at", R"("2024-03-05T07:08:09")"), "premature end of input", 1, 167},
      {WithValue("opened_at", R"("2024-03-05")"), "premature end of input", 1, 158},
      {WithValue("opened_at", R"("2024-03-05 T07:08:09Z")"),
       "input contains invalid characters", 1, 169},
      {WithValue("opened_at", R"("2024-03-05T07:08:09Zx")"), "trailing input", 1, 169},
      {WithValue("opened_at", R"("2023-02-29T00:00:00Z")"), "input is out of range", 1, 168},
      {WithValue("opened_at", R"("2024-03-05T12:00:00+05:60")"), "input is out of range", 1,
       173},
      {WithValue("opened_at", R"("+262142-12-31T23:30:00-01:00")"),
       "no possible date and time matching input", 1, 176},
      {WithValue("opened_at", R"("2024-03-05T07:08:09\u005a")"), "", 0, 0},  // reads: "Z"
      // Positions count lines: the bad timestamp stands on line 11 of the two-space form.
      {std::string(kMinimalTwoSpace).replace(kMinimalTwoSpace.find("07:08:09Z"), 9, "07:08:9Q"),
       "input contains invalid characters", 11, 36},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.input);
    auto envelope = Read(c.input);
    if (c.message.empty()) {
      EXPECT_TRUE(envelope.ok()) << envelope.error().ToString();
      continue;
    }
    ASSERT_FALSE(envelope.ok());
    EXPECT_EQ(envelope.error().message(), c.message);
    EXPECT_EQ(envelope.error().line(), c.line);
    EXPECT_EQ(envelope.error().column(), c.column);
  }
}

TEST(SignedEnvelope, ByteFormChecksUtf8AndOtherwiseReadsTheSame) {
  auto bytes_of = [](std::string_view text) {
    return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()),
                                         text.size());
  };
  auto read = json::ReadRecordFromBytes<SignedEnvelope>(bytes_of(kFull));
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(*read, MustRead(kFull));

  std::string bad = WithValue("our_signature", "\"s\xff\"");
  auto refused = json::ReadRecordFromBytes<SignedEnvelope>(bytes_of(bad));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message(), "invalid unicode code point");
}

TEST(SignedEnvelope, DeserializeLeavesWhatFollowsToTheCaller) {
  std::string text = std::string(kMinimal) + " ]";
  JsonReader reader = JsonReader::OverText(text);
  auto envelope = SignedEnvelope::Deserialize(reader);
  ASSERT_TRUE(envelope.ok());
  EXPECT_EQ(reader.offset(), kMinimal.size());
  EXPECT_FALSE(reader.ExpectEnd());
  EXPECT_EQ(reader.error().ToString(), "trailing characters at line 1 column 224");
}

struct TimestampCase {
  std::string input;
  std::string written;
};

TEST(SignedEnvelope, TimestampsAreWrittenBackNormalisedAndReadAgainToTheSameBytes) {
  const TimestampCase cases[] = {
      {"2024-03-05T07:08:09Z", "2024-03-05T07:08:09Z"},
      {"2024-03-05 07:08:09.5+01:00", "2024-03-05T06:08:09.500Z"},
      {"2024-03-05t07:08:09.000001z", "2024-03-05T07:08:09.000001Z"},
      {"2024-03-05T07:08:09.1234567891Z", "2024-03-05T07:08:09.123456789Z"},
      {"2024-03-05T07:08:09.000Z", "2024-03-05T07:08:09Z"},
      {" 2024-3-5T7:8:9 utc ", "2024-03-05T07:08:09Z"},
      {"2024-03-05T00:30:00\xe2\x88\x92" "01:00", "2024-03-05T01:30:00Z"},
      {"2024-03-01T00:30:00+01:00", "2024-02-29T23:30:00Z"},
      {"2016-12-31T23:59:60Z", "2016-12-31T23:59:60Z"},
      {"2024-03-05T12:34:60.25Z", "2024-03-05T12:34:60.250Z"},
      {"+10000-01-01T00:00:00Z", "+10000-01-01T00:00:00Z"},
      {"-0001-12-31T00:00:00Z", "-0001-12-31T00:00:00Z"},
  };
  for (const TimestampCase& c : cases) {
    SCOPED_TRACE(c.input);
    std::string text = WithValue("opened_at", "\"" + c.input + "\"");
    text.insert(text.size() - 1, ",\"closed_at\":\"" + c.input + "\"");
    SignedEnvelope envelope = MustRead(text);
    std::string written = Compact(envelope);
    EXPECT_NE(written.find("\"opened_at\":\"" + c.written + "\""), std::string::npos) << written;
    EXPECT_NE(written.find("\"closed_at\":\"" + c.written + "\""), std::string::npos) << written;
    EXPECT_EQ(MustRead(written), envelope);
    EXPECT_EQ(Compact(MustRead(written)), written);
  }
}

TEST(SignedEnvelope, EqualityComparesInstantsToTheNanosecond) {
  auto with_opened = [](std::string_view ts) {
    return MustRead(WithValue("opened_at", "\"" + std::string(ts) + "\""));
  };
  EXPECT_EQ(with_opened("2024-03-05T08:08:09+01:00"), with_opened("2024-03-05T07:08:09Z"));
  EXPECT_NE(with_opened("2024-03-05T07:08:09.000000001Z"), with_opened("2024-03-05T07:08:09Z"));
  EXPECT_NE(with_opened("2016-12-31T23:59:60Z"), with_opened("2016-12-31T23:59:59Z"));
  EXPECT_NE(with_opened("2016-12-31T23:59:60Z"), with_opened("2016-12-31T23:59:59.999999999Z"));

  std::string with_closed(kMinimal);
  with_closed.insert(with_closed.size() - 1, R"(,"closed_at":"2024-03-05T07:08:09Z")");
  EXPECT_NE(MustRead(with_closed), MustRead(kMinimal));
  EXPECT_NE(MustRead(WithValue("our_signature", R"("s2")")), MustRead(kMinimal));
}

}  // namespace
}  // namespace qiv::envelope
