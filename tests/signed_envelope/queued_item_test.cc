#include "qiv/signed_envelope/queued_item.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "qiv/primitives/json_record.h"
#include "qiv/signed_envelope/signed_envelope.h"

namespace qiv::envelope {
namespace {

constexpr std::string_view kEnvelope =
    R"({"exchange_id":"e1","peer_self":{"class":"body","type":"t","ref":"r"},)"
    R"("direction":"outbound","request_hash":"h1","our_signature":"s1",)"
    R"("opened_at":"2024-03-05T07:08:09Z","protocol_hint":"tcp","counterparty_identifier":"c1"})";

// The file that pushing kEnvelope under "routing" writes, byte for byte.
constexpr std::string_view kItemFile = R"({
  "queue_id": "e1",
  "pair_class": "routing",
  "envelope": {
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
  }
})";

std::span<const std::uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

SignedEnvelope Envelope(std::string_view text = kEnvelope) {
  auto envelope = json::ReadRecordFromText<SignedEnvelope>(text);
  EXPECT_TRUE(envelope.ok()) << envelope.error().ToString();
  return *std::move(envelope);
}

std::string ReadError(std::string_view text) {
  auto item = QueuedItem::Deserialize(AsBytes(text));
  if (item.ok()) return "ok";
  return item.error().ToString();
}

TEST(QueuedItem, WritesTheItemFileInTheTwoSpaceStyle) {
  const QueuedItem item = QueuedItem::ForPush("routing", Envelope());
  EXPECT_EQ(item.queue_id(), "e1");
  EXPECT_EQ(item.pair_class(), "routing");
  EXPECT_EQ(item.envelope(), Envelope());
  EXPECT_EQ(item.Serialize(), kItemFile);
}

TEST(QueuedItem, ReadsBackWhatItWrites) {
  auto item = QueuedItem::Deserialize(AsBytes(kItemFile));
  ASSERT_TRUE(item.ok()) << item.error().ToString();
  EXPECT_EQ(*item, QueuedItem::ForPush("routing", Envelope()));
}

TEST(QueuedItem, TakesTheQueueIdUnsanitisedAndAnyPairClass) {
  std::string text(kEnvelope);
  text.replace(text.find("\"e1\""), 4, R"("a/b \u00e9")");
  const QueuedItem item = QueuedItem::ForPush("", Envelope(text));
  EXPECT_EQ(item.queue_id(), "a/b \xc3\xa9");
  EXPECT_EQ(item.pair_class(), "");
}

TEST(QueuedItem, ReadsTheArrayFormAndKeysInAnyOrder) {
  const std::string array = std::string(R"(["e1","routing",)") + std::string(kEnvelope) + "]";
  const std::string reordered = std::string(R"({"envelope":)") + std::string(kEnvelope) +
                                R"(,"x":[1,{"y":null}],"pair_class":"routing","queue_id":"e1"} )";
  const QueuedItem expected = QueuedItem::ForPush("routing", Envelope());
  for (const std::string& text : {array, reordered}) {
    SCOPED_TRACE(text);
    auto item = QueuedItem::Deserialize(AsBytes(text));
    ASSERT_TRUE(item.ok()) << item.error().ToString();
    EXPECT_EQ(*item, expected);
  }
}

TEST(QueuedItem, NothingTiesTheFieldsTogether) {
  const std::string text = std::string(R"({"queue_id":"d","pair_class":"p","envelope":)") +
                           std::string(kEnvelope) + "}";
  auto item = QueuedItem::Deserialize(AsBytes(text));
  ASSERT_TRUE(item.ok()) << item.error().ToString();
  EXPECT_EQ(item->queue_id(), "d");
  EXPECT_EQ(item->envelope().exchange_id(), "e1");
}

struct ErrorCase {
  std::string input;
  std::string message;
};

TEST(QueuedItem, ReportsReadingErrorsWithTheirPosition) {
  const std::string env(kEnvelope);
  const ErrorCase cases[] = {
      {std::string(kItemFile) + "\nx", "trailing characters at line 19 column 1"},
      {R"({"queue_id":"e1","pair_class":"routing"})",
       "missing field `envelope` at line 1 column 40"},
      {R"({"envelope":)" + env + "}", "missing field `queue_id` at line 1 column " +
                                         std::to_string(env.size() + 13)},
      {R"(["e1","routing"])",
       "invalid length 2, expected struct QueuedItem with 3 elements at line 1 column 16"},
      {"[]", "invalid length 0, expected struct QueuedItem with 3 elements at line 1 column 2"},
      {R"("e1")", "invalid type: string \"e1\", expected struct QueuedItem at line 1 column 4"},
      {R"({"queue_id":"e1","queue_id":"e2"})", "duplicate field `queue_id` at line 1 column 27"},
      {R"({"queue_id":"e1","pair_class":"p","envelope":{"exchange_id":"e1"}})",
       "missing field `peer_self` at line 1 column 65"},
      {"", "EOF while parsing a value at line 1 column 0"},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(ReadError(c.input), c.message);
  }
}

}  // namespace
}  // namespace qiv::envelope
