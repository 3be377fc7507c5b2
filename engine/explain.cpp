#include "engine/explain.h"

#include <span>
#include <variant>

namespace tamsel {
namespace {

using Kind = InputValue::Kind;

InputValue literal_value(const FieldValue& literal) {
  if (const auto* text = std::get_if<std::string_view>(&literal)) return InputValue::of_text(*text);
  if (const auto* number = std::get_if<double>(&literal)) return InputValue::of_number(*number);
  return InputValue::of_boolean(std::get<bool>(literal));
}

// The operator on two values of one kind, left side first.
bool apply(Operator op, const InputValue& left, const InputValue& right) {
  switch (left.kind) {
    case Kind::Number:
      switch (op) {
        case Operator::Equals:
          return left.number == right.number;
        case Operator::NotEquals:
          return left.number != right.number;  // true when either side is NaN
        case Operator::GreaterThan:
          return left.number > right.number;
        case Operator::LessThan:
          return left.number < right.number;
        case Operator::In:
        case Operator::NotIn:
          return false;
      }
      return false;
    case Kind::String:
    case Kind::Boolean: {
      const bool same =
          left.kind == Kind::String ? left.text == right.text : left.boolean == right.boolean;
      if (op == Operator::Equals) return same;
      return op == Operator::NotEquals && !same;
    }
    case Kind::Missing:
      break;
  }
  return false;
}

ComparisonStep compare(const AtomicCondition& condition, std::uint32_t member,
                       const FieldLookup& lookup) {
  ComparisonStep step;
  step.member = member;
  step.left = lookup(condition.lhs);
  if (const auto* subject = std::get_if<Operand::Subject>(&condition.rhs.value)) {
    step.right = lookup(subject->subject);
  } else {
    step.right = literal_value(std::get<Operand::Literal>(condition.rhs.value).value);
  }
  if (step.left.kind == Kind::Missing) {
    step.reason = FalseReason::LeftMissing;
  } else if (step.right.kind == Kind::Missing) {
    step.reason = FalseReason::RightMissing;
  } else if (step.left.kind != step.right.kind) {
    step.reason = FalseReason::KindsDiffer;
  } else {
    step.result = apply(condition.op, step.left, step.right);
  }
  return step;
}

// An atomic condition is an "all" of one: it holds when its one member does.
void test(const CompiledRule& rule, const FieldLookup& lookup, RuleStep& step) {
  const bool any = form(rule.condition) == ConditionForm::Any;
  const auto compared = members(rule.condition);
  step.result = !any;
  for (std::uint32_t m = 0; m < compared.size(); ++m) {
    const ComparisonStep& made = step.comparisons.emplace_back(compare(compared[m], m, lookup));
    if (made.result == any) {
      step.result = any;
      return;
    }
  }
}

// True when a rule of the list decided.
bool run(const RuleList& rules, RuleListKind list, const FieldLookup& lookup, Trace& trace) {
  for (std::uint32_t position = 0; position < rules.size(); ++position) {
    const CompiledRule& rule = rules[position];
    RuleStep& step = trace.steps.emplace_back();
    step.list = list;
    step.rule = &rule;
    step.position = position;
    test(rule, lookup, step);
    if (step.result) {
      trace.effect = rule.effect;
      trace.matched = &rule;
      return true;
    }
  }
  return false;
}

}  // namespace

Trace explain(const CompiledPolicy& policy, const FieldLookup& lookup) {
  Trace trace;
  const InputValue type = lookup(SubjectRef{"type", Domain::Action});
  if (type.kind == Kind::String) {
    trace.action_type = type.text;
    const auto list = policy.action_rules.find(type.text);
    trace.action_list = list != policy.action_rules.end();
    if (trace.action_list && run(list->second, RuleListKind::Action, lookup, trace)) return trace;
  }
  run(policy.global_rules, RuleListKind::Global, lookup, trace);
  return trace;
}

}  // namespace tamsel
