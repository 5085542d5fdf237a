#include "qiv/primitives/mock_anchor.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "qiv/primitives/fault.h"
#include "qiv/primitives/hex.h"

namespace qiv {
namespace {

// The in-memory anchor's fixed texts.
constexpr std::string_view kSubmissionRefPrefix = "mock://";
constexpr std::string_view kFixedTime = "2026-04-15T09:00:00Z";
constexpr std::string_view kProofDetail = "mock";
constexpr std::size_t kSubmissionRefBytes = 4;

constexpr char kLowerHexDigits[] = "0123456789abcdef";

std::optional<std::uint8_t> HexDigitValue(unsigned char c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

void AppendUtf8(std::string& out, char32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else {
    // Only code points up to U+00FF reach here: a byte taken as a character.
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

// Writes one byte of a root text as a quoted character: the byte is read as the code point of
// the same value, so the lead byte of a multi-byte UTF-8 sequence shows as its Latin-1
// character (0xC3 as 'Ã').
void AppendQuotedByte(std::string& out, unsigned char byte) {
  out.push_back('\'');
  switch (byte) {
    case 0x00:
      out += "\\0";
      break;
    case '\t':
      out += "\\t";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\'':
      out += "\\'";
      break;
    case '\\':
      out += "\\\\";
      break;
    default:
      if (byte < 0x20 || (byte >= 0x7F && byte <= 0xA0) || byte == 0xAD) {
        out += "\\u{";
        if (byte >= 0x10) out.push_back(kLowerHexDigits[byte >> 4]);
        out.push_back(kLowerHexDigits[byte & 0x0F]);
        out.push_back('}');
      } else {
        AppendUtf8(out, byte);
      }
  }
  out.push_back('\'');
}

// Decodes a root text of either letter case into `out`. Every byte is checked, even when the
// length is already wrong, so that a bad character is reported in preference to the length.
Result<void, AnchorError> DecodeRootHex(std::string_view text, MerkleRoot& out) {
  if (text.size() % 2 != 0) return Err(AnchorError::BadResponse(kAnchorOddNumberOfDigits));
  const bool fits = text.size() == 2 * kMerkleRootSize;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const auto high = HexDigitValue(static_cast<unsigned char>(text[i]));
    if (!high) {
      std::string detail = "Invalid character ";
      AppendQuotedByte(detail, static_cast<unsigned char>(text[i]));
      detail += " at position " + std::to_string(i);
      return Err(AnchorError::BadResponse(std::move(detail)));
    }
    const auto low = HexDigitValue(static_cast<unsigned char>(text[i + 1]));
    if (!low) {
      std::string detail = "Invalid character ";
      AppendQuotedByte(detail, static_cast<unsigned char>(text[i + 1]));
      detail += " at position " + std::to_string(i + 1);
      return Err(AnchorError::BadResponse(std::move(detail)));
    }
    if (fits) out[i / 2] = static_cast<std::uint8_t>((*high << 4) | *low);
  }
  if (!fits) return Err(AnchorError::BadResponse(kAnchorRootLen));
  return {};
}

}  // namespace

// Holds the anchor's mutex for one operation. Refuses a poisoned mutex with a fault, and
// poisons it when the section is left by an exception, so that a table possibly left half
// updated is never used again.
class MockAnchor::LockedSection {
 public:
  explicit LockedSection(MockAnchor& anchor)
      : anchor_(anchor), lock_(anchor.mu_), exceptions_on_entry_(std::uncaught_exceptions()) {
    // Throwing from the constructor releases lock_ and skips the destructor, so the fault
    // does not count as one raised inside the section.
    if (anchor_.poisoned_) RaiseFault(kMockAnchorPoisonedMessage);
  }

  ~LockedSection() {
    if (std::uncaught_exceptions() > exceptions_on_entry_) anchor_.poisoned_ = true;
  }

  LockedSection(const LockedSection&) = delete;
  LockedSection& operator=(const LockedSection&) = delete;

 private:
  MockAnchor& anchor_;
  std::unique_lock<std::mutex> lock_;
  const int exceptions_on_entry_;
};

Result<AnchorReceipt, AnchorError> MockAnchor::Submit(const MerkleRoot& merkle_root) {
  LockedSection locked(*this);
  if (locked_hook_for_testing_) locked_hook_for_testing_();
  std::string root_hex = HexEncode(merkle_root);
  if (receipts_.contains(merkle_root)) return Err(AnchorError::AlreadySubmitted(root_hex));
  std::string submission_ref(kSubmissionRefPrefix);
  AppendHex(submission_ref, std::span(merkle_root).first<kSubmissionRefBytes>());
  AnchorReceipt receipt =
      AnchorReceipt::Create(id_, AnchorKind::kLocal, std::move(root_hex), std::move(submission_ref),
                            std::string(kFixedTime), std::string(kFixedTime), std::string());
  receipts_.emplace(merkle_root, receipt);
  return receipt;
}

Result<AnchorProof, AnchorError> MockAnchor::Verify(const AnchorReceipt& receipt) {
  // A malformed root text is refused before the mutex is taken: it never waits for the mutex
  // and never meets a poisoned one.
  MerkleRoot root{};
  QIV_RETURN_IF_ERROR(DecodeRootHex(receipt.merkle_root_hex(), root));

  LockedSection locked(*this);
  if (locked_hook_for_testing_) locked_hook_for_testing_();
  if (!receipts_.contains(root)) return Err(AnchorError::NotFound(receipt.merkle_root_hex()));
  return AnchorProof::Create(id_, AnchorKind::kLocal, receipt.merkle_root_hex(),
                             /*confirmed=*/true, receipt.submitted_at(), std::string(kProofDetail));
}

}  // namespace qiv
