#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "documents/events.h"
#include "documents/reader.h"
#include "tests/cpp/documents_test_util.h"

namespace tamsel {
namespace {

using testing::show_policy;

struct Case {
  std::string text;
  std::string expected;
};

const char* const kRule =
    "  - id: r\n    scope: {action: a}\n    when: [[a, b], c, {literal: 1}]\n    effect: block\n";

// A policy whose one rule's `when` holds `depth` nested sequences around a condition
// that matches nothing, under a key that the condition ignores.
std::string nested_when(int depth) {
  return "version: 1\nrules:\n  - id: r\n    when: {x: " + std::string(depth, '[') +
         std::string(depth, ']') + "}\n";
}

TEST(DocumentsLoading, LibyamlErrorsKeepTheirTextsAndPositions) {
  const Case cases[] = {
      {"a: b: c", "mapping values are not allowed in this context at line 1 column 5"},
      {"version: 1\n]]]\nversion: 2\n",
       "did not find expected key at line 2 column 1, while parsing a block mapping"},
      {"version: 1\nrules: [\n",
       "did not find expected node content at line 3 column 1, "
       "while parsing a flow node"},
      {"version: 1\nrules: []\nx: \xff\n", "invalid leading UTF-8 octet at position 24"},
      {"version: 1\nrules: []\nx: \x01\n", "control characters are not allowed at position 24"},
      {std::string("version: 1\nrules: []\nx: a\0b\n", 27),
       "control characters are not allowed at position 25"},
      {"version: 1\nrules: []\nx: \"\\q\"\n",
       "found unknown escape character at line 3 column 5, while parsing a quoted scalar at line 3 "
       "column 4"},
  };
  for (const Case& c : cases) EXPECT_EQ(show_policy(c.text), c.expected) << c.text;
}

TEST(DocumentsLoading, OrderOfErrors) {
  const Case cases[] = {
      // A meaning error found before a syntax error wins over it.
      {"version: 1\nversion: 2\n]]]\n", "duplicate field `version`"},
      {"version: x\nrules: [\n",
       "version: invalid type: string \"x\", expected u32 at line 1 column 10"},
      // A syntax error after a complete, valid read still fails it.
      {std::string("version: 1\nrules:\n") + kRule + "]\n",
       "did not find expected key at line 7 column 1, while parsing a block mapping"},
      {"version: 1\nrules: []\n---\nb: 2\n",
       "deserializing from YAML containing more than one document is not supported"},
      {"version: 1\nrules: []\n---\n",
       "deserializing from YAML containing more than one document is not supported"},
      {"version: 1\nrules: []\n...\n]\n",
       "deserializing from YAML containing more than one document is not supported"},
      {"version: 1\nrules: []\n...\n", "v1:"},
      {"version: 1\nrules: []\n...\n# done\n", "v1:"},
  };
  for (const Case& c : cases) EXPECT_EQ(show_policy(c.text), c.expected) << c.text;
}

// An alias to no earlier anchor stops loading as a syntax error does.
TEST(DocumentsLoading, UnknownAnchorIsKeptLikeASyntaxError) {
  const Case cases[] = {
      {"- id: r\n  when: *nowhere\n", "invalid type: sequence, expected struct PolicyAst"},
      {"version: x\nrules: *nowhere\n",
       "version: invalid type: string \"x\", expected u32 at line 1 column 10"},
      {"version: 1\nversion: 2\nrules: *nowhere\n", "duplicate field `version`"},
      {"version: 1\nrules: *nowhere\n", "unknown anchor at line 2 column 8"},
      // Reached only through a skipped value, it still fails the read.
      {"version: 1\nrules: []\nx: *nowhere\n", "unknown anchor at line 3 column 4"},
      {"version: 1\nrules: []\nx: [*nowhere, &nowhere 1]\n", "unknown anchor at line 3 column 5"},
      // The first of a syntax error and an unknown anchor stops loading.
      {"version: 1\nrules: *nowhere\n]]]\n", "unknown anchor at line 2 column 8"},
      {"version: 1\n]]]\nrules: *nowhere\n",
       "did not find expected key at line 2 column 1, while parsing a block mapping"},
  };
  for (const Case& c : cases) EXPECT_EQ(show_policy(c.text), c.expected) << c.text;
  EXPECT_EQ(testing::show_schema("version: 1\nactions:\n  refund: {}\nactor: *nowhere\n"),
            "actions.refund: missing field `fields` at line 3 column 11");
}

TEST(DocumentsLoading, AliasesReplayTheAnchoredNode) {
  const Case cases[] = {
      {"x: &v 5\nversion: *v\nrules: []\n", "v5:"},
      {"x: &v 5\ny: *w\n", "unknown anchor at line 2 column 4"},
      {"version: &v 1\nversion: &v 2\nrules: []\n", "duplicate field `version`"},
      {"a: &v 1\na: &v 3\nversion: *v\nrules: []\n", "v3:"},
      {std::string("version: 1\nrules:\n  - &r {id: a, scope: {action: a}, when: [[a, b], c, "
                   "{literal: 1}], "
                   "effect: block}\n  - *r\n"),
       "v1: a action:a [a.b c 1] block | a action:a [a.b c 1] block"},
      // Errors inside an expansion: the alias's path, the anchored node's position.
      {"version: 1\ne: &e bad\nrules:\n  - {id: a, scope: {action: a}, when: [[a, b], c, {literal: "
       "1}], "
       "effect: *e}\n",
       "rules[0].effect: unknown variant `bad`, expected one of `allow`, `block`, "
       "`require_approval` at line 2 column 4"},
      {"version: 1\ns: &s {action: !x 1}\nrules:\n  - {id: a, scope: *s}\n",
       "rules[0].scope.action: untagged and internally tagged enums do not support enum input at "
       "line 2 column 16"},
      {"version: 1\nk: &k action\nrules:\n  - {id: a, scope: {*k : !x 1}}\n",
       "rules[0].scope.?: untagged and internally tagged enums do not support enum input at line 4 "
       "column 26"},
      {"version: 1\nrules:\n  - {id: a, scope: {? [x] : !x 1}}\n",
       "rules[0].scope.?: untagged and internally tagged enums do not support enum input at line 3 "
       "column 29"},
      // Merge keys are ordinary keys: skipped by records, not merged.
      {std::string("base: &b {version: 9}\n<<: *b\nversion: 1\nrules: []\n"), "v1:"},
      {"base: &b {version: 9}\n<<: *b\nrules: []\n", "missing field `version`"},
  };
  for (const Case& c : cases) EXPECT_EQ(show_policy(c.text), c.expected) << c.text;
}

TEST(DocumentsLoading, NestingBudgetCountsFromTheRoot) {
  EXPECT_EQ(show_policy(nested_when(124)),
            "rules[0]: data did not match any variant of untagged enum ConditionAst at line 3 "
            "column 5");
  EXPECT_EQ(show_policy(nested_when(125)), "recursion limit exceeded at line 4 column 139");
  // Skipped values use no budget, up to the 1000 levels (root included) that
  // loading admits.
  EXPECT_EQ(show_policy("version: 1\nrules: []\nx: " + std::string(999, '[') +
                        std::string(999, ']') + "\n"),
            "v1:");
  EXPECT_EQ(show_policy("version: 1\nrules: []\nx: " + std::string(1000, '[') +
                        std::string(1000, ']') + "\n"),
            "recursion limit exceeded at line 3 column 1003");
  EXPECT_EQ(show_policy("version: 1\nrules: []\nx: " + std::string(100000, '[')),
            "recursion limit exceeded at line 3 column 1003");
  EXPECT_EQ(show_policy("version: 1\nrules:\n  - id: r\n    when: " + std::string(10000, '[') +
                        std::string(10000, ']') + "\n"),
            "recursion limit exceeded at line 4 column 136");
  EXPECT_EQ(show_policy(std::string(10000, '[')),
            "invalid type: sequence, expected struct PolicyAst");
  // An alias inside its own anchored node nests until the budget runs out.
  EXPECT_EQ(show_policy("version: 1\nrules:\n  - id: r\n    when: &a [*a]\n"),
            "recursion limit exceeded at line 4 column 11");
}

TEST(DocumentsLoading, RepetitionLimitStopsAliasBombs) {
  std::string bomb = "a0: &a0 [x, x, x, x, x, x, x, x, x, x]\n";
  for (int i = 1; i < 10; ++i) {
    bomb += testing::cat("a", std::to_string(i), ": &a", std::to_string(i), " [");
    for (int j = 0; j < 10; ++j) bomb += testing::cat(j ? ", *a" : "*a", std::to_string(i - 1));
    bomb += "]\n";
  }
  EXPECT_EQ(show_policy(bomb + "version: 1\nrules:\n  - id: r\n    when: *a9\n"),
            "repetition limit exceeded");
  // Skipped, the same bomb costs nothing.
  EXPECT_EQ(show_policy(bomb + "version: 1\nrules: []\nx: *a9\n"), "v1:");
  // Many aliases of one large node are bounded as well.
  std::string big = "big: &big [1";
  for (int i = 0; i < 2000; ++i) big += ", 1";
  std::string many = "]\nmany: &many [";
  for (int i = 0; i < 400; ++i) many += "*big, ";
  EXPECT_EQ(show_policy(big + many + "]\nversion: 1\nrules:\n  - id: r\n    when: *many\n"),
            "repetition limit exceeded");
}

// A text of `length` bytes behind an anchor, named as the id of `count` rules;
// `pad` bytes of an ignored key tune the document's size.
std::string aliased_ids(std::size_t length, std::size_t count, std::size_t pad) {
  std::string text = "version: 1\np: " + std::string(pad, 'p') + "\nt: &t " +
                     std::string(length, 't') + "\nrules:\n";
  for (std::size_t i = 0; i < count; ++i) {
    text += "  - {id: *t, scope: {global: true}, when: [[a, b], c, {literal: 1}], effect: block}\n";
  }
  return text;
}

// A flow list of a zero and `items` ones behind an anchor, named `count` times
// under an ignored key of a condition, so that buffering replays it.
std::string aliased_list(std::size_t items, std::size_t count, std::size_t pad) {
  std::string text = "version: 1\np: " + std::string(pad, 'p') + "\nl: &l [0";
  for (std::size_t i = 0; i < items; ++i) text += ",1";
  text += "]\nrules:\n  - id: r\n    when: {x: [*l";
  for (std::size_t i = 1; i < count; ++i) text += ", *l";
  return text + "]}\n";
}

// The first pad for which the charge of `count` expansions, each `per_unit`
// bytes per unit of n plus `fixed`, can equal the budget exactly; with that
// pad, n is the size that meets the budget. The document grows by `growth`
// bytes per unit of n.
struct Edge {
  std::size_t pad;
  std::size_t n;
};
template <class Text>
Edge budget_edge(Text text, std::uint64_t count, std::uint64_t per_unit, std::uint64_t fixed,
                 std::uint64_t growth) {
  const std::uint64_t slope = count * per_unit - growth;
  for (std::size_t pad = 0;; ++pad) {
    // The document's size without the n-dependent part.
    const std::uint64_t base = text(0, pad).size();
    const std::uint64_t target = kReplayByteFloor + base - count * fixed;
    if (target % slope == 0) return {pad, static_cast<std::size_t>(target / slope)};
  }
}

TEST(DocumentsLoading, ReplayedBytesHaveABudget) {
  // Replaying a scalar costs 32 bytes for its event plus its text.
  constexpr std::size_t kIds = 16;
  auto ids = [](std::size_t length, std::size_t pad) { return aliased_ids(length, kIds, pad); };
  const Edge id_edge = budget_edge(ids, kIds, 1, kReplayBytesPerEvent, 1);
  auto at_budget = read_policy(ids(id_edge.n, id_edge.pad));
  ASSERT_TRUE(at_budget.has_value()) << at_budget.error().message;
  EXPECT_EQ(at_budget->rules.size(), kIds);
  EXPECT_EQ(at_budget->rules.back().id.size(), id_edge.n);
  EXPECT_EQ(show_policy(ids(id_edge.n + 1, id_edge.pad)), "repetition limit exceeded");

  // Replaying a list costs 32 bytes for each of its events plus its texts.
  constexpr std::size_t kLists = 16;
  auto lists = [](std::size_t items, std::size_t pad) { return aliased_list(items, kLists, pad); };
  // Per item: one event and one byte of text replayed, two bytes of document;
  // the start, end and zero cost three events and one byte more.
  const Edge list_edge =
      budget_edge(lists, kLists, kReplayBytesPerEvent + 1, 3 * kReplayBytesPerEvent + 1, 2);
  EXPECT_EQ(show_policy(lists(list_edge.n, list_edge.pad)),
            "rules[0]: data did not match any variant of untagged enum ConditionAst at line 5 "
            "column 5");
  EXPECT_EQ(show_policy(lists(list_edge.n + 1, list_edge.pad)), "repetition limit exceeded");
}

// Events keep no positions: an error finds its event's position again by
// parsing the text anew, which must land on the same event.
TEST(DocumentsLoading, PositionsAreFoundAgainInTheText) {
  std::string many = "version: 1\nrules:\n";
  for (int i = 0; i < 20000; ++i) many += kRule;  // far more events than one chunk holds
  const std::string bad_effect = "  - {id: r, effect: maybe}\n";
  const std::string unknown =
      "unknown variant `maybe`, expected one of `allow`, `block`, "
      "`require_approval`";
  const Case cases[] = {
      {many + bad_effect, "rules[20000].effect: " + unknown + " at line 80003 column 21"},
      {many + "  - {id: r, scope: {action: a}}\n",
       "rules[20000]: missing field `when` at line 80003 column 5"},
      // Columns count characters, not bytes.
      {"version: 1\nrules:\n  - {id: \"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\", effect: maybe}\n",
       "rules[0].effect: " + unknown + " at line 3 column 25"},
      {"version: 1\r\nrules:\r\n\r\n" + bad_effect,
       "rules[0].effect: " + unknown + " at line 4 column 21"},
      {"\xef\xbb\xbfversion: x\n",
       "version: invalid type: string \"x\", expected u32 at line 1 column 10"},
      {"%YAML 1.1\n---\nversion: 1\nrules: [{id: r, effect: maybe}]\n",
       "rules[0].effect: " + unknown + " at line 4 column 25"},
      // The empty node of a stream without a document stands at its end.
      {"# nothing\n\n", "missing field `version` at line 3 column 1"},
      {"", "missing field `version`"},
      // The position of a collection whose record fails after its entries.
      {"version: 1\nrules:\n  - x: 1\n    id: r\n",
       "rules[0]: missing field `scope` at line 3 column 5"},
  };
  for (const Case& c : cases) EXPECT_EQ(show_policy(c.text), c.expected) << c.text.substr(0, 80);
}

TEST(DocumentsLoading, ValuesAreCountedUpToALimit) {
  struct CountCase {
    std::string text;
    std::uint64_t limit;
    std::uint64_t values;
    std::optional<Mark> past;  // 0-based
  };
  const std::string deep = "x: " + std::string(2000, '[') + std::string(2000, ']');
  const CountCase cases[] = {
      {"", 10, 0, std::nullopt},
      {"a", 10, 1, std::nullopt},
      // Mappings, sequences, scalars and aliases each count once; ends do not.
      {"a: [1, {b: *x}]\n", 10, 7, std::nullopt},
      {"a: [1, {b: *x}]\n", 7, 7, std::nullopt},
      {"a: [1, {b: *x}]\n", 6, 6, Mark{0, 11}},
      {"- x\n- y\n", 0, 0, Mark{0, 0}},
      // Columns count characters, as in every position.
      {"[\xc3\xa9, \xc3\xa9]", 2, 2, Mark{0, 4}},
      // Only the first document: a second is the reader's error to report.
      {"a\n---\n[b, c, d]\n", 2, 1, std::nullopt},
      // Counting stops where loading stops.
      {"[a, b, ]]", 10, 3, std::nullopt},
      {deep, 5000, 1001, std::nullopt},
  };
  for (const CountCase& c : cases) {
    const ValueCount count = count_values(c.text, c.limit);
    EXPECT_EQ(count.values, c.values) << c.text.substr(0, 40);
    ASSERT_EQ(count.past.has_value(), c.past.has_value()) << c.text.substr(0, 40);
    if (c.past) {
      EXPECT_EQ(count.past->line, c.past->line) << c.text;
      EXPECT_EQ(count.past->column, c.past->column) << c.text;
    }
  }
}

TEST(DocumentsLoading, LargeDocumentReads) {
  std::string text = "version: 1\nrules:\n";
  while (text.size() < 50'000'000) text += kRule;
  auto policy = read_policy(text);
  ASSERT_TRUE(policy.has_value()) << policy.error().message;
  EXPECT_EQ(policy->rules.size(), (text.size() - 18) / std::string(kRule).size());
}

// Every input that ever crashed, hung or blew up a reader (found by a fuzzer or
// by hand) goes through all three readers.
TEST(DocumentsLoading, RegressionInputsReadWithoutCrashing) {
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(TAMSEL_FUZZ_CORPUS_DIR)) {
    if (!entry.is_regular_file() || entry.path().filename().string().front() == '.') continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Any outcome will do, as long as reading ends cleanly.
    EXPECT_NO_FATAL_FAILURE({
      (void)read_schema(text);
      (void)read_policy(text);
      (void)read_governance(text);
    });
    ++files;
  }
  EXPECT_GT(files, 0U) << "no regression inputs in " << TAMSEL_FUZZ_CORPUS_DIR;
}

}  // namespace
}  // namespace tamsel
