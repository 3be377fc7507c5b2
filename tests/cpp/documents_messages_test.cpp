#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "documents/messages.h"

namespace tamsel {
namespace {

// No vocabulary of the documents has two words yet, so the readers' tests
// never reach the "or" form.
TEST(DocumentMessages, UnknownVariantListsTheVariants) {
  struct Case {
    std::vector<std::string_view> variants;
    std::string expected;
  };
  const Case cases[] = {
      {{"a"}, "unknown variant `x`, expected `a`"},
      {{"a", "b"}, "unknown variant `x`, expected `a` or `b`"},
      {{"a", "b", "c"}, "unknown variant `x`, expected one of `a`, `b`, `c`"},
  };
  for (const Case& c : cases) EXPECT_EQ(unknown_variant_message("x", c.variants), c.expected);
}

}  // namespace
}  // namespace tamsel
