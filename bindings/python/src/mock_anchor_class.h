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

  // An object can exist without an anchor only when Python code replaced the class's __new__
  // and built it with object.__new__: refuse it instead of dereferencing nothing.
  MockAnchor& anchor() const {
    if (anchor_ == nullptr) RaiseFault("MockAnchor object was not created by MockAnchor()");
    return *anchor_;
  }

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
