#include "compiler/compile.h"

#include <span>
#include <string>
#include <utility>

namespace tamsel {
namespace {

using Kind = CompileError::Kind;

using Place = CompileError::Place;

CompileError error_of(Kind kind, std::string first = {}, std::string second = {}) {
  return CompileError{kind, std::move(first), std::move(second)};
}

// The error, placed at a node of its rule.
CompileError placed_at(CompileError error, Place place) {
  error.place = place;
  return error;
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

FieldType literal_type(const LiteralValueAst& value) {
  if (std::holds_alternative<std::string>(value)) return FieldType::String;
  if (std::holds_alternative<double>(value)) return FieldType::Number;
  return FieldType::Boolean;
}

// Keeps the texts of compiled rules in the policy's storage: each field name
// once, however many comparisons read it, and every other text as it comes.
class Keeper {
 public:
  explicit Keeper(PolicyStorage& storage) : storage_(storage) {}

  std::string_view text(std::string_view text) { return storage_.text(text); }

  std::string_view field(std::string_view name) {
    // Neighbouring comparisons mostly read the same field: no hash then.
    if (name == last_field_) return last_field_;
    auto found = fields_.find(name);
    if (found == fields_.end()) found = fields_.insert(storage_.text(name)).first;
    last_field_ = *found;
    return last_field_;
  }

  FieldValue literal(const LiteralValueAst& literal) {
    if (const auto* text = std::get_if<std::string>(&literal)) {
      return FieldValue{std::in_place_type<std::string_view>, storage_.text(*text)};
    }
    if (const auto* number = std::get_if<double>(&literal)) {
      return FieldValue{std::in_place_type<double>, *number};
    }
    return FieldValue{std::in_place_type<bool>, std::get<bool>(literal)};
  }

  PolicyStorage& storage() { return storage_; }
  // The members of one condition while they compile; reused, so that a policy
  // of many "all" and "any" conditions allocates for them once.
  std::vector<AtomicCondition>& scratch() { return scratch_; }

 private:
  PolicyStorage& storage_;
  NameViewSet fields_;  // views into storage_
  std::string_view last_field_;
  std::vector<AtomicCondition> scratch_;
};

struct ResolvedSubject {
  SubjectRef subject;
  FieldType type = FieldType::String;
};

Expected<ResolvedSubject, CompileError> resolve_subject(
    const SchemaCatalogue& catalogue, const SubjectAst& subject,
    std::optional<std::string_view> scoped_action, Keeper& keeper) {
  const std::optional<Domain> domain = from_document_word<Domain>(subject.domain);
  if (!domain) return unexpected(error_of(Kind::UnknownDomain, subject.domain));
  const auto type = field_type(catalogue, *domain, subject.field, scoped_action);
  if (!type) return unexpected(error_of(Kind::UnknownField, subject.domain, subject.field));
  return ResolvedSubject{SubjectRef{keeper.field(subject.field), *domain}, *type};
}

struct CompiledOperand {
  Operand operand;
  FieldType type;
};

Expected<CompiledOperand, CompileError> compile_operand(
    const SchemaCatalogue& catalogue, const ValueAst& value,
    std::optional<std::string_view> scoped_action, Keeper& keeper) {
  if (const auto* literal = std::get_if<ValueAst::Literal>(&value.value)) {
    return CompiledOperand{Operand{Operand::Literal{keeper.literal(literal->literal)}},
                           literal_type(literal->literal)};
  }
  const auto& subject = std::get<ValueAst::Subject>(value.value).subject;
  auto resolved = resolve_subject(catalogue, subject, scoped_action, keeper);
  if (!resolved) return unexpected(std::move(resolved).error());
  return CompiledOperand{Operand{Operand::Subject{resolved->subject}}, resolved->type};
}

Expected<AtomicCondition, CompileError> compile_comparison(
    const SchemaCatalogue& catalogue, const AtomicConditionAst& comparison,
    std::optional<std::string_view> scoped_action, Keeper& keeper) {
  auto left = resolve_subject(catalogue, comparison.subject, scoped_action, keeper);
  if (!left) return unexpected(placed_at(std::move(left).error(), Place::Left));
  const std::optional<Operator> op = from_document_word<Operator>(comparison.op);
  if (!op) {
    return unexpected(placed_at(error_of(Kind::UnknownOperator, comparison.op), Place::Comparison));
  }
  auto right = compile_operand(catalogue, comparison.value, scoped_action, keeper);
  if (!right) return unexpected(placed_at(std::move(right).error(), Place::Right));
  if (left->type != right->type) {
    return unexpected(placed_at(error_of(Kind::TypeMismatch, std::string(variant_name(left->type)),
                                         std::string(variant_name(right->type))),
                                Place::Comparison));
  }
  if (!admitted(*op, left->type)) {
    return unexpected(placed_at(error_of(Kind::UnsupportedOperator, std::string(variant_name(*op)),
                                         std::string(document_word(left->type))),
                                Place::Comparison));
  }
  return AtomicCondition{left->subject, *op, right->operand};
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

Expected<std::span<const AtomicCondition>, CompileError> compile_members(
    const SchemaCatalogue& catalogue, ConditionForm shape,
    std::span<const AtomicConditionAst> members, std::optional<std::string_view> scoped_action,
    Keeper& keeper) {
  if (members.size() < 2) {
    const std::string_view word = shape == ConditionForm::All ? "all" : "any";
    return unexpected(
        placed_at(error_of(Kind::InvalidLogicalCondition, std::string(word)), Place::Condition));
  }
  std::vector<AtomicCondition>& compiled = keeper.scratch();
  compiled.clear();
  for (std::size_t m = 0; m < members.size(); ++m) {
    auto condition = compile_comparison(catalogue, members[m], scoped_action, keeper);
    if (!condition) {
      CompileError error = std::move(condition).error();
      error.member = static_cast<std::uint32_t>(m);
      return unexpected(std::move(error));
    }
    compiled.push_back(*condition);
  }
  return keeper.storage().members(compiled);
}

Expected<CompiledCondition, CompileError> compile_condition(
    const SchemaCatalogue& catalogue, const ConditionAst& when,
    std::optional<std::string_view> scoped_action, Keeper& keeper) {
  const ConditionForm shape = form(when);
  if (shape == ConditionForm::Atomic) {
    auto condition = compile_comparison(catalogue, members(when)[0], scoped_action, keeper);
    if (!condition) return unexpected(std::move(condition).error());
    return CompiledCondition{CompiledCondition::Atomic{*condition}};
  }
  auto compiled = compile_members(catalogue, shape, members(when), scoped_action, keeper);
  if (!compiled) return unexpected(std::move(compiled).error());
  if (shape == ConditionForm::All) return CompiledCondition{CompiledCondition::All{*compiled}};
  return CompiledCondition{CompiledCondition::Any{*compiled}};
}

void file_rule(CompiledPolicy& policy, RuleScope scope, const CompiledRule& rule) {
  switch (scope.kind) {
    case RuleScope::Kind::Action:
      policy.action_rules[std::move(scope.name)].push_back(rule);
      return;
    case RuleScope::Kind::Actor:
      policy.actor_rules[std::move(scope.name)].push_back(rule);
      return;
    case RuleScope::Kind::Global:
      policy.global_rules.push_back(rule);
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

std::size_t literal_bytes(const AtomicConditionAst& comparison) {
  const auto* literal = std::get_if<ValueAst::Literal>(&comparison.value.value);
  const auto* text = literal != nullptr ? std::get_if<std::string>(&literal->literal) : nullptr;
  return text != nullptr ? text->size() : 0;
}

// Storage for the rule ids, text literals and member lists at their exact
// total, in one allocation each; only the few distinct field names come after.
void reserve_storage(PolicyStorage& storage, const std::vector<RuleAst>& rules) {
  std::size_t text_bytes = 0;
  std::size_t members = 0;
  for (const RuleAst& rule : rules) {
    text_bytes += rule.id.size();
    // An atomic condition is kept in its rule, not in the member storage.
    if (form(rule.when) != ConditionForm::Atomic) members += tamsel::members(rule.when).size();
    for (const AtomicConditionAst& member : tamsel::members(rule.when)) {
      text_bytes += literal_bytes(member);
    }
  }
  storage.reserve(text_bytes, members);
}

CompileError in_rule(CompileError error, std::size_t rule) {
  error.rule = static_cast<std::uint32_t>(rule);
  return error;
}

}  // namespace

Expected<CompiledPolicy, CompileError> compile_policy(const SchemaCatalogue& catalogue,
                                                      std::vector<RuleAst> rules) {
  CompiledPolicy policy;
  reserve_lists(policy, rules);
  reserve_storage(policy.storage, rules);
  Keeper keeper(policy.storage);
  for (std::size_t i = 0; i < rules.size(); ++i) {
    RuleAst& rule = rules[i];
    auto scope = check_scope(catalogue, std::move(rule.scope));
    if (!scope) return unexpected(in_rule(std::move(scope).error(), i));
    std::optional<std::string_view> scoped_action;
    if (scope->kind == RuleScope::Kind::Action) scoped_action = scope->name;
    auto condition = compile_condition(catalogue, rule.when, scoped_action, keeper);
    if (!condition) return unexpected(in_rule(std::move(condition).error(), i));
    file_rule(policy, std::move(*scope),
              CompiledRule{keeper.text(rule.id), *condition, rule.effect});
  }
  return policy;
}

}  // namespace tamsel
