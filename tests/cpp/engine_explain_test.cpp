// The step-by-step walk: what it visits and compares, why a comparison is
// false, and that it decides as the evaluation plan does.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "compiler/compile.h"
#include "compiler_test_support.h"
#include "engine/evaluation_plan.h"
#include "engine/explain.h"

namespace tamsel {
namespace {

namespace ast = tamsel::testing;

using Value = std::variant<std::string, double, bool>;
using Fields = std::vector<std::tuple<Domain, std::string, Value>>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Over the sample catalogue: an action rule, an actor rule (never run), an
// "any" action rule and an "all" global rule, in that document order.
CompiledPolicy explain_policy() {
  std::vector<RuleAst> rules;
  rules.push_back(ast::rule("big", ast::action_scope("refund"),
                            ast::atomic(ast::compare(ast::subject("action", "amount"),
                                                     "greater_than", ast::literal(1000.0)))));
  rules.push_back(ast::rule(
      "intern", ast::actor_scope("intern"),
      ast::atomic(ast::compare(ast::subject("actor", "role"), "equals", ast::literal("x")))));
  rules.push_back(ast::rule(
      "either", ast::action_scope("refund"),
      ast::any_of({ast::compare(ast::subject("action", "currency"), "equals", ast::literal("EUR")),
                   ast::compare(ast::subject("actor", "frozen"), "equals", ast::literal(true))}),
      EffectAst::RequireApproval));
  rules.push_back(
      ast::rule("both", ast::global_scope(true),
                ast::all_of({ast::compare(ast::subject("actor", "trust_level"), "less_than",
                                          ast::field_ref("snapshot", "min_trust_level")),
                             ast::compare(ast::subject("snapshot", "maintenance_mode"),
                                          "not_equals", ast::literal(true))})));
  auto compiled = compile_policy(ast::sample_catalogue(), std::move(rules));
  if (!compiled) throw std::runtime_error(message(compiled.error()));
  return std::move(*compiled);
}

InputValue input_value(const Value& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return InputValue::of_text(*text);
  if (const auto* number = std::get_if<double>(&value)) return InputValue::of_number(*number);
  return InputValue::of_boolean(std::get<bool>(value));
}

std::string show(const InputValue& value) {
  switch (value.kind) {
    case InputValue::Kind::Missing:
      return "-";
    case InputValue::Kind::String:
      return "'" + std::string(value.text) + "'";
    case InputValue::Kind::Boolean:
      return value.boolean ? "true" : "false";
    case InputValue::Kind::Number:
      break;
  }
  char shown[32];
  std::snprintf(shown, sizeof shown, "%g", value.number);
  return shown;
}

// "type/list | LIST:POSITION ID T|F [MEMBER T|F LEFT RIGHT (REASON)] ... => EFFECT ID"
std::string show(const Trace& trace) {
  constexpr const char* kReasons[] = {"", " (left missing)", " (right missing)", " (kinds differ)"};
  std::string shown = trace.action_type ? std::string(*trace.action_type) : "-";
  shown += trace.action_list ? "/list" : "/none";
  for (const RuleStep& step : trace.steps) {
    shown += std::string(" | ") + (step.list == RuleListKind::Action ? "action:" : "global:") +
             std::to_string(step.position) + " " + std::string(step.rule->rule_id) +
             (step.result ? " T" : " F");
    for (const ComparisonStep& made : step.comparisons) {
      shown += " [" + std::to_string(made.member) + (made.result ? " T " : " F ") +
               show(made.left) + " " + show(made.right) + kReasons[static_cast<int>(made.reason)] +
               "]";
    }
  }
  shown += " => " + std::string(document_word(trace.effect)) + " " +
           (trace.matched != nullptr ? std::string(trace.matched->rule_id) : "-");
  return shown;
}

struct Case {
  const char* name;
  Fields fields;
  const char* trace;
};

class Explain : public ::testing::TestWithParam<Case> {};

TEST_P(Explain, RecordsEveryStepAndDecidesAsThePlan) {
  const CompiledPolicy policy = explain_policy();
  std::map<std::pair<Domain, std::string>, InputValue> values;  // texts view the case's fields
  for (const auto& [domain, name, value] : GetParam().fields) {
    values[{domain, name}] = input_value(value);
  }
  const auto lookup = [&](const SubjectRef& subject) {
    const auto found = values.find({subject.domain, std::string(subject.field)});
    return found != values.end() ? found->second : InputValue{};
  };
  const Trace trace = explain(policy, lookup);
  EXPECT_EQ(show(trace), GetParam().trace);

  const EvaluationPlan plan(policy);
  std::vector<InputValue> slots(plan.slot_count());
  EvaluationInput input(slots);
  for (const auto& [key, value] : values) {
    if (auto slot = plan.slot_of(key.first, key.second)) input.set(*slot, value);
  }
  const Decision decision = plan.evaluate(input);
  EXPECT_EQ(decision.effect, trace.effect);
  EXPECT_EQ(decision.rule ? plan.rule_id(*decision.rule) : "-",
            trace.matched != nullptr ? trace.matched->rule_id : "-");
}

const std::string kRefund = "refund";

INSTANTIATE_TEST_SUITE_P(
    Engine, Explain,
    ::testing::Values(
        Case{"empty_input", {}, "-/none | global:0 both F [0 F - - (left missing)] => allow -"},
        Case{"action_rule_decides",
             {{Domain::Action, "type", kRefund}, {Domain::Action, "amount", 5000.0}},
             "refund/list | action:0 big T [0 T 5000 1000] => block big"},
        Case{"text_for_a_number",
             {{Domain::Action, "type", kRefund},
              {Domain::Action, "amount", std::string("5000")},
              {Domain::Actor, "trust_level", 1.0}},
             "refund/list | action:0 big F [0 F '5000' 1000 (kinds differ)]"
             " | action:1 either F [0 F - 'EUR' (left missing)] [1 F - true (left missing)]"
             " | global:0 both F [0 F 1 - (right missing)] => allow -"},
        Case{"nan_is_false_without_reason",
             {{Domain::Action, "type", kRefund},
              {Domain::Action, "amount", kNaN},
              {Domain::Action, "currency", std::string("EUR")}},
             "refund/list | action:0 big F [0 F nan 1000] | action:1 either T [0 T 'EUR' 'EUR']"
             " => require_approval either"},
        Case{"any_stops_at_the_first_true_member",
             {{Domain::Action, "type", kRefund},
              {Domain::Action, "currency", std::string("USD")},
              {Domain::Actor, "frozen", true}},
             "refund/list | action:0 big F [0 F - 1000 (left missing)]"
             " | action:1 either T [0 F 'USD' 'EUR'] [1 T true true] => require_approval either"},
        Case{"all_stops_at_the_first_false_member",
             {{Domain::Actor, "trust_level", 5.0}, {Domain::Snapshot, "min_trust_level", 3.0}},
             "-/none | global:0 both F [0 F 5 3] => allow -"},
        Case{"all_members_hold",
             {{Domain::Actor, "trust_level", -0.0},
              {Domain::Snapshot, "min_trust_level", INFINITY},
              {Domain::Snapshot, "maintenance_mode", false}},
             "-/none | global:0 both T [0 T -0 inf] [1 T false true] => block both"},
        Case{"type_of_no_rules",
             {{Domain::Action, "type", std::string("transfer")},
              {Domain::Actor, "trust_level", 1.0},
              {Domain::Snapshot, "min_trust_level", 3.0},
              {Domain::Snapshot, "maintenance_mode", 1.0}},
             "transfer/none | global:0 both F [0 T 1 3] [1 F 1 true (kinds differ)] => allow -"},
        Case{"type_not_a_text",
             {{Domain::Action, "type", 1.0}, {Domain::Action, "amount", 5000.0}},
             "-/none | global:0 both F [0 F - - (left missing)] => allow -"}),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
}  // namespace tamsel
