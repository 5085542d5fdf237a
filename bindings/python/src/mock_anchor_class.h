// The Python class MockAnchor: owns one in-memory anchor.
#ifndef QIV_BINDING_MOCK_ANCHOR_CLASS_H_
#define QIV_BINDING_MOCK_ANCHOR_CLASS_H_

#include <memory>
#include <string_view>

#include "machinery/binding.h"
#include "qiv/primitives/mock_anchor.h"

namespace qiv::py {

// What a MockAnchor object holds. The anchor lives on the heap because its mutex cannot move,
// while the machinery moves a value into its object; the anchor itself never moves.
class HeldMockAnchor {
 public:
  explicit HeldMockAnchor(std::string_view id) : anchor_(std::make_unique<MockAnchor>(id)) {}

  // An object made around the constructor holds no HeldMockAnchor at all; the machinery
  // refuses it before any method runs, so the anchor is always there.
  MockAnchor& anchor() const { return *anchor_; }

 private:
  std::unique_ptr<MockAnchor> anchor_;
};

template <>
struct ClassTraits<HeldMockAnchor> {
  static constexpr char kName[] = "MockAnchor";
  static constexpr bool kSharedBorrow = true;
};

}  // namespace qiv::py

#endif  // QIV_BINDING_MOCK_ANCHOR_CLASS_H_
