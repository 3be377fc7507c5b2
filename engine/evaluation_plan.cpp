#include "engine/evaluation_plan.h"

#include <algorithm>
#include <string>
#include <utility>

namespace tamsel {
namespace {

std::size_t index_of(Domain domain) { return static_cast<std::size_t>(domain); }

bool compare_numbers(double left, Operator op, double right) {
  switch (op) {
    case Operator::Equals:
      return left == right;
    case Operator::NotEquals:
      return left != right;  // true when either side is NaN
    case Operator::GreaterThan:
      return left > right;
    case Operator::LessThan:
      return left < right;
    case Operator::In:
    case Operator::NotIn:
      return false;
  }
  return false;
}

// Strings and booleans know equality only; the ordering operators are false.
template <class T>
bool compare_equality(const T& left, Operator op, const T& right) {
  if (op == Operator::Equals) return left == right;
  if (op == Operator::NotEquals) return left != right;
  return false;
}

bool compare_values(const FieldValue& left, Operator op, const FieldValue& right) {
  if (left.index() != right.index()) return false;
  if (const auto* number = std::get_if<double>(&left)) {
    return compare_numbers(*number, op, std::get<double>(right));
  }
  if (const auto* text = std::get_if<std::string>(&left)) {
    return compare_equality(*text, op, std::get<std::string>(right));
  }
  return compare_equality(std::get<bool>(left), op, std::get<bool>(right));
}

}  // namespace

EvaluationPlan::EvaluationPlan(const CompiledPolicy& policy) {
  slot_for(SubjectRef{Domain::Action, "type"});  // always kTypeSlot
  for (const auto& [action, rules] : policy.action_rules) {
    action_rules_.emplace(action, plan_rules(rules));
  }
  global_rules_ = plan_rules(policy.global_rules);
  // actor_rules never decide a result, so they get no plan.
}

FieldSlot EvaluationPlan::slot_for(const SubjectRef& subject) {
  auto& slots = slots_[index_of(subject.domain)];
  auto& names = slot_names_[index_of(subject.domain)];
  auto found = slots.find(subject.field);
  if (found != slots.end()) return {subject.domain, found->second};
  const auto index = static_cast<std::uint32_t>(names.size());
  names.push_back(subject.field);
  slots.emplace(subject.field, index);
  return {subject.domain, index};
}

EvaluationPlan::Rules EvaluationPlan::plan_rules(const RuleList& rules) {
  Rules planned;
  planned.reserve(rules.size());
  for (const auto& rule : rules) {
    Rule& out = planned.emplace_back();
    out.effect = rule.effect;
    out.rule_id = rule.rule_id;
    out.first = static_cast<std::uint32_t>(comparisons_.size());
    if (const auto* atomic = std::get_if<CompiledCondition::Atomic>(&rule.condition.value)) {
      plan_comparison(atomic->condition);
    } else if (const auto* all = std::get_if<CompiledCondition::All>(&rule.condition.value)) {
      for (const auto& member : all->conditions) plan_comparison(member);
    } else {
      out.any = true;
      for (const auto& member : std::get<CompiledCondition::Any>(rule.condition.value).conditions) {
        plan_comparison(member);
      }
    }
    out.count = static_cast<std::uint32_t>(comparisons_.size()) - out.first;
  }
  return planned;
}

void EvaluationPlan::plan_comparison(const AtomicCondition& condition) {
  Comparison& out = comparisons_.emplace_back();
  out.lhs = slot_for(condition.lhs);
  out.op = condition.op;
  if (const auto* literal = std::get_if<Operand::Literal>(&condition.rhs.value)) {
    out.rhs = literal->value;
  } else {
    out.rhs = slot_for(std::get<Operand::Subject>(condition.rhs.value).subject);
  }
}

std::optional<FieldSlot> EvaluationPlan::slot_of(Domain domain, std::string_view field) const {
  const auto& slots = slots_[index_of(domain)];
  auto found = slots.find(field);
  if (found == slots.end()) return std::nullopt;
  return FieldSlot{domain, found->second};
}

const std::vector<std::string>& EvaluationPlan::slot_names(Domain domain) const {
  return slot_names_[index_of(domain)];
}

EvaluationInput EvaluationPlan::make_input() const {
  std::array<std::uint32_t, kDomainCount> counts{};
  for (std::size_t d = 0; d < kDomainCount; ++d) {
    counts[d] = static_cast<std::uint32_t>(slot_names_[d].size());
  }
  return EvaluationInput(counts);
}

Decision EvaluationPlan::evaluate(const EvaluationInput& input) const {
  const auto* type = input.find(kTypeSlot);
  const auto* action = type ? std::get_if<std::string>(type) : nullptr;
  if (action) {
    auto found = action_rules_.find(std::string_view(*action));
    if (found != action_rules_.end()) {
      if (auto decision = run(found->second, input)) return *decision;
    }
  }
  if (auto decision = run(global_rules_, input)) return *decision;
  return {};
}

std::optional<Decision> EvaluationPlan::run(const Rules& rules,
                                            const EvaluationInput& input) const {
  for (const auto& rule : rules) {
    if (holds(rule, input)) return Decision{rule.effect, std::string_view(rule.rule_id)};
  }
  return std::nullopt;
}

bool EvaluationPlan::holds(const Rule& rule, const EvaluationInput& input) const {
  const auto* begin = comparisons_.data() + rule.first;
  const auto* end = begin + rule.count;
  auto true_here = [&input](const Comparison& c) { return compare(c, input); };
  if (rule.any) return std::any_of(begin, end, true_here);
  return std::all_of(begin, end, true_here);
}

bool EvaluationPlan::compare(const Comparison& comparison, const EvaluationInput& input) {
  const auto* left = input.find(comparison.lhs);
  if (!left) return false;
  if (const auto* literal = std::get_if<FieldValue>(&comparison.rhs)) {
    return compare_values(*left, comparison.op, *literal);
  }
  const auto* right = input.find(std::get<FieldSlot>(comparison.rhs));
  return right && compare_values(*left, comparison.op, *right);
}

}  // namespace tamsel
