#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "arrow_test_columns.h"
#include "columns/batch_evaluation.h"
#include "construction/construct.h"

namespace tamsel {
namespace {

using testing::ArrowColumn;
using testing::booleans;
using testing::fixed;
using testing::structure;
using testing::texts;
using testing::Values;

constexpr std::string_view kSchema = R"(version: 1
actions:
  refund:
    fields: {amount: number, currency: string}
actor:
  fields: {role: string, trusted: boolean}
snapshot:
  fields: {limit: number}
)";

constexpr std::string_view kPolicy = R"(version: 1
rules:
  - id: over_limit
    scope: {action: refund}
    when: [[action, amount], greater_than, {subject: [snapshot, limit]}]
    effect: block
  - id: big
    scope: {action: refund}
    when: [[action, amount], greater_than, {literal: 1000}]
    effect: block
  - id: foreign
    scope: {action: refund}
    when: [[action, currency], not_equals, {literal: EUR}]
    effect: require_approval
  - id: trusted_admin
    scope: {global: true}
    when:
      all:
        - [[actor, role], equals, {literal: admin}]
        - [[actor, trusted], equals, {literal: true}]
    effect: allow
)";

struct Engine {
  CompiledPolicy policy;
  EvaluationPlan plan;
  BatchEvaluator evaluator;
  explicit Engine(CompiledPolicy compiled)
      : policy(std::move(compiled)), plan(policy), evaluator(plan) {}
};

CompiledPolicy compiled() {
  auto policy = construct_policy(kSchema, kPolicy, std::nullopt);
  if (!policy) throw std::runtime_error(policy.error().message);
  return std::move(*policy);
}

const Engine& engine() {
  static const Engine kEngine(compiled());
  return kEngine;
}

std::string text_at(const TextColumn& column, std::size_t i) {
  return column.data.substr(column.offsets[i], column.offsets[i + 1] - column.offsets[i]);
}

// Each record's outcome: "EFFECT RULE" ("-" for none), "error: TEXT", or the
// batch's error alone.
std::vector<std::string> outcomes(ArrowColumn records) {
  records.wire();
  auto batches = engine().evaluator.evaluate(records.schema, records.array);
  if (!batches) return {"batch: " + batches.error()};
  std::vector<std::string> seen;
  for (const auto& batch : *batches) {
    for (std::size_t i = 0; i < static_cast<std::size_t>(batch->length); ++i) {
      const bool decided = (batch->effect_validity[i / 8] >> (i % 8) & 1U) != 0;
      const bool has_rule = (batch->matched_rule.validity[i / 8] >> (i % 8) & 1U) != 0;
      if (!decided) {
        seen.push_back("error: " + text_at(batch->error, i));
      } else {
        seen.push_back(std::string(kEffects[batch->effects[i]].word) + " " +
                       (has_rule ? text_at(batch->matched_rule, i) : "-"));
      }
    }
  }
  return seen;
}

// Named columns, for the fields of a struct.
template <class... Columns>
std::vector<ArrowColumn> named(std::pair<const char*, Columns>... columns) {
  std::vector<ArrowColumn> fields;
  (fields.push_back(std::move(columns.second).named(columns.first)), ...);
  return fields;
}

// Records of refunds of the given amounts, in euros, with a snapshot limit of 50.
ArrowColumn refunds_of(ArrowColumn amount, const char* type = "refund") {
  const std::int64_t n = amount.length();
  const Values<std::string> types(static_cast<std::size_t>(n), std::string(type));
  return structure(
      named(std::pair{"action", structure(named(std::pair{"type", texts("u", types)},
                                                std::pair{"amount", std::move(amount)}))},
            std::pair{"snapshot", structure(named(std::pair{
                                      "limit", fixed<double>("g", Values<double>(n, 50.0))}))}));
}

TEST(ColumnsBatch, DecidesEachRecordAsTheRulesSay) {
  auto action =
      named(std::pair{"type",
                      texts("u", {"refund", "refund", "refund", "refund", "refund", std::nullopt})},
            std::pair{"amount", fixed<double>("g", {5000, 10, 20, 10, std::nullopt, 7})},
            std::pair{"currency", texts("u", {"EUR", "USD", "EUR", "EUR", "EUR", "USD"})});
  auto actor = named(
      std::pair{"role", texts("u", {"admin", "admin", "agent", "admin", std::nullopt, "admin"})},
      std::pair{"trusted", booleans({true, true, true, true, true, std::nullopt})});
  auto snapshot = named(std::pair{"limit", fixed<double>("g", {std::nullopt, 1e9, 15, 1e9, 0, 0})});
  const std::vector<std::string> expected{"block big",        "require_approval foreign",
                                          "block over_limit", "allow trusted_admin",
                                          "allow -",          "allow -"};
  EXPECT_EQ(outcomes(structure(named(std::pair{"action", structure(std::move(action))},
                                     std::pair{"actor", structure(std::move(actor))},
                                     std::pair{"snapshot", structure(std::move(snapshot))}))),
            expected);
}

// 100, 0 and a null in every layout of numbers: 100 is over the limit of 50.
TEST(ColumnsBatch, EveryNumberLayoutReadsAsItsValue) {
  using testing::decimals;
  using testing::dictionary;
  ArrowColumn sliced = fixed<std::int64_t>("l", {7, 100, 0, std::nullopt, 9});
  sliced.slice(1, 3);
  std::vector<std::pair<const char*, ArrowColumn>> layouts;
  layouts.emplace_back("int8", fixed<std::int8_t>("c", {100, 0, std::nullopt}));
  layouts.emplace_back("uint8", fixed<std::uint8_t>("C", {100, 0, std::nullopt}));
  layouts.emplace_back("int16", fixed<std::int16_t>("s", {100, 0, std::nullopt}));
  layouts.emplace_back("uint16", fixed<std::uint16_t>("S", {100, 0, std::nullopt}));
  layouts.emplace_back("int32", fixed<std::int32_t>("i", {100, 0, std::nullopt}));
  layouts.emplace_back("uint32", fixed<std::uint32_t>("I", {100, 0, std::nullopt}));
  layouts.emplace_back("int64", fixed<std::int64_t>("l", {100, 0, std::nullopt}));
  layouts.emplace_back("uint64", fixed<std::uint64_t>("L", {100, 0, std::nullopt}));
  layouts.emplace_back("float16", fixed<std::uint16_t>("e", {0x5640, 0x8000, std::nullopt}));
  layouts.emplace_back("float32", fixed<float>("f", {100.0F, -0.0F, std::nullopt}));
  layouts.emplace_back("float64", fixed<double>("g", {100.5, 0, std::nullopt}));
  layouts.emplace_back("decimal32", decimals({10001, -1, std::nullopt}, 2, 32));
  layouts.emplace_back("decimal64", decimals({10001, 0, std::nullopt}, 2, 64));
  layouts.emplace_back("decimal128", decimals({-1, 0, std::nullopt}, -30));  // -1e30 < 50
  layouts.emplace_back("decimal256", decimals({51, -51, std::nullopt}, 0, 256));
  layouts.emplace_back("dictionary",
                       dictionary("c", {1, 0, std::nullopt}, fixed<std::int64_t>("l", {0, 100})));
  layouts.emplace_back("dictionary of nulls",
                       dictionary("L", {1, 0, 0}, fixed<double>("g", {std::nullopt, 100})));
  layouts.emplace_back("sliced", std::move(sliced));
  layouts.emplace_back(
      "sparse union",
      testing::sparse_union({0, 1, 0},
                            named(std::pair{"n", fixed<std::int64_t>("l", {100, 0, std::nullopt})},
                                  std::pair{"t", texts("u", {"a", "0", "b"})})));
  layouts.emplace_back(
      "dense union",
      testing::dense_union({0, 1, 0}, {0, 0, 1},
                           named(std::pair{"n", fixed<std::int64_t>("l", {100, std::nullopt})},
                                 std::pair{"t", texts("u", {"0"})})));
  layouts.emplace_back("run ends",
                       testing::run_ends({1, 3}, fixed<double>("g", {100, std::nullopt})));
  for (auto& [name, amount] : layouts) {
    const std::vector<std::string> expected{
        std::string(name) == "decimal128" ? "allow -" : "block over_limit", "allow -", "allow -"};
    EXPECT_EQ(outcomes(refunds_of(std::move(amount))), expected) << name;
  }
}

TEST(ColumnsBatch, IntegersPastTwoToThe53RoundToNearestEven) {
  const std::int64_t big = std::int64_t{1} << 53;
  auto records = structure(named(
      std::pair{"action",
                structure(named(
                    std::pair{"type", texts("u", {"refund", "refund", "refund"})},
                    std::pair{"amount", fixed<std::uint64_t>("L", {big + 1, big + 3, big})}))},
      std::pair{"snapshot", structure(named(std::pair{
                                "limit", fixed<std::int64_t>("l", {big, big + 2, big - 1})}))}));
  // 2^53+1 ties down to 2^53, not over 2^53; 2^53+3 ties up to 2^53+4, over 2^53+2.
  EXPECT_EQ(outcomes(std::move(records)),
            (std::vector<std::string>{"block big", "block over_limit", "block over_limit"}));
}

TEST(ColumnsBatch, TextsInEveryLayoutAreTexts) {
  using testing::dictionary;
  const Values<std::string> currencies{"EUR", "dollars of the United States", std::nullopt};
  std::vector<std::pair<const char*, ArrowColumn>> layouts;
  layouts.emplace_back("utf8", texts("u", currencies));
  layouts.emplace_back("large utf8", texts<std::int64_t>("U", currencies));
  layouts.emplace_back("view", testing::views(currencies));
  layouts.emplace_back(
      "dictionary",
      dictionary("S", {0, 1, std::nullopt}, texts("u", {"EUR", "dollars of the United States"})));
  layouts.emplace_back(
      "dictionary of views",
      dictionary("i", {1, 0, 2},
                 testing::views({"dollars of the United States", "EUR", std::nullopt})));
  for (auto& [name, currency] : layouts) {
    auto records = structure(named(std::pair{
        "action", structure(named(std::pair{"type", testing::views({"refund", "refund", "refund"})},
                                  std::pair{"amount", fixed<double>("g", {1, 2, 3})},
                                  std::pair{"currency", std::move(currency)}))}));
    EXPECT_EQ(outcomes(std::move(records)),
              (std::vector<std::string>{"allow -", "require_approval foreign", "allow -"}))
        << name;
  }
}

// A record whose value evaluate refuses has evaluate's error as its outcome;
// the domains are read in order and the first refusal wins.
TEST(ColumnsBatch, RefusedValuesGiveEvaluatesErrors) {
  const std::string unsupported = "error: Unsupported value type";
  const auto refund = [] { return texts("u", {"refund", "refund"}); };
  const auto amounts = [] { return fixed<double>("g", {5000, 5000}); };
  struct Case {
    const char* name;
    ArrowColumn records;
    std::vector<std::string> expected;
  };
  std::vector<Case> cases;
  cases.push_back(
      {"bytes in a field no rule reads",
       structure(named(std::pair{
           "action", structure(named(std::pair{"type", refund()}, std::pair{"amount", amounts()},
                                     std::pair{"note", texts("z", {"x", std::nullopt})}))})),
       {unsupported, "block big"}});
  cases.push_back(
      {"a nested struct, a date, a list",
       structure(named(std::pair{
           "actor",
           structure(named(
               std::pair{"where", structure(named(std::pair{"x", fixed<double>("g", {1, 2})}),
                                            {true, false})},
               std::pair{"when", fixed<std::int32_t>("tdD", {std::nullopt, std::nullopt})}))})),
       {unsupported, "allow -"}});
  cases.push_back(
      {"a domain that is no struct",
       structure(named(std::pair{"action", fixed<std::int64_t>("l", {5, std::nullopt})})),
       {"error: 'int' object cannot be converted to 'PyDict'", "allow -"}});
  cases.push_back(
      {"the action's refusal before the actor's",
       structure(named(
           std::pair{"actor", texts("u", {"x", "y"})},
           std::pair{"action", structure(named(std::pair{"t", booleans({std::nullopt, true})},
                                               std::pair{"b", texts("Z", {"x", std::nullopt})}))})),
       {unsupported, "error: 'str' object cannot be converted to 'PyDict'"}});
  cases.push_back({"each value's own type",
                   structure(named(std::pair{
                       "snapshot", testing::sparse_union(
                                       {1, 0}, named(std::pair{"n", fixed<double>("g", {1, 2})},
                                                     std::pair{"b", booleans({true, false})}))})),
                   {"error: 'bool' object cannot be converted to 'PyDict'",
                    "error: 'float' object cannot be converted to 'PyDict'"}});
  cases.push_back(
      {"a null domain holds no field",
       structure(named(std::pair{
           "action", structure(named(std::pair{"type", refund()}, std::pair{"amount", amounts()},
                                     std::pair{"b", texts("z", {"x", "y"})}),
                               {false, true})})),
       {"allow -", unsupported}});
  cases.push_back(
      {"a null record holds no domain",
       structure(named(std::pair{"action", fixed<std::int64_t>("l", {5, 6})}), {false, true}),
       {"allow -", "error: 'int' object cannot be converted to 'PyDict'"}});
  for (auto& c : cases) EXPECT_EQ(outcomes(std::move(c.records)), c.expected) << c.name;
}

TEST(ColumnsBatch, RecordsUnderAnInputColumn) {
  auto action = structure(named(std::pair{"type", texts("u", {"refund", "refund", "refund"})},
                                std::pair{"amount", fixed<double>("g", {5000, 5000, 5000})}));
  // The top level's own "action" is then another column, never read.
  auto records =
      structure(named(std::pair{"action", fixed<std::int64_t>("l", {1, 2, 3})},
                      std::pair{"input", structure(named(std::pair{"action", std::move(action)}),
                                                   {true, false, true})}));
  EXPECT_EQ(outcomes(std::move(records)),
            (std::vector<std::string>{"block big", "allow -", "block big"}));
  auto plain = structure(named(std::pair{"input", texts("u", {"x", std::nullopt})}));
  EXPECT_EQ(
      outcomes(std::move(plain)),
      (std::vector<std::string>{
          "error: argument 'input': 'str' object cannot be converted to 'PyDict'", "allow -"}));
}

// A dictionary of one element whose only index is `index`, at the index
// format's width.
template <class Index>
ArrowColumn index_of(const char* format, Index index, ArrowColumn values) {
  ArrowColumn column = testing::dictionary(format, {0}, std::move(values));
  column.buffers[1].assign(sizeof index, 0);
  std::memcpy(column.buffers[1].data(), &index, sizeof index);
  return column;
}

TEST(ColumnsBatch, BatchesThatCannotBeReadAreRefusedWhole) {
  struct Case {
    const char* name;
    ArrowColumn records;
    std::string expected;
  };
  std::vector<Case> cases;
  cases.push_back(
      {"not records", fixed<std::int64_t>("l", {1}),
       "Arrow records must be a struct array (a record batch or a table), not the type 'l'"});
  cases.push_back(
      {"a repeated field",
       structure(named(std::pair{"actor", structure(named(std::pair{"role", texts("u", {"a"})},
                                                          std::pair{"role", texts("u", {"b"})}))})),
       "column 'actor': the field 'role' appears twice, which no dict can hold"});
  cases.push_back({"a repeated domain",
                   structure(named(std::pair{"actor", fixed<double>("g", {1})},
                                   std::pair{"actor", fixed<double>("g", {1})})),
                   "the column 'actor' appears twice"});
  ArrowColumn extension = fixed<std::int8_t>("c", {1});
  extension.metadata =
      std::string("\1\0\0\0\24\0\0\0ARROW:extension:name\13\0\0\0arrow.bool8", 4 + 4 + 20 + 4 + 11);
  cases.push_back({"an extension type",
                   structure(named(std::pair{
                       "actor", structure(named(std::pair{"ok", std::move(extension)}))})),
                   "column 'actor.ok': the extension type 'arrow.bool8' is not supported"});
  cases.push_back(
      {"an index past the dictionary",
       structure(named(std::pair{
           "action", structure(named(std::pair{
                         "type", testing::dictionary("c", {3}, texts("u", {"refund"}))}))})),
       "column 'action.type': an index or offset of its data is out of bounds at record 0"});
  // Read element by element where no slot decodes the dictionary first: as a
  // domain, and as a field whose values are refused.
  cases.push_back(
      {"the largest int64 index as a domain",
       structure(named(std::pair{"snapshot", index_of("l", INT64_MAX, texts("u", {"x"}))})),
       "the records: an index or offset of its data is out of bounds at record 0"});
  cases.push_back(
      {"the largest uint64 index as a domain",
       structure(named(std::pair{"snapshot", index_of("L", UINT64_MAX, texts("u", {"x"}))})),
       "the records: an index or offset of its data is out of bounds at record 0"});
  cases.push_back({"the largest int64 index of refused values",
                   structure(named(std::pair{
                       "actor", structure(named(std::pair{
                                    "photo", index_of("l", INT64_MAX, texts("z", {"bytes"}))}))})),
                   "the records: an index or offset of its data is out of bounds at record 0"});
  cases.push_back(
      {"nanosecond times as a domain",
       structure(named(std::pair{"snapshot", fixed<std::int64_t>("tsn:", {1})})),
       "column 'snapshot': the Python type of its values depends on pandas and on each value"});
  cases.push_back(
      {"a struct in a union as a domain",
       structure(named(std::pair{
           "snapshot", testing::sparse_union(
                           {0}, named(std::pair{"s", structure(named(std::pair{
                                                         "x", fixed<double>("g", {1})}))}))})),
       "column 'snapshot.s': structs inside a dictionary, union or run-end column are not "
       "supported"});
  cases.push_back(
      {"an unknown type",
       structure(named(
           std::pair{"actor", structure(named(std::pair{"m", fixed<std::int32_t>("tiM", {1})}))})),
       "column 'actor.m': the Arrow type 'tiM' is not supported"});
  for (auto& c : cases)
    EXPECT_EQ(outcomes(std::move(c.records)), std::vector<std::string>{"batch: " + c.expected})
        << c.name;
}

TEST(ColumnsBatch, DecisionsExportAsAStreamOfStructs) {
  DecisionBuilder builder;
  builder.add_decision(Effect::Block, "big");
  builder.add_error("Unsupported value type");
  builder.add_decision(Effect::Allow, std::nullopt);
  ArrowArrayStream stream{};
  export_decision_stream(builder.finish(), &stream);
  ArrowSchema schema{};
  ASSERT_EQ(stream.get_schema(&stream, &schema), 0);
  ASSERT_EQ(schema.n_children, 3);
  EXPECT_EQ(std::string(schema.children[0]->format) + schema.children[0]->dictionary->format +
                schema.children[1]->format + schema.children[2]->format,
            "cuuu");
  EXPECT_EQ(std::string(schema.children[1]->name), "matched_rule");
  schema.release(&schema);
  ArrowArray batch{};
  ASSERT_EQ(stream.get_next(&stream, &batch), 0);
  ASSERT_NE(batch.release, nullptr);
  EXPECT_EQ(batch.length, 3);
  ArrowArray moved = *batch.children[2];  // a consumer may take a child on its own
  batch.children[2]->release = nullptr;
  EXPECT_EQ(batch.children[0]->null_count, 1);
  EXPECT_EQ(batch.children[1]->null_count, 2);
  EXPECT_EQ(moved.null_count, 2);
  EXPECT_EQ(std::string(static_cast<const char*>(moved.buffers[2]), 22), "Unsupported value type");
  batch.release(&batch);
  moved.release(&moved);
  ASSERT_EQ(stream.get_next(&stream, &batch), 0);
  EXPECT_EQ(batch.release, nullptr);  // the end
  stream.release(&stream);
}

}  // namespace
}  // namespace tamsel
