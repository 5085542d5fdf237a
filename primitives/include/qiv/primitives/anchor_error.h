// AnchorError: why an anchor operation failed.
//
// One of five kinds, each carrying exactly one detail text. The error has no message of its
// own: the binding renders it with a fixed prefix per kind before the detail. The in-memory
// anchor produces kBadResponse and kNotFound (from Verify) and kAlreadySubmitted (from
// Submit); kNetwork and kUnsupported belong to anchors that reach an outside service.
//
//   auto proof = anchor.Verify(receipt);
//   if (!proof.ok() && proof.error().kind() == qiv::AnchorError::Kind::kNotFound) {
//     Log(proof.error().detail());   // the receipt's root text, as it carried it
//   }
//
// An immutable value; safe to read from any number of threads.
#ifndef QIV_PRIMITIVES_ANCHOR_ERROR_H_
#define QIV_PRIMITIVES_ANCHOR_ERROR_H_

#include <cstdint>
#include <string>
#include <utility>

namespace qiv {

class AnchorError {
 public:
  // Declaration order is significant (the binding maps kinds through a table in this order).
  enum class Kind : std::uint8_t {
    kNetwork = 0,           // detail: free text supplied by the anchor
    kBadResponse = 1,       // detail: why the receipt's root text is not 32 bytes of hex
    kAlreadySubmitted = 2,  // detail: the root as 64 lowercase hexadecimal characters
    kNotFound = 3,          // detail: the receipt's root text exactly as it was carried
    kUnsupported = 4,       // detail: free text supplied by the anchor
  };

  static AnchorError Network(std::string detail) {
    return AnchorError(Kind::kNetwork, std::move(detail));
  }
  static AnchorError BadResponse(std::string detail) {
    return AnchorError(Kind::kBadResponse, std::move(detail));
  }
  static AnchorError AlreadySubmitted(std::string detail) {
    return AnchorError(Kind::kAlreadySubmitted, std::move(detail));
  }
  static AnchorError NotFound(std::string detail) {
    return AnchorError(Kind::kNotFound, std::move(detail));
  }
  static AnchorError Unsupported(std::string detail) {
    return AnchorError(Kind::kUnsupported, std::move(detail));
  }

  Kind kind() const { return kind_; }
  const std::string& detail() const& { return detail_; }
  // Lets the binding take the detail over when it consumes the error.
  std::string&& detail() && { return std::move(detail_); }

  friend bool operator==(const AnchorError&, const AnchorError&) = default;

 private:
  AnchorError(Kind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}

  Kind kind_;
  std::string detail_;
};

// Detail texts of kBadResponse when a root text does not decode to 32 bytes. The
// invalid-character detail is built by the anchor: "Invalid character <c> at position <n>".
inline constexpr char kAnchorOddNumberOfDigits[] = "Odd number of digits";
inline constexpr char kAnchorRootLen[] = "root len";

}  // namespace qiv

#endif  // QIV_PRIMITIVES_ANCHOR_ERROR_H_
