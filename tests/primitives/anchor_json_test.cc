// JSON forms of AnchorReceipt and AnchorProof: both reading forms, writing, and the exact
// error texts and positions.
#include <gtest/gtest.h>

#include <string>

#include "qiv/primitives/anchor_kind.h"
#include "qiv/primitives/anchor_proof.h"
#include "qiv/primitives/anchor_receipt.h"

namespace qiv {
namespace {

const std::string kRoot = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

const AnchorReceipt kReceipt =
    AnchorReceipt::Create("anchor-1", AnchorKind::kLocal, kRoot, "mock://00010203",
                          "2026-04-15T09:00:00Z", "2026-04-15T09:00:00Z", "");
const std::string kReceiptJson =
    R"({"anchor_id":"anchor-1","anchor_kind":"local","merkle_root_hex":")" + kRoot +
    R"(","submission_ref":"mock://00010203","submitted_at":"2026-04-15T09:00:00Z",)"
    R"("expected_finality_at":"2026-04-15T09:00:00Z","proof_b64":""})";

const AnchorProof kProof = AnchorProof::Create("anchor-1", AnchorKind::kLocal, kRoot, true,
                                               "2026-04-15T09:00:00Z", "mock");
const std::string kProofJson =
    R"({"anchor_id":"anchor-1","anchor_kind":"local","merkle_root_hex":")" + kRoot +
    R"(","confirmed":true,"authoritative_time":"2026-04-15T09:00:00Z","detail":"mock"})";

TEST(AnchorJson, WritesObjectsInFieldOrder) {
  EXPECT_EQ(kReceipt.Serialize(), kReceiptJson);
  EXPECT_EQ(kProof.Serialize(), kProofJson);
  EXPECT_EQ(AnchorProof::Create("", AnchorKind::kNistTsa, "", false, "", "").Serialize(),
            R"({"anchor_id":"","anchor_kind":"nist_tsa","merkle_root_hex":"",)"
            R"("confirmed":false,"authoritative_time":"","detail":""})");
}

TEST(AnchorJson, ReadsEitherFormWithKeysInAnyOrder) {
  struct Case {
    const char* name;
    std::string text;
  };
  const Case receipts[] = {
      {"as written", kReceiptJson},
      {"array",
       R"([ "anchor-1", "local", ")" + kRoot +
           R"(", "mock://00010203", "2026-04-15T09:00:00Z", "2026-04-15T09:00:00Z", "" ])"},
      {"reversed keys, whitespace around",
       " \n{\"proof_b64\":\"\", \"expected_finality_at\":\"2026-04-15T09:00:00Z\",\t"
       "\"submitted_at\":\"2026-04-15T09:00:00Z\",\"submission_ref\":\"mock://00010203\","
       "\"merkle_root_hex\":\"" +
           kRoot + "\",\"anchor_kind\":\"local\",\"anchor_id\":\"anchor-1\"}\r\n "},
      {"unknown keys holding anything",
       R"({"x":{"a":[1,{"b":null}],"c":"}"},"anchor_id":"anchor-1","y":[[],[{}]],)"
       R"("anchor_kind":"local","merkle_root_hex":")" +
           kRoot +
           R"(","submission_ref":"mock://00010203","submitted_at":"2026-04-15T09:00:00Z",)"
           R"("expected_finality_at":"2026-04-15T09:00:00Z","proof_b64":"","Anchor_id":7})"},
      {"kind as a one-key object",
       R"({"anchor_id":"anchor-1","anchor_kind":{ "local" : null },"merkle_root_hex":")" + kRoot +
           R"(","submission_ref":"mock://00010203","submitted_at":"2026-04-15T09:00:00Z",)"
           R"("expected_finality_at":"2026-04-15T09:00:00Z","proof_b64":""})"},
      {"kind object in the array form",
       R"(["anchor-1",{"local":null},")" + kRoot +
           R"(","mock://00010203","2026-04-15T09:00:00Z","2026-04-15T09:00:00Z",""])"},
      {"escaped texts", R"({"anchor_id":"anchor\u002d1","anchor_kind":"loc\u0061l",)"
                        R"("merkle_root_hex":")" +
                            kRoot +
                            R"(","submission_ref":"mock:\/\/00010203",)"
                            R"("submitted_at":"2026-04-15T09:00:00Z",)"
                            R"("expected_finality_at":"2026-04-15T09:00:00Z","proof_b64":""})"},
  };
  for (const Case& c : receipts) {
    SCOPED_TRACE(c.name);
    auto read = AnchorReceipt::Deserialize(c.text);
    ASSERT_TRUE(read.ok()) << read.error().ToString();
    EXPECT_EQ(*read, kReceipt);
    EXPECT_EQ(read->Serialize(), kReceiptJson);
  }

  const Case proofs[] = {
      {"as written", kProofJson},
      {"array", R"(["anchor-1","local",")" + kRoot + R"(",true,"2026-04-15T09:00:00Z","mock"])"},
      {"reversed keys",
       R"({"detail":"mock","authoritative_time":"2026-04-15T09:00:00Z","confirmed":true,)"
       R"("merkle_root_hex":")" +
           kRoot + R"(","anchor_kind":{"local":null},"anchor_id":"anchor-1"})"},
  };
  for (const Case& c : proofs) {
    SCOPED_TRACE(c.name);
    auto read = AnchorProof::Deserialize(c.text);
    ASSERT_TRUE(read.ok()) << read.error().ToString();
    EXPECT_EQ(*read, kProof);
    EXPECT_EQ(read->Serialize(), kProofJson);
  }
}

TEST(AnchorJson, CarriesEveryTextAndKindUnchanged) {
  const AnchorReceipt receipts[] = {
      AnchorReceipt::Create("", AnchorKind::kOpenTimestamps, "", "", "", "", ""),
      AnchorReceipt::Create("a\"b\\c\nd", AnchorKind::kEthereum, "no hex at all", "q\"\\\n\t",
                            "not a time", "yesterday", "AAAA=="),
      AnchorReceipt::Create("\xC3\xA9\x01\x7F", AnchorKind::kSolana, std::string(64, 'F'), "/",
                            "\xF0\x9F\x98\x80", "\x1F", "x"),
      AnchorReceipt::Create("h", AnchorKind::kHandshake, "AbC", "r", "s", "e", "p"),
      AnchorReceipt::Create("n", AnchorKind::kNistTsa, "0", "r", "s", "e", "p"),
  };
  for (const AnchorReceipt& r : receipts) {
    const std::string text = r.Serialize();
    SCOPED_TRACE(text);
    auto back = AnchorReceipt::Deserialize(text);
    ASSERT_TRUE(back.ok()) << back.error().ToString();
    EXPECT_EQ(*back, r);
  }
  EXPECT_EQ(
      receipts[1].Serialize(),
      R"({"anchor_id":"a\"b\\c\nd","anchor_kind":"ethereum","merkle_root_hex":"no hex at all",)"
      R"("submission_ref":"q\"\\\n\t","submitted_at":"not a time",)"
      R"("expected_finality_at":"yesterday","proof_b64":"AAAA=="})");
  EXPECT_EQ(
      receipts[2].Serialize(),
      "{\"anchor_id\":\"\xC3\xA9\\u0001\x7F\",\"anchor_kind\":\"solana\",\"merkle_root_hex\":\"" +
          std::string(64, 'F') +
          "\",\"submission_ref\":\"/\",\"submitted_at\":\"\xF0\x9F\x98\x80\","
          "\"expected_finality_at\":\"\\u001f\",\"proof_b64\":\"x\"}");

  for (bool confirmed : {false, true}) {
    const AnchorProof p =
        AnchorProof::Create("a\"", AnchorKind::kHandshake, "abc", confirmed, "never", "d\\");
    auto back = AnchorProof::Deserialize(p.Serialize());
    ASSERT_TRUE(back.ok()) << back.error().ToString();
    EXPECT_EQ(*back, p);
    EXPECT_EQ(back->confirmed(), confirmed);
  }
}

std::string ReceiptWithKind(const std::string& kind_json) {
  return R"({"anchor_id":"a","anchor_kind":)" + kind_json +
         R"(,"merkle_root_hex":"","submission_ref":"","submitted_at":"",)"
         R"("expected_finality_at":"","proof_b64":""})";
}

std::string ProofWithConfirmed(const std::string& confirmed_json) {
  return R"({"anchor_id":"a","anchor_kind":"local","merkle_root_hex":"","confirmed":)" +
         confirmed_json + R"(,"authoritative_time":"","detail":""})";
}

constexpr char kKindList[] =
    "expected one of `open_timestamps`, `ethereum`, `solana`, `nist_tsa`, `handshake`, `local`";

TEST(AnchorJson, ReportsReceiptErrorsWithPositions) {
  struct Case {
    std::string text;
    std::string error;
  };
  const Case cases[] = {
      {"{}", "missing field `anchor_id` at line 1 column 2"},
      {R"({"anchor_kind":"local","merkle_root_hex":"","submission_ref":"",)"
       R"("submitted_at":"","expected_finality_at":""})",
       "missing field `anchor_id` at line 1 column 108"},
      {R"({"anchor_id":"a","anchor_kind":"local","merkle_root_hex":"","submission_ref":"",)"
       "\n"
       R"("submitted_at":"","expected_finality_at":""})",
       "missing field `proof_b64` at line 2 column 44"},
      {R"({"anchor_id":"a","anchor_id":"b"})", "duplicate field `anchor_id` at line 1 column 28"},
      {R"({"anchor_id":"a","anchor_id":})", "duplicate field `anchor_id` at line 1 column 28"},
      {R"({"Anchor_id":"a"})", "missing field `anchor_id` at line 1 column 17"},
      {R"(["a","local","","","",""])",
       "invalid length 6, expected struct AnchorReceipt with 7 elements at line 1 column 25"},
      {"[]", "invalid length 0, expected struct AnchorReceipt with 7 elements at line 1 column 2"},
      {R"(["a","local","","","","","",""])", "trailing characters at line 1 column 29"},
      {"\"receipt\"",
       "invalid type: string \"receipt\", expected struct AnchorReceipt at line 1 "
       "column 9"},
      {"null", "invalid type: null, expected struct AnchorReceipt at line 1 column 4"},
      {"7", "invalid type: integer `7`, expected struct AnchorReceipt at line 1 column 1"},
      {"true", "invalid type: boolean `true`, expected struct AnchorReceipt at line 1 column 4"},
      {"", "EOF while parsing a value at line 1 column 0"},
      {kReceiptJson + " x", "trailing characters at line 1 column 267"},
      {kReceiptJson + "{}", "trailing characters at line 1 column 266"},
      {R"({"anchor_id":5})", "invalid type: integer `5`, expected a string at line 1 column 14"},
      {R"({"anchor_id":null})", "invalid type: null, expected a string at line 1 column 17"},
      {R"({"anchor_id":"a")", "EOF while parsing an object at line 1 column 16"},
      {R"({"x":[1,}],"anchor_id":"a"})", "expected value at line 1 column 9"},
      // The kind.
      {ReceiptWithKind(R"("Local")"),
       std::string("unknown variant `Local`, ") + kKindList + " at line 1 column 38"},
      {ReceiptWithKind(R"("")"),
       std::string("unknown variant ``, ") + kKindList + " at line 1 column 33"},
      {ReceiptWithKind(R"({"Local":null})"),
       std::string("unknown variant `Local`, ") + kKindList + " at line 1 column 39"},
      {ReceiptWithKind(R"({"local":1})"),
       "invalid type: integer `1`, expected unit at line 1 column 41"},
      {ReceiptWithKind(R"({"local":"x"})"),
       "invalid type: string \"x\", expected unit at line 1 column 43"},
      {ReceiptWithKind(R"({"local":null,"ethereum":null})"), "expected value at line 1 column 44"},
      {ReceiptWithKind(R"({"local":null "x"})"), "expected value at line 1 column 45"},
      {ReceiptWithKind(R"({})"), "expected value at line 1 column 33"},
      {ReceiptWithKind(R"({1:null})"),
       "invalid type: integer `1`, expected variant identifier at line 1 column 33"},
      {ReceiptWithKind("null"), "expected value at line 1 column 32"},
      {ReceiptWithKind("5"), "expected value at line 1 column 32"},
      {ReceiptWithKind("false"), "expected value at line 1 column 32"},
      {ReceiptWithKind(R"(["local"])"), "expected value at line 1 column 32"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto read = AnchorReceipt::Deserialize(c.text);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error().ToString(), c.error);
  }
}

TEST(AnchorJson, ReportsProofErrorsWithPositions) {
  struct Case {
    std::string text;
    std::string error;
  };
  const Case cases[] = {
      {"[]", "invalid length 0, expected struct AnchorProof with 6 elements at line 1 column 2"},
      {R"(["a","local","",true,""])",
       "invalid length 5, expected struct AnchorProof with 6 elements at line 1 column 24"},
      {R"(["a","local","",true,"","",1])", "trailing characters at line 1 column 28"},
      {"{}", "missing field `anchor_id` at line 1 column 2"},
      {R"({"anchor_id":"a","anchor_kind":"local","merkle_root_hex":"",)"
       R"("authoritative_time":"","detail":""})",
       "missing field `confirmed` at line 1 column 96"},
      {"\"p\"", "invalid type: string \"p\", expected struct AnchorProof at line 1 column 3"},
      {ProofWithConfirmed(R"("true")"),
       "invalid type: string \"true\", expected a boolean at line 1 column 78"},
      {ProofWithConfirmed(R"("false")"),
       "invalid type: string \"false\", expected a boolean at line 1 column 79"},
      {ProofWithConfirmed("null"), "invalid type: null, expected a boolean at line 1 column 76"},
      {ProofWithConfirmed("1"),
       "invalid type: integer `1`, expected a boolean at line 1 column 73"},
      {ProofWithConfirmed("0.5"),
       "invalid type: floating point `0.5`, expected a boolean at line 1 column 75"},
      {ProofWithConfirmed("[]"), "invalid type: sequence, expected a boolean at line 1 column 72"},
      {ProofWithConfirmed("{}"), "invalid type: map, expected a boolean at line 1 column 72"},
      {ProofWithConfirmed("True"), "expected value at line 1 column 73"},
      {ProofWithConfirmed("tru"), "expected ident at line 1 column 76"},
      {R"({"confirmed":true,"confirmed":false})",
       "duplicate field `confirmed` at line 1 column 29"},
      {R"(["a","Local","",true,"",""])",
       std::string("unknown variant `Local`, ") + kKindList + " at line 1 column 12"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto read = AnchorProof::Deserialize(c.text);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error().ToString(), c.error);
  }
}

}  // namespace
}  // namespace qiv
