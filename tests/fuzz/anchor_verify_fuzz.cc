// Fuzzes MockAnchor::Verify, whose only parser is the decoding of a receipt's root text.
//
// The input is the receipt's merkle_root_hex. Each run uses a fresh anchor holding three
// fixed roots (all zero, 00 01 .. 1f, all ff) and, when the input is the hex of 32 bytes whose
// last byte is even, that root too, so that both verified and unknown roots are reached.
// Properties, checked against an independent decoder:
//   - Verify never faults;
//   - a text that decodes to a held root verifies, and so do its upper- and lower-cased
//     copies; the proof names this anchor, keeps the text as given, is confirmed, carries the
//     receipt's submitted_at and the detail "mock";
//   - a text of 32 bytes that is not held gives NotFound with the text unchanged as detail;
//   - any other text gives BadResponse with the detail the decoding rules name (odd length,
//     first invalid byte and its position, or the length), the same for a case-changed copy;
//   - the anchor's table of roots is the same before and after.
#include <array>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "qiv/primitives/anchor.h"
#include "qiv/primitives/anchor_error.h"
#include "qiv/primitives/anchor_kind.h"
#include "qiv/primitives/anchor_receipt.h"
#include "qiv/primitives/fault.h"
#include "qiv/primitives/mock_anchor.h"

namespace qiv {

// Reads the anchor's table, which no public call exposes, to check that Verify leaves it as
// it was. This program is the only one that defines the peer.
class MockAnchorTestPeer {
 public:
  static std::map<MerkleRoot, AnchorReceipt> Table(const MockAnchor& anchor) {
    std::lock_guard<std::mutex> lock(anchor.mu_);
    return anchor.receipts_;
  }
};

}  // namespace qiv

namespace {

using qiv::AnchorError;
using qiv::MerkleRoot;
using qiv::fuzz::Escaped;

constexpr char kAnchorId[] = "fuzz-anchor";
// Verify must copy submitted_at through whatever it holds.
constexpr std::string_view kSubmittedAt("not a time\0\xff", 12);

// How the decoding rules judge a root text, worked out independently of the anchor.
struct Expected {
  std::optional<MerkleRoot> root;  // set when the text is the hex of 32 bytes
  std::string bad_detail_prefix;   // otherwise the start of the BadResponse detail
  std::string bad_detail_suffix;   // and its end ("" when the prefix is the whole detail)
};

int HexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

Expected Judge(std::string_view text) {
  Expected e;
  if (text.size() % 2 != 0) {
    e.bad_detail_prefix = qiv::kAnchorOddNumberOfDigits;
    return e;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (HexValue(static_cast<unsigned char>(text[i])) < 0) {
      e.bad_detail_prefix = "Invalid character '";
      e.bad_detail_suffix = "' at position " + std::to_string(i);
      return e;
    }
  }
  if (text.size() != 2 * qiv::kMerkleRootSize) {
    e.bad_detail_prefix = qiv::kAnchorRootLen;
    return e;
  }
  MerkleRoot root;
  for (std::size_t i = 0; i < root.size(); ++i) {
    root[i] = static_cast<std::uint8_t>(HexValue(static_cast<unsigned char>(text[2 * i])) << 4 |
                                        HexValue(static_cast<unsigned char>(text[2 * i + 1])));
  }
  e.root = root;
  return e;
}

MerkleRoot Filled(std::uint8_t value) {
  MerkleRoot root;
  root.fill(value);
  return root;
}

MerkleRoot Counting() {
  MerkleRoot root;
  for (std::size_t i = 0; i < root.size(); ++i) root[i] = static_cast<std::uint8_t>(i);
  return root;
}

std::string KindName(AnchorError::Kind kind) {
  switch (kind) {
    case AnchorError::Kind::kNetwork: return "Network";
    case AnchorError::Kind::kBadResponse: return "BadResponse";
    case AnchorError::Kind::kAlreadySubmitted: return "AlreadySubmitted";
    case AnchorError::Kind::kNotFound: return "NotFound";
    case AnchorError::Kind::kUnsupported: return "Unsupported";
  }
  return "kind " + std::to_string(static_cast<int>(kind));
}

std::string Outcome(const qiv::Result<qiv::AnchorProof, AnchorError>& r) {
  if (r.ok()) return "a proof";
  return KindName(r.error().kind()) + " " + Escaped(r.error().detail());
}

std::string WithAsciiCase(std::string_view text, int (*convert)(int)) {
  std::string out(text);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x80) c = static_cast<char>(convert(c));
  }
  return out;
}

qiv::AnchorReceipt ReceiptFor(std::string root_hex) {
  // Fields Verify must ignore hold values no anchor of ours would write.
  return qiv::AnchorReceipt::Create("someone-else", qiv::AnchorKind::kEthereum,
                                    std::move(root_hex), "ref\n", std::string(kSubmittedAt),
                                    "never", "!!");
}

void CheckVerify(qiv::MockAnchor& anchor, const std::map<MerkleRoot, qiv::AnchorReceipt>& before,
                 const std::string& text, std::string_view input) {
  const Expected expected = Judge(text);
  const qiv::AnchorReceipt receipt = ReceiptFor(text);
  const auto result = anchor.Verify(receipt);
  // Built only for a report.
  const auto where = [&] { return "Verify(" + Escaped(text) + ") for input " + Escaped(input); };

  if (expected.root && before.contains(*expected.root)) {
    QIV_FUZZ_CHECK(result.ok(), where() << ": expected a proof, got " << Outcome(result));
    const qiv::AnchorProof& proof = *result;
    QIV_FUZZ_CHECK(proof.anchor_id() == kAnchorId && proof.anchor_kind() == qiv::AnchorKind::kLocal &&
                       proof.merkle_root_hex() == text && proof.confirmed() &&
                       proof.authoritative_time() == kSubmittedAt && proof.detail() == "mock",
                   where() << ": proof fields wrong: anchor_id " << Escaped(proof.anchor_id())
                         << ", root " << Escaped(proof.merkle_root_hex()) << ", time "
                         << Escaped(proof.authoritative_time()) << ", detail "
                         << Escaped(proof.detail()));
  } else if (expected.root) {
    QIV_FUZZ_CHECK(!result.ok() && result.error().kind() == AnchorError::Kind::kNotFound &&
                       result.error().detail() == text,
                   where() << ": expected NotFound " << Escaped(text) << ", got " << Outcome(result));
  } else {
    QIV_FUZZ_CHECK(!result.ok() && result.error().kind() == AnchorError::Kind::kBadResponse,
                   where() << ": expected BadResponse, got " << Outcome(result));
    const std::string& detail = result.error().detail();
    const bool matches =
        expected.bad_detail_suffix.empty()
            ? detail == expected.bad_detail_prefix
            : detail.starts_with(expected.bad_detail_prefix) &&
                  detail.ends_with(expected.bad_detail_suffix) &&
                  detail.size() > expected.bad_detail_prefix.size() +
                                      expected.bad_detail_suffix.size();
    QIV_FUZZ_CHECK(matches, where() << ": detail " << Escaped(detail) << ", expected "
                                  << Escaped(expected.bad_detail_prefix) << "<c>"
                                  << Escaped(expected.bad_detail_suffix));
  }

  const auto after = qiv::MockAnchorTestPeer::Table(anchor);
  QIV_FUZZ_CHECK(after == before, where() << ": the table of roots changed (" << before.size()
                                        << " entries before, " << after.size() << " after)");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = qiv::fuzz::AsText(data, size);

  qiv::MockAnchor anchor(kAnchorId);
  for (const MerkleRoot& root : {Filled(0x00), Counting(), Filled(0xFF)}) {
    QIV_FUZZ_CHECK(anchor.Submit(root).ok(), "setup submission failed");
  }
  const Expected judged = Judge(input);
  if (judged.root && ((*judged.root)[31] & 1) == 0) (void)anchor.Submit(*judged.root);
  const auto before = qiv::MockAnchorTestPeer::Table(anchor);

  try {
    CheckVerify(anchor, before, std::string(input), input);
    CheckVerify(anchor, before, WithAsciiCase(input, [](int c) { return std::toupper(c); }), input);
    CheckVerify(anchor, before, WithAsciiCase(input, [](int c) { return std::tolower(c); }), input);
  } catch (const qiv::Fault& fault) {
    QIV_FUZZ_CHECK(false, "Verify faulted on " << Escaped(input) << ": " << fault.message());
  }
  return 0;
}
