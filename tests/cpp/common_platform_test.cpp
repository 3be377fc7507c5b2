#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/platform.h"

namespace tamsel::platform {
namespace {

TEST(FillRandom, FillsEveryByteAndDrawsDiffer) {
  // Large enough that a fill stopping at a partial read leaves a run of zeros.
  std::vector<unsigned char> first(1 << 20, 0);
  std::vector<unsigned char> second(1 << 20, 0);
  ASSERT_TRUE(fill_random(first.data(), first.size()));
  ASSERT_TRUE(fill_random(second.data(), second.size()));
  EXPECT_NE(first, second);
  // One byte in 256 is zero on average: 4096 expected, far fewer than a gap.
  EXPECT_LT(std::count(first.begin(), first.end(), 0), 8192);
}

TEST(MapPages, ZeroedPageAlignedAndWritable) {
  for (const std::size_t bytes : {std::size_t{4096}, std::size_t{1} << 16, std::size_t{3} << 20}) {
    auto* pages = static_cast<unsigned char*>(map_pages(bytes));
    ASSERT_NE(pages, nullptr) << bytes;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(pages) % 4096, 0U) << bytes;
    EXPECT_TRUE(std::all_of(pages, pages + bytes, [](unsigned char c) { return c == 0; })) << bytes;
    std::memset(pages, 0xab, bytes);
    EXPECT_EQ(pages[bytes - 1], 0xab) << bytes;
    release_pages(pages, bytes);
  }
}

struct StrtodCase {
  const char* text;
  double value;
};

TEST(StrtodCLocale, ReadsAFullStopWhateverTheProcessLocale) {
  const StrtodCase cases[] = {
      {"1.5", 1.5},    {"-0.25", -0.25},
      {"1e3", 1000.0}, {"2.5E-1", 0.25},
      {"0.1", 0.1},    {"1,5", 1.0},
      {".5", 0.5},     {"1.7976931348623157e308", 1.7976931348623157e308},
  };
  // A locale whose decimal mark is a comma, where the machine has one.
  const std::string before = std::setlocale(LC_NUMERIC, nullptr);
  bool comma_locale = false;
  for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "de_DE", "C.UTF-8"}) {
    if (std::setlocale(LC_NUMERIC, name) != nullptr) {
      comma_locale = std::string(name) != "C.UTF-8";
      break;
    }
  }
  for (const StrtodCase& c : cases) {
    EXPECT_EQ(strtod_c_locale(c.text), c.value)
        << c.text << (comma_locale ? " (comma locale)" : "");
  }
  std::setlocale(LC_NUMERIC, before.c_str());
}

}  // namespace
}  // namespace tamsel::platform
