#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "common/quote.h"

namespace tamsel {
namespace {

struct QuoteCase {
  std::string_view input;
  std::string_view expected;
};

TEST(Quote, EscapesExactlyTheUnprintableAndCombining) {
  using namespace std::string_view_literals;
  const QuoteCase cases[] = {
      {"", R"("")"},
      {"plain text", R"("plain text")"},
      {"say \"hi\"", R"("say \"hi\"")"},
      {"back\\slash", R"("back\\slash")"},
      {"it's", R"("it's")"},
      {"\0x"sv, R"("\0x")"},
      {"a\tb\nc\rd", R"("a\tb\nc\rd")"},
      {"\x1b[0m", R"("\u{1b}[0m")"},
      {"\x7f", R"("\u{7f}")"},
      {"\x01\x1f", R"("\u{1}\u{1f}")"},
      {"no\u00a0break", R"("no\u{a0}break")"},
      {"soft\u00adhyphen", R"("soft\u{ad}hyphen")"},
      {"zero\u200bwidth", R"("zero\u{200b}width")"},
      {"e\u0301", R"("e\u{301}")"},
      {"caf\u00e9", "\"caf\u00e9\""},
      {"\u0378", R"("\u{378}")"},        // unassigned
      {"\U000E0001", R"("\u{e0001}")"},  // format, four bytes
      {"\U000F0000", R"("\u{f0000}")"},  // private use
      {"\u2028\u2029", R"("\u{2028}\u{2029}")"},
      {"\u3000", R"("\u{3000}")"},  // ideographic space
      {"\U0001F600 ok", "\"\U0001F600 ok\""},
      {"\u65e5\u672c", "\"\u65e5\u672c\""},
      {"\U0010FFFF", R"("\u{10ffff}")"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(quoted(c.input), c.expected) << "input: " << std::string(c.input);
  }
}

TEST(Quote, AppendsAfterExistingText) {
  std::string out = "id: ";
  append_quoted(out, "a\"b");
  EXPECT_EQ(out, R"(id: "a\"b")");
}

TEST(Quote, TruncatedSequenceAtEndStaysInBounds) {
  // Not valid UTF-8; the only demand is that nothing is read past the end.
  const std::string text = "ab\xe2\x82";
  const std::string out = tamsel::quoted(text);
  EXPECT_EQ(out.substr(0, 3), "\"ab");
  EXPECT_EQ(out.back(), '"');
}

}  // namespace
}  // namespace tamsel
