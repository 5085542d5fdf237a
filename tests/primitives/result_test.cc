#include "qiv/primitives/result.h"

#include <gtest/gtest.h>

#include <string>

#include "qiv/primitives/fault.h"

namespace qiv {
namespace {

Result<int, std::string> Half(int n) {
  if (n % 2 != 0) return Err(std::string("odd"));
  return n / 2;
}

Result<void, std::string> Quarter(int n, int& out) {
  auto half = Half(n);
  QIV_RETURN_IF_ERROR(half);
  auto quarter = Half(*half);
  QIV_RETURN_IF_ERROR(quarter);
  out = *quarter;
  return {};
}

TEST(Result, PropagatesTheFirstError) {
  int out = 0;
  EXPECT_TRUE(Quarter(8, out).ok());
  EXPECT_EQ(out, 2);
  auto failed = Quarter(6, out);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error(), "odd");
}

TEST(Result, KeepsValueAndErrorApartWhenTheyShareAType) {
  Result<std::string, std::string> value = std::string("v");
  Result<std::string, std::string> error = Err(std::string("e"));
  EXPECT_TRUE(value.ok());
  EXPECT_EQ(*value, "v");
  EXPECT_FALSE(error.ok());
  EXPECT_EQ(error.error(), "e");
}

TEST(Fault, CarriesMessageAndPosition) {
  try {
    RaiseFault("broken invariant");
    FAIL() << "no fault";
  } catch (const Fault& fault) {
    EXPECT_EQ(fault.message(), "broken invariant");
    EXPECT_GT(fault.where().line(), 0u);
  }
}

}  // namespace
}  // namespace qiv
