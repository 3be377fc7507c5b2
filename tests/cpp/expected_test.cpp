#include "common/expected.h"

#include <gtest/gtest.h>

#include <string>

namespace tamsel {
namespace {

Expected<int, std::string> half(int n) {
  if (n % 2 != 0) return unexpected(std::string("odd"));
  return n / 2;
}

TEST(Expected, CarriesValueOrError) {
  auto good = half(4);
  ASSERT_TRUE(good.has_value());
  EXPECT_EQ(*good, 2);
  auto bad = half(3);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error(), "odd");
}

}  // namespace
}  // namespace tamsel
