#include "qiv/primitives/anchor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "qiv/primitives/anchor_error.h"
#include "qiv/primitives/anchor_kind.h"
#include "qiv/primitives/anchor_proof.h"
#include "qiv/primitives/anchor_receipt.h"
#include "qiv/primitives/fault.h"
#include "qiv/primitives/mock_anchor.h"

namespace qiv {

class MockAnchorTestPeer {
 public:
  static void SetLockedHook(MockAnchor& anchor, std::function<void()> hook) {
    anchor.locked_hook_for_testing_ = std::move(hook);
  }
};

namespace {

constexpr char kTime[] = "2026-04-15T09:00:00Z";

MerkleRoot Counting() {
  MerkleRoot root;
  for (std::size_t i = 0; i < root.size(); ++i) root[i] = static_cast<std::uint8_t>(i);
  return root;
}

MerkleRoot Filled(std::uint8_t byte) {
  MerkleRoot root;
  root.fill(byte);
  return root;
}

std::string Repeat(const std::string& unit, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += unit;
  return out;
}

const std::string kCountingHex = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

AnchorReceipt ReceiptWithRoot(std::string root_hex) {
  return AnchorReceipt::Create("someone-else", AnchorKind::kEthereum, std::move(root_hex), "ref",
                               kTime, kTime, "");
}

TEST(MockAnchor, SubmitIssuesReceiptWithFixedTexts) {
  struct Case {
    MerkleRoot root;
    std::string root_hex;
    std::string submission_ref;
  };
  const Case cases[] = {
      {Counting(), kCountingHex, "mock://00010203"},
      {Filled(0xFF), std::string(64, 'f'), "mock://ffffffff"},
      {Filled(0x0A), Repeat("0a", 32), "mock://0a0a0a0a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.root_hex);
    MockAnchor anchor("anchor-1");
    auto receipt = anchor.Submit(c.root);
    ASSERT_TRUE(receipt.ok());
    EXPECT_EQ(*receipt, AnchorReceipt::Create("anchor-1", AnchorKind::kLocal, c.root_hex,
                                              c.submission_ref, kTime, kTime, ""));
  }
}

TEST(MockAnchor, SecondSubmissionOfARootFailsAndKeepsTheFirst) {
  MockAnchor anchor("a");
  auto first = anchor.Submit(Filled(0xAB));
  ASSERT_TRUE(first.ok());

  auto second = anchor.Submit(Filled(0xAB));
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error(), AnchorError::AlreadySubmitted(Repeat("ab", 32)));

  auto proof = anchor.Verify(*first);
  ASSERT_TRUE(proof.ok());
  EXPECT_TRUE(proof->confirmed());
  EXPECT_TRUE(anchor.Submit(Counting()).ok());
}

TEST(MockAnchor, AnchorsShareNothing) {
  MockAnchor a("a");
  MockAnchor b("");
  auto from_a = a.Submit(Counting());
  auto from_b = b.Submit(Counting());
  ASSERT_TRUE(from_a.ok());
  ASSERT_TRUE(from_b.ok());
  EXPECT_EQ(from_a->anchor_id(), "a");
  EXPECT_EQ(*from_b, AnchorReceipt::Create("", from_a->anchor_kind(), from_a->merkle_root_hex(),
                                           from_a->submission_ref(), from_a->submitted_at(),
                                           from_a->expected_finality_at(), from_a->proof_b64()));

  // A receipt from another anchor verifies where the same root is held, and the proof names
  // the anchor that verified.
  auto proof = b.Verify(*from_a);
  ASSERT_TRUE(proof.ok());
  EXPECT_EQ(proof->anchor_id(), "");

  MockAnchor c("c");
  auto not_held = c.Verify(*from_a);
  ASSERT_FALSE(not_held.ok());
  EXPECT_EQ(not_held.error(), AnchorError::NotFound(kCountingHex));
}

TEST(MockAnchor, VerifyReadsOnlyTheRootTextAndSubmittedAt) {
  MockAnchor anchor("anchor-1");
  auto issued = anchor.Submit(Counting());
  ASSERT_TRUE(issued.ok());
  const AnchorReceipt& r = *issued;
  std::string upper = kCountingHex;
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  std::string mixed = kCountingHex;
  mixed[21] = 'A';  // "0a" -> "0A"

  struct Case {
    const char* name;
    AnchorReceipt receipt;
    std::string expected_root_hex;
    std::string expected_time;
  };
  const Case cases[] = {
      {"as issued", r, kCountingHex, kTime},
      {"anchor_id",
       AnchorReceipt::Create("other", r.anchor_kind(), r.merkle_root_hex(), r.submission_ref(),
                             r.submitted_at(), r.expected_finality_at(), r.proof_b64()),
       kCountingHex, kTime},
      {"anchor_kind",
       AnchorReceipt::Create(r.anchor_id(), AnchorKind::kSolana, r.merkle_root_hex(),
                             r.submission_ref(), r.submitted_at(), r.expected_finality_at(),
                             r.proof_b64()),
       kCountingHex, kTime},
      {"submission_ref",
       AnchorReceipt::Create(r.anchor_id(), r.anchor_kind(), r.merkle_root_hex(), "x",
                             r.submitted_at(), r.expected_finality_at(), r.proof_b64()),
       kCountingHex, kTime},
      {"expected_finality_at",
       AnchorReceipt::Create(r.anchor_id(), r.anchor_kind(), r.merkle_root_hex(),
                             r.submission_ref(), r.submitted_at(), "never", r.proof_b64()),
       kCountingHex, kTime},
      {"proof_b64",
       AnchorReceipt::Create(r.anchor_id(), r.anchor_kind(), r.merkle_root_hex(),
                             r.submission_ref(), r.submitted_at(), r.expected_finality_at(),
                             "AAAA"),
       kCountingHex, kTime},
      {"submitted_at",
       AnchorReceipt::Create(r.anchor_id(), r.anchor_kind(), r.merkle_root_hex(),
                             r.submission_ref(), "no time at all", r.expected_finality_at(),
                             r.proof_b64()),
       kCountingHex, "no time at all"},
      {"uppercase root", ReceiptWithRoot(upper), upper, kTime},
      {"mixed-case root", ReceiptWithRoot(mixed), mixed, kTime},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto proof = anchor.Verify(c.receipt);
    ASSERT_TRUE(proof.ok()) << proof.error().detail();
    EXPECT_EQ(*proof, AnchorProof::Create("anchor-1", AnchorKind::kLocal, c.expected_root_hex, true,
                                          c.expected_time, "mock"));
  }
}

TEST(MockAnchor, VerifyReportsAnUnheldRootTextUnchanged) {
  MockAnchor anchor("fresh");
  const std::string texts[] = {kCountingHex, std::string(64, 'F'), std::string(64, '0')};
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    auto proof = anchor.Verify(ReceiptWithRoot(text));
    ASSERT_FALSE(proof.ok());
    EXPECT_EQ(proof.error(), AnchorError::NotFound(text));
  }
}

TEST(MockAnchor, VerifyRefusesRootTextsThatAreNot32BytesOfHex) {
  const std::string digits63(63, '1');
  struct Case {
    std::string text;
    std::string detail;
  };
  const Case cases[] = {
      {"", "root len"},
      {"abc", "Odd number of digits"},
      {digits63, "Odd number of digits"},
      {std::string(63, 'z'), "Odd number of digits"},
      {std::string(66, '1'), "root len"},
      {std::string(62, '1'), "root len"},
      {"zz" + std::string(62, '1'), "Invalid character 'z' at position 0"},
      {"1g" + std::string(62, '1'), "Invalid character 'g' at position 1"},
      {digits63 + " ", "Invalid character ' ' at position 63"},
      // A bad character wins over a wrong length, wherever it is.
      {std::string(65, '1') + "x", "Invalid character 'x' at position 65"},
      // Each byte is a character of its own: the lead byte of "é" shows as its Latin-1 form.
      {"\xc3\xa9" + std::string(62, '1'), "Invalid character '\xc3\x83' at position 0"},
      {"1\xc3\xa9" + std::string(61, '1'), "Invalid character '\xc3\x83' at position 1"},
      {std::string(1, '\0') + std::string(63, '1'), "Invalid character '\\0' at position 0"},
      {"\t1", "Invalid character '\\t' at position 0"},
      {"\n1", "Invalid character '\\n' at position 0"},
      {"\r1", "Invalid character '\\r' at position 0"},
      {"'1", "Invalid character '\\'' at position 0"},
      {"\\1", "Invalid character '\\\\' at position 0"},
      {"\"1", "Invalid character '\"' at position 0"},
      {std::string{'\x01', '1'}, "Invalid character '\\u{1}' at position 0"},
      {std::string{'\x1f', '1'}, "Invalid character '\\u{1f}' at position 0"},
      {std::string{'\x7f', '1'}, "Invalid character '\\u{7f}' at position 0"},
      {std::string{'\x80', '1'}, "Invalid character '\\u{80}' at position 0"},
      {std::string{'\xa0', '1'}, "Invalid character '\\u{a0}' at position 0"},
      {std::string{'\xa1', '1'}, "Invalid character '\xc2\xa1' at position 0"},
      {std::string{'\xad', '1'}, "Invalid character '\\u{ad}' at position 0"},
      {std::string{'\xff', '1'}, "Invalid character '\xc3\xbf' at position 0"},
      {"~1", "Invalid character '~' at position 0"},
  };
  MockAnchor anchor("a");
  ASSERT_TRUE(anchor.Submit(Filled(0x11)).ok());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto proof = anchor.Verify(ReceiptWithRoot(c.text));
    ASSERT_FALSE(proof.ok());
    EXPECT_EQ(proof.error(), AnchorError::BadResponse(c.detail));
  }
  // Failed calls left the table as it was.
  EXPECT_TRUE(anchor.Verify(ReceiptWithRoot(std::string(64, '1'))).ok());
  EXPECT_TRUE(anchor.Submit(Filled(0x22)).ok());
}

TEST(MockAnchor, FaultInsideALockedSectionPoisonsTheAnchorForGood) {
  struct Case {
    const char* name;
    std::function<void(MockAnchor&)> faulting_call;
  };
  const Case cases[] = {
      {"submit", [](MockAnchor& anchor) { (void)anchor.Submit(Filled(0x33)); }},
      {"verify",
       [](MockAnchor& anchor) { (void)anchor.Verify(ReceiptWithRoot(std::string(64, '3'))); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MockAnchor anchor("a");
    auto issued = anchor.Submit(Counting());
    ASSERT_TRUE(issued.ok());

    MockAnchorTestPeer::SetLockedHook(anchor, [] { RaiseFault("injected"); });
    EXPECT_THROW(c.faulting_call(anchor), Fault);
    MockAnchorTestPeer::SetLockedHook(anchor, nullptr);

    const std::string poisoned = "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";
    for (int attempt = 0; attempt < 2; ++attempt) {
      try {
        (void)anchor.Submit(Filled(0x44));
        ADD_FAILURE() << "submit did not fault";
      } catch (const Fault& fault) {
        EXPECT_EQ(fault.message(), poisoned);
      }
      try {
        (void)anchor.Verify(*issued);
        ADD_FAILURE() << "verify did not fault";
      } catch (const Fault& fault) {
        EXPECT_EQ(fault.message(), poisoned);
      }
    }
    // A malformed root text is refused before the mutex is taken.
    auto malformed = anchor.Verify(ReceiptWithRoot("abc"));
    ASSERT_FALSE(malformed.ok());
    EXPECT_EQ(malformed.error(), AnchorError::BadResponse("Odd number of digits"));
  }
}

TEST(MockAnchor, ConcurrentSubmissionsOfOneRootAcceptOnlyOne) {
  MockAnchor anchor("a");
  std::atomic<int> accepted = 0;
  std::atomic<int> refused = 0;
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      auto receipt = anchor.Submit(Counting());
      if (receipt.ok()) {
        ++accepted;
      } else if (receipt.error().kind() == AnchorError::Kind::kAlreadySubmitted) {
        ++refused;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(accepted, 1);
  EXPECT_EQ(refused, 7);
}

TEST(AnchorKind, NamesFollowDeclarationOrderAndMatchExactly) {
  const std::pair<AnchorKind, const char*> kinds[] = {
      {AnchorKind::kOpenTimestamps, "open_timestamps"},
      {AnchorKind::kEthereum, "ethereum"},
      {AnchorKind::kSolana, "solana"},
      {AnchorKind::kNistTsa, "nist_tsa"},
      {AnchorKind::kHandshake, "handshake"},
      {AnchorKind::kLocal, "local"},
  };
  for (std::size_t i = 0; i < std::size(kinds); ++i) {
    const auto& [kind, name] = kinds[i];
    SCOPED_TRACE(name);
    EXPECT_EQ(static_cast<std::size_t>(kind), i);
    EXPECT_EQ(AnchorKindName(kind), name);
    EXPECT_EQ(AnchorKindFromName(name), kind);
  }
  for (const char* name : {"Local", "LOCAL", "", "local ", "open-timestamps"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(AnchorKindFromName(name), std::nullopt);
  }
}

TEST(AnchorRecords, EqualOnlyWhenEveryFieldIsEqual) {
  const AnchorReceipt receipt =
      AnchorReceipt::Create("id", AnchorKind::kLocal, "ab", "ref", "t1", "t2", "p");
  const AnchorReceipt receipt_variants[] = {
      AnchorReceipt::Create("ID", AnchorKind::kLocal, "ab", "ref", "t1", "t2", "p"),
      AnchorReceipt::Create("id", AnchorKind::kHandshake, "ab", "ref", "t1", "t2", "p"),
      AnchorReceipt::Create("id", AnchorKind::kLocal, "AB", "ref", "t1", "t2", "p"),
      AnchorReceipt::Create("id", AnchorKind::kLocal, "ab", "re", "t1", "t2", "p"),
      AnchorReceipt::Create("id", AnchorKind::kLocal, "ab", "ref", "t2", "t2", "p"),
      AnchorReceipt::Create("id", AnchorKind::kLocal, "ab", "ref", "t1", "t1", "p"),
      AnchorReceipt::Create("id", AnchorKind::kLocal, "ab", "ref", "t1", "t2", ""),
  };
  EXPECT_EQ(receipt, AnchorReceipt::Create("id", AnchorKind::kLocal, "ab", "ref", "t1", "t2", "p"));
  for (const AnchorReceipt& other : receipt_variants) EXPECT_NE(receipt, other);

  const AnchorProof proof = AnchorProof::Create("id", AnchorKind::kLocal, "ab", true, "t", "d");
  const AnchorProof proof_variants[] = {
      AnchorProof::Create("ID", AnchorKind::kLocal, "ab", true, "t", "d"),
      AnchorProof::Create("id", AnchorKind::kNistTsa, "ab", true, "t", "d"),
      AnchorProof::Create("id", AnchorKind::kLocal, "AB", true, "t", "d"),
      AnchorProof::Create("id", AnchorKind::kLocal, "ab", false, "t", "d"),
      AnchorProof::Create("id", AnchorKind::kLocal, "ab", true, "u", "d"),
      AnchorProof::Create("id", AnchorKind::kLocal, "ab", true, "t", "e"),
  };
  EXPECT_EQ(proof, AnchorProof::Create("id", AnchorKind::kLocal, "ab", true, "t", "d"));
  for (const AnchorProof& other : proof_variants) EXPECT_NE(proof, other);

  EXPECT_EQ(AnchorError::NotFound("x"), AnchorError::NotFound("x"));
  EXPECT_NE(AnchorError::NotFound("x"), AnchorError::BadResponse("x"));
  EXPECT_NE(AnchorError::Network("x"), AnchorError::Unsupported("x"));
  EXPECT_NE(AnchorError::AlreadySubmitted("x"), AnchorError::AlreadySubmitted("y"));
}

}  // namespace
}  // namespace qiv
