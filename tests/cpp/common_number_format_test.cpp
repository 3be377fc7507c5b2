#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <string_view>

#include "common/number_format.h"

namespace tamsel {
namespace {

struct NumberCase {
  double input;
  std::string_view expected;
};

std::string canonical(double value) {
  std::string out;
  append_canonical_number(out, value);
  return out;
}

std::string plain(double value) {
  std::string out;
  append_plain_number(out, value);
  return out;
}

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(CanonicalNumber, Forms) {
  const NumberCase cases[] = {
      {5, "5.0"},
      {1000, "1000.0"},
      {0.75, "0.75"},
      {123.456, "123.456"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {-2.5, "-2.5"},
      {1e16, "1e16"},
      {9999999999999998.0, "9999999999999998.0"},
      {9007199254740991.0, "9007199254740991.0"},
      {-9007199254740992.0, "-9007199254740992.0"},
      {9007199254740994.0, "9007199254740994.0"},
      {1e15, "1000000000000000.0"},
      {2.5, "2.5"},
      {0.0375, "0.0375"},
      {123456.789012345, "123456.789012345"},
      {0.30000000000000004, "0.30000000000000004"},
      {2.5e16, "2.5e16"},
      {-1e16, "-1e16"},
      {1e17, "1e17"},
      {123456789012345680000.0, "1.2345678901234568e20"},
      {1e-4, "0.0001"},
      {0.00012, "0.00012"},
      {9e-5, "9e-5"},
      {0.00009999999999999999, "9.999999999999999e-5"},
      {1.5e-7, "1.5e-7"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e308"},
      {0.1, "0.1"},
      {1.0 / 3.0, "0.3333333333333333"},
      {kInf, "inf"},
      {-kInf, "-inf"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {-std::numeric_limits<double>::quiet_NaN(), "NaN"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(canonical(c.input), c.expected) << "expected " << c.expected;
  }
}

TEST(PlainNumber, Forms) {
  const NumberCase cases[] = {
      {5, "5.0"},
      {1e21, "1000000000000000000000.0"},
      {1e16, "10000000000000000.0"},
      {1e-7, "0.0000001"},
      {1.5, "1.5"},
      {-0.0, "-0.0"},
      {0.0, "0.0"},
      {-12.25, "-12.25"},
      {kInf, "inf"},
      {-kInf, "-inf"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(plain(c.input), c.expected) << "expected " << c.expected;
  }
}

TEST(CanonicalNumber, RandomBitPatternsReadBackExactly) {
  std::mt19937_64 random(20240607);
  for (int i = 0; i < 100000; ++i) {
    const auto bits = random();
    const double value = std::bit_cast<double>(bits);
    if (!std::isfinite(value)) continue;
    const std::string text = canonical(value);
    ASSERT_LE(text.size(), kCanonicalNumberBytes) << text;  // the room writers give it
    const double back = std::strtod(text.c_str(), nullptr);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(back), bits) << text;
    const std::string plain_text = plain(value);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(std::strtod(plain_text.c_str(), nullptr)), bits)
        << plain_text;
  }
}

// Whole numbers take a shorter path in the canonical form; the plain form
// always takes the general one, and below 1e16 the two must agree.
TEST(CanonicalNumber, WholeNumbersAgreeWithTheGeneralPath) {
  std::mt19937_64 random(20261209);
  for (int i = 0; i < 100000; ++i) {
    const int bits = 1 + static_cast<int>(random() % 53);  // a whole number below 2^53
    const auto whole = static_cast<double>(random() >> (64 - bits));
    const double value = i % 2 == 0 ? whole : -whole;
    ASSERT_EQ(canonical(value), plain(value)) << plain(value);
  }
}

// So do numbers of a few decimals, in the range written without an exponent.
TEST(CanonicalNumber, ShortDecimalsAgreeWithTheGeneralPath) {
  std::mt19937_64 random(20261210);
  constexpr double kPowers[] = {1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e8, 1e12, 1e16};
  for (int i = 0; i < 200000; ++i) {
    const auto digits = static_cast<double>(random() % 100000000000000000ULL);
    const double value = digits / kPowers[random() % std::size(kPowers)];
    if (value < 1e-4 || value >= 1e16) continue;
    ASSERT_EQ(canonical(value), plain(value)) << plain(value);
    const double neighbour = std::nextafter(value, 1e300);
    if (neighbour < 1e16) {
      ASSERT_EQ(canonical(neighbour), plain(neighbour)) << plain(neighbour);
    }
  }
}

}  // namespace
}  // namespace tamsel
