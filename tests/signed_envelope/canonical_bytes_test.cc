#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qiv/primitives/json_record.h"
#include "qiv/signed_envelope/counterparty_info.h"
#include "qiv/signed_envelope/signed_envelope.h"

namespace qiv::envelope {
namespace {

// An envelope with the given exchange_id (a JSON string literal, escapes allowed) and
// response_hash (a JSON value: a string literal, or empty for none).
SignedEnvelope Envelope(std::string_view exchange_id_json, std::string_view response_hash_json,
                        std::string_view extra = "") {
  std::string text = "{\"exchange_id\":" + std::string(exchange_id_json) +
                     R"(,"peer_self":["body","t","r"],"direction":"outbound",)"
                     R"("request_hash":"h1","our_signature":"s1",)"
                     R"("opened_at":"2024-03-05T07:08:09Z","protocol_hint":"tcp",)"
                     R"("counterparty_identifier":"c1")";
  if (!response_hash_json.empty()) text += ",\"response_hash\":" + std::string(response_hash_json);
  text += extra;
  text += "}";
  auto envelope = json::ReadRecordFromText<SignedEnvelope>(text);
  EXPECT_TRUE(envelope.ok()) << text;
  return *std::move(envelope);
}

std::vector<std::uint8_t> BytesOf(std::string_view text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

struct BytesCase {
  std::string exchange_id_json;
  std::string response_hash_json;
  std::vector<std::uint8_t> expected;
};

TEST(CanonicalSigningBytes, IsTheCompactArrayOfIdRequestAndResponseHash) {
  const BytesCase cases[] = {
      {R"("e1")", "", {0x5B, 0x22, 0x65, 0x31, 0x22, 0x2C, 0x22, 0x68, 0x31, 0x22, 0x2C, 0x6E,
                       0x75, 0x6C, 0x6C, 0x5D}},
      {R"("e1")", R"("r1")", BytesOf(R"(["e1","h1","r1"])")},
      {R"("e1")", R"("")", BytesOf(R"(["e1","h1",""])")},
      {R"("a\"b")", "", BytesOf(R"(["a\"b","h1",null])")},
      {R"("a\\b")", "", BytesOf(R"(["a\\b","h1",null])")},
      {R"("a\tb")", "", BytesOf(R"(["a\tb","h1",null])")},
      {R"("a\u0001b")", "", BytesOf(R"(["a\u0001b","h1",null])")},
      {R"("a\u001Fb")", "", BytesOf(R"(["a\u001fb","h1",null])")},
      {R"("\b\f\n\r")", "", BytesOf(R"(["\b\f\n\r","h1",null])")},
      // Non-ASCII, "/" and 0x7F as they are, even when the input escaped them.
      {R"("\u00e9\/)" "\x7f\"",
       "",
       {0x5B, 0x22, 0xC3, 0xA9, 0x2F, 0x7F, 0x22, 0x2C, 0x22, 0x68, 0x31, 0x22, 0x2C, 0x6E, 0x75,
        0x6C, 0x6C, 0x5D}},
      // Built from the decoded texts: an escaped id gives the bytes of the plain one.
      {R"("\u0065\u0031")", R"("r\u0031")", BytesOf(R"(["e1","h1","r1"])")},
  };
  for (const BytesCase& c : cases) {
    SCOPED_TRACE(c.exchange_id_json + " / " + c.response_hash_json);
    EXPECT_EQ(Envelope(c.exchange_id_json, c.response_hash_json).CanonicalSigningBytes(),
              c.expected);
  }
}

TEST(CanonicalSigningBytes, IgnoresEveryOtherField) {
  std::vector<std::uint8_t> plain = Envelope(R"("e1")", R"("r1")").CanonicalSigningBytes();
  // Duplicate keys are refused, so the other fields are varied through keys the base lacks
  // and through a different base: signature, times, direction, peers.
  SignedEnvelope other = *json::ReadRecordFromText<SignedEnvelope>(
      R"(["e1",["pair","x","y"],["doc","a","b"],"inbound","h1","r1","cs","s2",)"
      R"("1999-01-01T00:00:00Z","2016-12-31T23:59:60Z","udp","c2"])");
  EXPECT_EQ(other.CanonicalSigningBytes(), plain);
  EXPECT_EQ(Envelope(R"("e1")", R"("r1")", R"(,"closed_at":"2024-03-05T07:08:10Z")")
                .CanonicalSigningBytes(),
            plain);
}

std::string WriteCounterparty(const CounterpartyInfo& info) {
  JsonWriter writer(JsonWriter::Style::kCompact);
  info.Serialize(writer);
  return std::move(writer).Release();
}

TEST(CounterpartyInfo, WritesAllFourKeysWithNullForAbsentFields) {
  EXPECT_EQ(WriteCounterparty(CounterpartyInfo::Create("c1", "tcp", std::nullopt, std::nullopt)),
            R"({"identifier":"c1","protocol_hint":"tcp","peer_address":null,)"
            R"("counterparty_signature":null})");
  EXPECT_EQ(WriteCounterparty(CounterpartyInfo::Create("c1", "tcp", "p", "s")),
            R"({"identifier":"c1","protocol_hint":"tcp","peer_address":"p",)"
            R"("counterparty_signature":"s"})");
  EXPECT_EQ(WriteCounterparty(CounterpartyInfo::Create("", "", "", "")),
            R"({"identifier":"","protocol_hint":"","peer_address":"","counterparty_signature":""})");
  EXPECT_EQ(WriteCounterparty(CounterpartyInfo::Create("a\"\\\x01", "\xc3\xa9/", std::nullopt,
                                                       "\n")),
            "{\"identifier\":\"a\\\"\\\\\\u0001\",\"protocol_hint\":\"\xc3\xa9/\","
            "\"peer_address\":null,\"counterparty_signature\":\"\\n\"}");
}

TEST(CounterpartyInfo, EqualityTellsAbsentFromEmpty) {
  auto info = [](std::optional<std::string> peer) {
    return CounterpartyInfo::Create("a", "b", std::move(peer), std::nullopt);
  };
  EXPECT_EQ(info(std::nullopt), info(std::nullopt));
  EXPECT_NE(info(std::nullopt), info(""));
  EXPECT_EQ(info("tvq://x"), info("tvq://x"));
  EXPECT_NE(CounterpartyInfo::Create("a", "b", std::nullopt, "s"), info(std::nullopt));
}

}  // namespace
}  // namespace qiv::envelope
