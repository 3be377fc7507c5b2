#include "compiler/compile.h"

#include <utility>

namespace tamsel {
namespace {

using Kind = CompileError::Kind;

CompileError error_of(Kind kind, std::string first = {}, std::string second = {}) {
  return CompileError{kind, std::move(first), std::move(second), {}};
}

bool admitted(Operator op, FieldType type) {
  switch (op) {
    case Operator::Equals:
    case Operator::NotEquals:
      return true;
    case Operator::GreaterThan:
    case Operator::LessThan:
      return type == FieldType::Number;
    case Operator::In:
    case Operator::NotIn:
      return false;
  }
  return false;
}

std::optional<FieldType> field_type(const SchemaCatalogue& catalogue, Domain domain,
                                    std::string_view field,
                                    std::optional<std::string_view> scoped_action) {
  switch (domain) {
    case Domain::Action:
      if (!scoped_action) return std::nullopt;
      return catalogue.action_field_type(*scoped_action, field);
    case Domain::Actor:
      return catalogue.actor_field_type(field);
    case Domain::Snapshot:
      return catalogue.snapshot_field_type(field);
  }
  return std::nullopt;
}

FieldType literal_type(const FieldValue& value) {
  switch (value.index()) {
    case 0:
      return FieldType::String;
    case 1:
      return FieldType::Number;
    default:
      return FieldType::Boolean;
  }
}

struct CompiledOperand {
  Operand operand;
  FieldType type;
};

Expected<CompiledOperand, CompileError> compile_operand(
    const SchemaCatalogue& catalogue, ValueAst value,
    std::optional<std::string_view> scoped_action) {
  if (auto* literal = std::get_if<ValueAst::Literal>(&value.value)) {
    FieldValue field_value = std::move(literal->literal);
    const FieldType type = literal_type(field_value);
    return CompiledOperand{Operand{Operand::Literal{std::move(field_value)}}, type};
  }
  auto& subject = std::get<ValueAst::Subject>(value.value).subject;
  auto resolved = resolve_subject(catalogue, subject, scoped_action);
  if (!resolved) return unexpected(std::move(resolved).error());
  return CompiledOperand{Operand{Operand::Subject{std::move(resolved->subject)}}, resolved->type};
}

struct RuleScope {
  enum class Kind : std::uint8_t { Action, Actor, Global } kind;
  std::string name;  // the action or actor name; empty for global rules
};

Expected<RuleScope, CompileError> check_scope(const SchemaCatalogue& catalogue, ScopeAst scope) {
  if (auto* action = std::get_if<ScopeAst::Action>(&scope.value)) {
    if (!catalogue.action_exists(action->action)) {
      return unexpected(error_of(Kind::UnknownAction, std::move(action->action)));
    }
    return RuleScope{RuleScope::Kind::Action, std::move(action->action)};
  }
  if (auto* actor = std::get_if<ScopeAst::Actor>(&scope.value)) {
    return RuleScope{RuleScope::Kind::Actor, std::move(actor->actor)};
  }
  if (!std::get<ScopeAst::Global>(scope.value).global) {
    return unexpected(error_of(Kind::InvalidScope));
  }
  return RuleScope{RuleScope::Kind::Global, {}};
}

Expected<std::vector<AtomicCondition>, CompileError> compile_members(
    const SchemaCatalogue& catalogue, std::vector<AtomicConditionAst> members,
    std::optional<std::string_view> scoped_action) {
  if (members.size() < 2) return unexpected(error_of(Kind::InvalidLogicalCondition));
  std::vector<AtomicCondition> compiled;
  compiled.reserve(members.size());
  for (AtomicConditionAst& member : members) {
    auto condition = compile_comparison(catalogue, std::move(member), scoped_action);
    if (!condition) return unexpected(std::move(condition).error());
    compiled.push_back(std::move(*condition));
  }
  return compiled;
}

Expected<CompiledCondition, CompileError> compile_condition(
    const SchemaCatalogue& catalogue, ConditionAst when,
    std::optional<std::string_view> scoped_action) {
  if (auto* atomic = std::get_if<ConditionAst::Atomic>(&when.value)) {
    auto condition = compile_comparison(catalogue, std::move(atomic->condition), scoped_action);
    if (!condition) return unexpected(std::move(condition).error());
    return CompiledCondition{CompiledCondition::Atomic{std::move(*condition)}};
  }
  if (auto* all = std::get_if<ConditionAst::All>(&when.value)) {
    auto members = compile_members(catalogue, std::move(all->conditions), scoped_action);
    if (!members) return unexpected(std::move(members).error());
    return CompiledCondition{CompiledCondition::All{std::move(*members)}};
  }
  auto& any = std::get<ConditionAst::Any>(when.value);
  auto members = compile_members(catalogue, std::move(any.conditions), scoped_action);
  if (!members) return unexpected(std::move(members).error());
  return CompiledCondition{CompiledCondition::Any{std::move(*members)}};
}

void file_rule(CompiledPolicy& policy, RuleScope scope, CompiledRule rule) {
  switch (scope.kind) {
    case RuleScope::Kind::Action:
      policy.action_rules[std::move(scope.name)].push_back(std::move(rule));
      return;
    case RuleScope::Kind::Actor:
      policy.actor_rules[std::move(scope.name)].push_back(std::move(rule));
      return;
    case RuleScope::Kind::Global:
      policy.global_rules.push_back(std::move(rule));
      return;
  }
}

// Every list at its final size before the first rule is filed: grown by
// doubling, the largest list would hold up to twice its rules at once and keep
// the slack. A scope that fails its check fails compilation, so the lists made
// here for it never outlive the call.
void reserve_lists(CompiledPolicy& policy, const std::vector<RuleAst>& rules) {
  NameMap<std::size_t> action_counts;
  NameMap<std::size_t> actor_counts;
  std::size_t global_count = 0;
  for (const RuleAst& rule : rules) {
    if (const auto* action = std::get_if<ScopeAst::Action>(&rule.scope.value)) {
      ++action_counts[action->action];
    } else if (const auto* actor = std::get_if<ScopeAst::Actor>(&rule.scope.value)) {
      ++actor_counts[actor->actor];
    } else {
      ++global_count;
    }
  }
  for (const auto& [name, count] : action_counts) policy.action_rules[name].reserve(count);
  for (const auto& [name, count] : actor_counts) policy.actor_rules[name].reserve(count);
  policy.global_rules.reserve(global_count);
}

}  // namespace

Expected<ResolvedSubject, CompileError> resolve_subject(
    const SchemaCatalogue& catalogue, const SubjectAst& subject,
    std::optional<std::string_view> scoped_action) {
  const std::optional<Domain> domain = from_document_word<Domain>(subject.domain);
  if (!domain) return unexpected(error_of(Kind::UnknownDomain, subject.domain));
  const auto type = field_type(catalogue, *domain, subject.field, scoped_action);
  if (!type) return unexpected(error_of(Kind::UnknownField, subject.domain, subject.field));
  return ResolvedSubject{SubjectRef{*domain, subject.field}, *type};
}

Expected<AtomicCondition, CompileError> compile_comparison(
    const SchemaCatalogue& catalogue, AtomicConditionAst comparison,
    std::optional<std::string_view> scoped_action) {
  auto left = resolve_subject(catalogue, comparison.subject, scoped_action);
  if (!left) return unexpected(std::move(left).error());
  const std::optional<Operator> op = from_document_word<Operator>(comparison.op);
  if (!op) return unexpected(error_of(Kind::UnknownOperator, std::move(comparison.op)));
  auto right = compile_operand(catalogue, std::move(comparison.value), scoped_action);
  if (!right) return unexpected(std::move(right).error());
  if (left->type != right->type) {
    return unexpected(error_of(Kind::TypeMismatch, std::string(variant_name(left->type)),
                               std::string(variant_name(right->type))));
  }
  if (!admitted(*op, left->type)) {
    return unexpected(error_of(Kind::UnsupportedOperator, std::string(variant_name(*op)),
                               std::string(document_word(left->type))));
  }
  return AtomicCondition{std::move(left->subject), *op, std::move(right->operand)};
}

Expected<CompiledPolicy, CompileError> compile_policy(const SchemaCatalogue& catalogue,
                                                      std::vector<RuleAst> rules) {
  CompiledPolicy policy;
  reserve_lists(policy, rules);
  for (RuleAst& rule : rules) {
    auto scope = check_scope(catalogue, std::move(rule.scope));
    if (!scope) return unexpected(std::move(scope).error());
    std::optional<std::string_view> scoped_action;
    if (scope->kind == RuleScope::Kind::Action) scoped_action = scope->name;
    auto condition = compile_condition(catalogue, std::move(rule.when), scoped_action);
    if (!condition) return unexpected(std::move(condition).error());
    CompiledRule compiled{std::move(rule.id), std::move(*condition), rule.effect};
    file_rule(policy, std::move(*scope), std::move(compiled));
  }
  return policy;
}

}  // namespace tamsel
