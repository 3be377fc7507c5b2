#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "compiler/compile.h"
#include "compiler_test_support.h"
#include "engine/evaluation_plan.h"

namespace tamsel {
namespace {

// An input value or a literal, owning its text.
using Value = std::variant<std::string, double, bool>;
using Field = std::tuple<Domain, std::string, Value>;
using Fields = std::vector<Field>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The texts and member lists of the rules built here, kept for the whole run:
// the tests' policies view them as a compiled policy views its own storage.
PolicyStorage& kept() {
  static PolicyStorage storage;
  return storage;
}

SubjectRef action(std::string_view field) { return {kept().text(field), Domain::Action}; }
SubjectRef actor(std::string_view field) { return {kept().text(field), Domain::Actor}; }
SubjectRef snapshot(std::string_view field) { return {kept().text(field), Domain::Snapshot}; }

FieldValue literal_of(const Value& value) {
  if (const auto* text = std::get_if<std::string>(&value)) {
    return FieldValue{std::in_place_type<std::string_view>, kept().text(*text)};
  }
  if (const auto* number = std::get_if<double>(&value)) return *number;
  return FieldValue{std::in_place_type<bool>, std::get<bool>(value)};
}

AtomicCondition against(SubjectRef lhs, Operator op, const Value& literal) {
  return {lhs, op, Operand{Operand::Literal{literal_of(literal)}}};
}
AtomicCondition against(SubjectRef lhs, Operator op, SubjectRef rhs) {
  return {lhs, op, Operand{Operand::Subject{rhs}}};
}

CompiledRule rule(std::string_view id, AtomicCondition condition, Effect effect) {
  return {kept().text(id), CompiledCondition{CompiledCondition::Atomic{condition}}, effect};
}
CompiledRule all_of(std::string_view id, const std::vector<AtomicCondition>& members,
                    Effect effect) {
  return {kept().text(id), CompiledCondition{CompiledCondition::All{kept().members(members)}},
          effect};
}
CompiledRule any_of(std::string_view id, const std::vector<AtomicCondition>& members,
                    Effect effect) {
  return {kept().text(id), CompiledCondition{CompiledCondition::Any{kept().members(members)}},
          effect};
}

InputValue input_value(const Value& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return InputValue::of_text(*text);
  if (const auto* number = std::get_if<double>(&value)) return InputValue::of_number(*number);
  return InputValue::of_boolean(std::get<bool>(value));
}

// The decision on the fields, as the effect word and the rule id ("-" for none).
std::string decide(const EvaluationPlan& plan, const Fields& fields) {
  std::vector<InputValue> values(plan.slot_count());  // texts view `fields`
  EvaluationInput input(values);
  for (const auto& [domain, name, value] : fields) {
    if (auto slot = plan.slot_of(domain, name)) input.set(*slot, input_value(value));
  }
  const Decision decision = plan.evaluate(input);
  std::string text(document_word(decision.effect));
  text += " ";
  text += decision.rule ? std::string(plan.rule_id(*decision.rule)) : "-";
  return text;
}

std::vector<std::string> slot_names(const EvaluationPlan& plan, Domain domain) {
  std::vector<std::string> names;
  for (const auto& named : plan.slots(domain)) names.push_back(named.name);
  return names;
}

// ---- one comparison: a global rule on snapshot.x (and snapshot.y as a right side) ----

struct ComparisonCase {
  const char* name;
  std::optional<Value> x;  // nothing: the field is missing
  Operator op;
  std::variant<Value, SubjectRef> rhs;
  std::optional<Value> y;
  bool matches;
};

class Comparison : public ::testing::TestWithParam<ComparisonCase> {};

TEST_P(Comparison, DecidesAsTheTableSays) {
  const auto& c = GetParam();
  CompiledPolicy policy;
  AtomicCondition condition = std::holds_alternative<Value>(c.rhs)
                                  ? against(snapshot("x"), c.op, std::get<Value>(c.rhs))
                                  : against(snapshot("x"), c.op, std::get<SubjectRef>(c.rhs));
  policy.global_rules.push_back(rule("r", condition, Effect::Block));
  const EvaluationPlan plan(policy);
  Fields fields;
  if (c.x) fields.emplace_back(Domain::Snapshot, "x", *c.x);
  if (c.y) fields.emplace_back(Domain::Snapshot, "y", *c.y);
  EXPECT_EQ(decide(plan, fields), c.matches ? "block r" : "allow -");
}

const Value kText = std::string("abc");

INSTANTIATE_TEST_SUITE_P(
    Engine, Comparison,
    ::testing::Values(
        ComparisonCase{"number_equal", 3.0, Operator::Equals, Value(3.0), {}, true},
        ComparisonCase{"number_unequal", 3.5, Operator::Equals, Value(3.0), {}, false},
        ComparisonCase{"negative_zero", -0.0, Operator::Equals, Value(0.0), {}, true},
        ComparisonCase{"negative_zero_ne", -0.0, Operator::NotEquals, Value(0.0), {}, false},
        ComparisonCase{"nan_equals", kNaN, Operator::Equals, Value(kNaN), {}, false},
        ComparisonCase{"nan_not_equals", kNaN, Operator::NotEquals, Value(1.0), {}, true},
        ComparisonCase{"nan_literal_ne", 1.0, Operator::NotEquals, Value(kNaN), {}, true},
        ComparisonCase{"nan_greater", kNaN, Operator::GreaterThan, Value(1.0), {}, false},
        ComparisonCase{"nan_less", kNaN, Operator::LessThan, Value(1.0), {}, false},
        ComparisonCase{"greater", 5.0, Operator::GreaterThan, Value(4.0), {}, true},
        ComparisonCase{"greater_equal", 4.0, Operator::GreaterThan, Value(4.0), {}, false},
        ComparisonCase{"less", 3.0, Operator::LessThan, Value(4.0), {}, true},
        ComparisonCase{"inf_greater", INFINITY, Operator::GreaterThan, Value(1e308), {}, true},
        ComparisonCase{"number_in", 3.0, Operator::In, Value(3.0), {}, false},
        ComparisonCase{"number_not_in", 3.0, Operator::NotIn, Value(4.0), {}, false},
        ComparisonCase{"text_equal", kText, Operator::Equals, kText, {}, true},
        ComparisonCase{"text_case", Value(std::string("ABC")), Operator::Equals, kText, {}, false},
        ComparisonCase{"text_nul_byte",
                       Value(std::string("ab\0c", 4)),
                       Operator::Equals,
                       Value(std::string("ab")),
                       {},
                       false},
        ComparisonCase{
            "text_not_equal", Value(std::string("abd")), Operator::NotEquals, kText, {}, true},
        ComparisonCase{"text_greater",
                       Value(std::string("b")),
                       Operator::GreaterThan,
                       Value(std::string("a")),
                       {},
                       false},
        ComparisonCase{"bool_equal", true, Operator::Equals, Value(true), {}, true},
        ComparisonCase{"bool_not_equal", true, Operator::NotEquals, Value(false), {}, true},
        ComparisonCase{"bool_greater", true, Operator::GreaterThan, Value(false), {}, false},
        ComparisonCase{"bool_vs_number", true, Operator::Equals, Value(1.0), {}, false},
        ComparisonCase{"bool_vs_number_ne", true, Operator::NotEquals, Value(1.0), {}, false},
        ComparisonCase{"text_vs_number_ne",
                       Value(std::string("3")),
                       Operator::NotEquals,
                       Value(3.0),
                       {},
                       false},
        ComparisonCase{"missing_equals", {}, Operator::Equals, Value(3.0), {}, false},
        ComparisonCase{"missing_not_equals", {}, Operator::NotEquals, Value(3.0), {}, false},
        ComparisonCase{"subject_equal", 2.0, Operator::Equals, snapshot("y"), 2.0, true},
        ComparisonCase{"subject_less", 1.0, Operator::LessThan, snapshot("y"), 2.0, true},
        ComparisonCase{"subject_missing", 2.0, Operator::NotEquals, snapshot("y"), {}, false},
        ComparisonCase{"subject_mixed", 2.0, Operator::NotEquals, snapshot("y"), true, false},
        ComparisonCase{"subject_self", 2.0, Operator::Equals, snapshot("x"), {}, true}),
    [](const ::testing::TestParamInfo<ComparisonCase>& info) { return info.param.name; });

// ---- rule order, lists and conditions, over one policy ----

CompiledPolicy order_policy() {
  CompiledPolicy policy;
  auto& refund = policy.action_rules["refund"];
  refund.push_back(
      rule("refund-big", against(action("amount"), Operator::GreaterThan, 1000.0), Effect::Block));
  refund.push_back(rule("refund-review", against(action("amount"), Operator::GreaterThan, 100.0),
                        Effect::RequireApproval));
  refund.push_back(any_of("refund-either",
                          {against(actor("role"), Operator::Equals, std::string("intern")),
                           against(snapshot("frozen"), Operator::Equals, true)},
                          Effect::Block));
  policy.action_rules["close"].push_back(
      all_of("close-both",
             {against(actor("role"), Operator::Equals, std::string("admin")),
              against(actor("trust"), Operator::GreaterThan, snapshot("min_trust"))},
             Effect::Allow));
  policy.actor_rules["intern"].push_back(
      rule("actor-rule", against(actor("role"), Operator::Equals, std::string("intern")),
           Effect::Block));
  policy.global_rules.push_back(rule("global-frozen",
                                     against(snapshot("frozen"), Operator::Equals, true),
                                     Effect::RequireApproval));
  policy.global_rules.push_back(
      rule("global-type", against(action("type"), Operator::Equals, std::string("delete")),
           Effect::Block));
  return policy;
}

struct OrderCase {
  const char* name;
  Fields fields;
  const char* decision;
};

class Order : public ::testing::TestWithParam<OrderCase> {};

TEST_P(Order, FirstMatchingRuleDecides) {
  const CompiledPolicy policy = order_policy();
  const EvaluationPlan plan(policy);
  EXPECT_EQ(decide(plan, GetParam().fields), GetParam().decision);
}

const std::string kRefund = "refund";
const std::string kClose = "close";

INSTANTIATE_TEST_SUITE_P(
    Engine, Order,
    ::testing::Values(
        OrderCase{"empty_input", {}, "allow -"},
        OrderCase{"earlier_rule_wins",
                  {{Domain::Action, "type", kRefund}, {Domain::Action, "amount", 5000.0}},
                  "block refund-big"},
        OrderCase{"second_rule",
                  {{Domain::Action, "type", kRefund}, {Domain::Action, "amount", 500.0}},
                  "require_approval refund-review"},
        OrderCase{"action_rule_before_global",
                  {{Domain::Action, "type", kRefund}, {Domain::Snapshot, "frozen", true}},
                  "block refund-either"},
        OrderCase{"global_when_no_action_rule_matches",
                  {{Domain::Action, "type", kClose}, {Domain::Snapshot, "frozen", true}},
                  "require_approval global-frozen"},
        OrderCase{"no_type_runs_global_only",
                  {{Domain::Action, "amount", 5000.0}, {Domain::Snapshot, "frozen", true}},
                  "require_approval global-frozen"},
        OrderCase{"numeric_type_runs_global_only",
                  {{Domain::Action, "type", 1.0}, {Domain::Action, "amount", 5000.0}},
                  "allow -"},
        OrderCase{"boolean_type_runs_global_only",
                  {{Domain::Action, "type", true}, {Domain::Action, "amount", 5000.0}},
                  "allow -"},
        OrderCase{
            "unknown_type_runs_global_only",
            {{Domain::Action, "type", std::string("delete")}, {Domain::Action, "amount", 5000.0}},
            "block global-type"},
        OrderCase{
            "type_differs_in_case",
            {{Domain::Action, "type", std::string("Refund")}, {Domain::Action, "amount", 5000.0}},
            "allow -"},
        OrderCase{"actor_rules_never_decide",
                  {{Domain::Actor, "role", std::string("intern")}},
                  "allow -"},
        OrderCase{
            "any_first_member",
            {{Domain::Action, "type", kRefund}, {Domain::Actor, "role", std::string("intern")}},
            "block refund-either"},
        OrderCase{"all_members_hold",
                  {{Domain::Action, "type", kClose},
                   {Domain::Actor, "role", std::string("admin")},
                   {Domain::Actor, "trust", 5.0},
                   {Domain::Snapshot, "min_trust", 3.0}},
                  "allow close-both"},
        OrderCase{"all_one_member_fails",
                  {{Domain::Action, "type", kClose},
                   {Domain::Actor, "role", std::string("admin")},
                   {Domain::Actor, "trust", 2.0},
                   {Domain::Snapshot, "min_trust", 3.0},
                   {Domain::Snapshot, "frozen", true}},
                  "require_approval global-frozen"},
        OrderCase{"all_right_field_missing",
                  {{Domain::Action, "type", kClose},
                   {Domain::Actor, "role", std::string("admin")},
                   {Domain::Actor, "trust", 5.0}},
                  "allow -"},
        OrderCase{"unread_fields_are_ignored",
                  {{Domain::Action, "type", kRefund},
                   {Domain::Action, "AMOUNT", 5000.0},
                   {Domain::Actor, "other", 1.0}},
                  "allow -"}),
    [](const ::testing::TestParamInfo<OrderCase>& info) { return info.param.name; });

// ---- rules that each require one field to equal a text are entered by that text ----

CompiledPolicy text_run_policy() {
  auto currency = [](const char* text) {
    return against(action("currency"), Operator::Equals, std::string(text));
  };
  CompiledPolicy policy;
  auto& refund = policy.action_rules["refund"];
  refund.push_back(
      rule("before", against(action("amount"), Operator::GreaterThan, 1e6), Effect::Block));
  refund.push_back(all_of("a-big",
                          {currency("A"), against(action("amount"), Operator::GreaterThan, 10.0)},
                          Effect::Block));
  refund.push_back(rule("b", currency("B"), Effect::Allow));
  refund.push_back(all_of("a-any",
                          {against(action("amount"), Operator::GreaterThan, 0.0), currency("A")},
                          Effect::RequireApproval));
  refund.push_back(rule("c", currency("C"), Effect::Block));
  refund.push_back(rule("b-again", currency("B"), Effect::Block));
  // An "any" needs no text: it ends the run.
  refund.push_back(any_of("a-or-huge",
                          {currency("A"), against(action("amount"), Operator::GreaterThan, 1000.0)},
                          Effect::Allow));
  refund.push_back(rule("d", currency("D"), Effect::Block));
  policy.global_rules.push_back(rule(
      "global-any", against(action("amount"), Operator::LessThan, 1e9), Effect::RequireApproval));
  return policy;
}

class TextRun : public ::testing::TestWithParam<OrderCase> {};

TEST_P(TextRun, DecidesAsTheRulesInOrderWould) {
  const CompiledPolicy policy = text_run_policy();
  const EvaluationPlan plan(policy);
  EXPECT_EQ(decide(plan, GetParam().fields), GetParam().decision);
}

Fields refund_of(Value currency, double amount) {
  return {{Domain::Action, "type", kRefund},
          {Domain::Action, "currency", std::move(currency)},
          {Domain::Action, "amount", amount}};
}

INSTANTIATE_TEST_SUITE_P(
    Engine, TextRun,
    ::testing::Values(
        OrderCase{"rule_before_the_run", refund_of(std::string("A"), 2e6), "block before"},
        OrderCase{"first_of_its_text", refund_of(std::string("A"), 50.0), "block a-big"},
        OrderCase{"later_rule_of_the_same_text", refund_of(std::string("A"), 5.0),
                  "require_approval a-any"},
        OrderCase{"other_text", refund_of(std::string("B"), 5.0), "allow b"},
        OrderCase{"text_of_no_rule_goes_past_the_run", refund_of(std::string("Z"), 5000.0),
                  "allow a-or-huge"},
        OrderCase{"rule_after_the_run", refund_of(std::string("D"), 5.0), "block d"},
        OrderCase{"text_differs_in_case", refund_of(std::string("a"), 50.0),
                  "require_approval global-any"},
        OrderCase{"number_skips_the_run", refund_of(1.0, 5000.0), "allow a-or-huge"},
        OrderCase{"missing_field_skips_the_run",
                  {{Domain::Action, "type", kRefund}, {Domain::Action, "amount", 5.0}},
                  "require_approval global-any"}),
    [](const ::testing::TestParamInfo<OrderCase>& info) { return info.param.name; });

// Slot order follows the map's visiting order, so compare sorted names; "type" is always first.
std::vector<std::string> sorted_names(const EvaluationPlan& plan, Domain domain) {
  auto names = slot_names(plan, domain);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(EvaluationPlan, SlotsAreTheFieldsThatRulesRead) {
  const CompiledPolicy policy = order_policy();
  const EvaluationPlan plan(policy);
  EXPECT_EQ(slot_names(plan, Domain::Action).front(), "type");
  EXPECT_EQ(sorted_names(plan, Domain::Action), (std::vector<std::string>{"amount", "type"}));
  EXPECT_EQ(sorted_names(plan, Domain::Actor), (std::vector<std::string>{"role", "trust"}));
  EXPECT_EQ(sorted_names(plan, Domain::Snapshot),
            (std::vector<std::string>{"frozen", "min_trust"}));
  EXPECT_FALSE(plan.slot_of(Domain::Actor, "amount").has_value());
}

TEST(EvaluationPlan, EmptyPolicyAllows) {
  const CompiledPolicy policy;
  const EvaluationPlan plan(policy);
  EXPECT_EQ(slot_names(plan, Domain::Action), (std::vector<std::string>{"type"}));
  EXPECT_EQ(decide(plan, {{Domain::Action, "type", kRefund}}), "allow -");
}

TEST(EvaluationPlan, LaterValueReplacesEarlier) {
  const CompiledPolicy policy = order_policy();
  const EvaluationPlan plan(policy);
  EXPECT_EQ(decide(plan, {{Domain::Action, "type", kRefund},
                          {Domain::Action, "amount", 5000.0},
                          {Domain::Action, "amount", 50.0}}),
            "allow -");
}

// ---- a plan over a compiled policy: its texts outlive the document tree and
// stay put when the policy moves ----

static_assert(!std::is_copy_constructible_v<CompiledPolicy> &&
                  !std::is_copy_assignable_v<CompiledPolicy>,
              "a copy's rules would view the original's storage");
static_assert(std::is_nothrow_move_constructible_v<CompiledPolicy>);

// Enough rules that ids, literals and member lists fill several chunks; every
// rule's literal and id are its own, and the rules of one action form a text run.
std::vector<RuleAst> many_rules() {
  namespace ast = tamsel::testing;
  std::vector<RuleAst> rules;
  for (int i = 0; i < 600; ++i) {
    const std::string n = std::to_string(i);
    rules.push_back(ast::rule("refund-" + n, ast::action_scope("refund"),
                              ast::atomic(ast::compare(ast::subject("action", "currency"), "equals",
                                                       ast::literal(("C" + n).c_str())))));
    rules.push_back(ast::rule("transfer-" + n, ast::action_scope("transfer"),
                              ast::all_of({ast::compare(ast::subject("action", "note"), "equals",
                                                        ast::literal(("N" + n).c_str())),
                                           ast::compare(ast::subject("actor", "trust_level"),
                                                        "less_than", ast::literal(double(i)))})));
  }
  rules.push_back(ast::rule(
      std::string(70000, 'g'), ast::global_scope(true),
      ast::any_of({ast::compare(ast::subject("actor", "role"), "equals",
                                ast::literal(std::string(70000, 'r').c_str())),
                   ast::compare(ast::subject("actor", "frozen"), "equals", ast::literal(true))})));
  return rules;
}

TEST(EvaluationPlan, ViewsTheTextsOfAMovedCompiledPolicy) {
  auto compiled = compile_policy(tamsel::testing::sample_catalogue(), many_rules());
  ASSERT_TRUE(compiled.has_value());
  CompiledPolicy policy = std::move(*compiled);
  CompiledPolicy moved_again;
  moved_again = std::move(policy);
  const EvaluationPlan plan(moved_again);
  const std::string long_role(70000, 'r');
  struct Case {
    Fields fields;
    std::string decision;
  };
  const Case cases[] = {
      {{{Domain::Action, "type", std::string("refund")},
        {Domain::Action, "currency", std::string("C599")}},
       "block refund-599"},
      {{{Domain::Action, "type", std::string("transfer")},
        {Domain::Action, "note", std::string("N17")},
        {Domain::Actor, "trust_level", 5.0}},
       "block transfer-17"},
      {{{Domain::Action, "type", std::string("transfer")},
        {Domain::Action, "note", std::string("N17")},
        {Domain::Actor, "trust_level", 50.0}},
       "allow -"},
      {{{Domain::Action, "type", std::string("refund")}, {Domain::Actor, "role", long_role}},
       "block " + std::string(70000, 'g')},
  };
  for (const auto& c : cases) EXPECT_EQ(decide(plan, c.fields), c.decision);
}

}  // namespace
}  // namespace tamsel
