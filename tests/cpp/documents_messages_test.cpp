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
  for (const Case& c : cases) {
    const Fault fault = unknown_variant_fault("x", c.variants);
    EXPECT_EQ(fault.text, c.expected);
    EXPECT_EQ(fault.kind, ErrorKind::UnknownVariant);
    ASSERT_EQ(fault.operands.size(), 2U);
    EXPECT_EQ(fault.operands[0].value, "x");
    // The expected list is the text's tail, so the tools can quote it alone.
    EXPECT_EQ("unknown variant `x`, expected " + fault.operands[1].value, c.expected);
  }
}

}  // namespace
}  // namespace tamsel
