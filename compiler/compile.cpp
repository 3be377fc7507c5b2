#include "compiler/compile.h"

#include <array>
#include <span>
#include <string>
#include <unordered_map>
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

// The fields that a subject of domain may name: a rule without a scoped
// action (action_fields null) sees no action field at all.
const FieldMap* fields_of(const SchemaCatalogue& catalogue, Domain domain,
                          const FieldMap* action_fields) {
  switch (domain) {
    case Domain::Action:
      return action_fields;
    case Domain::Actor:
      return &catalogue.actor_fields();
    case Domain::Snapshot:
      return &catalogue.snapshot_fields();
  }
  return nullptr;
}

FieldType literal_type(const LiteralValueAst& value) {
  if (std::holds_alternative<std::string>(value)) return FieldType::String;
  if (std::holds_alternative<double>(value)) return FieldType::Number;
  return FieldType::Boolean;
}

// A field resolved in one field map: its kept name and its type.
struct KnownField {
  const FieldMap* fields = nullptr;
  std::string_view name;
  FieldType type = FieldType::String;
};

// Keeps the texts of compiled rules in the policy's storage: each field name
// once, however many comparisons read it, and every other text as it comes.
class Keeper {
 public:
  explicit Keeper(PolicyStorage& storage) : storage_(storage) {}

  std::string_view text(std::string_view text) { return storage_.text(text); }

  std::string_view field(std::string_view name) {
    // A name known from another field map (another action's) is kept already.
    for (const KnownField& entry : known_) {
      if (entry.fields != nullptr && entry.name == name) return entry.name;
    }
    auto found = fields_.find(name);
    if (found == fields_.end()) found = fields_.insert(storage_.text(name)).first;
    return *found;
  }

  // The last fields resolved, found again by their bytes: a policy reads few
  // distinct fields, and comparing a few short names costs less than the two
  // keyed hashes of a lookup and of keeping the name.
  [[nodiscard]] const KnownField* known(const FieldMap* fields, std::string_view name) const {
    for (const KnownField& entry : known_) {
      if (entry.fields == fields && entry.name == name) return &entry;
    }
    return nullptr;
  }
  void remember(const KnownField& field) { known_[next_known_++ % known_.size()] = field; }

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
  std::array<KnownField, 8> known_{};
  std::size_t next_known_ = 0;
  std::vector<AtomicCondition> scratch_;
};

struct ResolvedSubject {
  SubjectRef subject;
  FieldType type = FieldType::String;
};

Expected<ResolvedSubject, CompileError> resolve_subject(const SchemaCatalogue& catalogue,
                                                        const SubjectAst& subject,
                                                        const FieldMap* action_fields,
                                                        Keeper& keeper) {
  const std::optional<Domain> domain = from_document_word<Domain>(subject.domain);
  if (!domain) return unexpected(error_of(Kind::UnknownDomain, subject.domain));
  const FieldMap* fields = fields_of(catalogue, *domain, action_fields);
  if (fields == nullptr) {
    return unexpected(error_of(Kind::UnknownField, subject.domain, subject.field));
  }
  if (const KnownField* known = keeper.known(fields, subject.field)) {
    return ResolvedSubject{SubjectRef{known->name, *domain}, known->type};
  }
  const auto found = fields->find(subject.field);
  if (found == fields->end()) {
    return unexpected(error_of(Kind::UnknownField, subject.domain, subject.field));
  }
  const KnownField field{fields, keeper.field(subject.field), found->second};
  keeper.remember(field);
  return ResolvedSubject{SubjectRef{field.name, *domain}, field.type};
}

struct CompiledOperand {
  Operand operand;
  FieldType type;
};

Expected<CompiledOperand, CompileError> compile_operand(const SchemaCatalogue& catalogue,
                                                        const ValueAst& value,
                                                        const FieldMap* action_fields,
                                                        Keeper& keeper) {
  if (const auto* literal = std::get_if<ValueAst::Literal>(&value.value)) {
    return CompiledOperand{Operand{Operand::Literal{keeper.literal(literal->literal)}},
                           literal_type(literal->literal)};
  }
  const auto& subject = std::get<ValueAst::Subject>(value.value).subject;
  auto resolved = resolve_subject(catalogue, subject, action_fields, keeper);
  if (!resolved) return unexpected(std::move(resolved).error());
  return CompiledOperand{Operand{Operand::Subject{resolved->subject}}, resolved->type};
}

Expected<AtomicCondition, CompileError> compile_comparison(const SchemaCatalogue& catalogue,
                                                           const AtomicConditionAst& comparison,
                                                           const FieldMap* action_fields,
                                                           Keeper& keeper) {
  auto left = resolve_subject(catalogue, comparison.subject, action_fields, keeper);
  if (!left) return unexpected(placed_at(std::move(left).error(), Place::Left));
  const std::optional<Operator> op = from_document_word<Operator>(comparison.op);
  if (!op) {
    return unexpected(placed_at(error_of(Kind::UnknownOperator, comparison.op), Place::Comparison));
  }
  auto right = compile_operand(catalogue, comparison.value, action_fields, keeper);
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

// A scope that compiles: the fields of its action, for an action scope.
struct RuleScope {
  const FieldMap* action_fields = nullptr;
};

Expected<RuleScope, CompileError> check_scope(const SchemaCatalogue& catalogue,
                                              const ScopeAst& scope) {
  if (const auto* action = std::get_if<ScopeAst::Action>(&scope.value)) {
    const FieldMap* fields = catalogue.action_fields(action->action);
    if (fields == nullptr) return unexpected(error_of(Kind::UnknownAction, action->action));
    return RuleScope{fields};
  }
  if (const auto* global = std::get_if<ScopeAst::Global>(&scope.value); global && !global->global) {
    return unexpected(error_of(Kind::InvalidScope));
  }
  return RuleScope{};
}

Expected<std::span<const AtomicCondition>, CompileError> compile_members(
    const SchemaCatalogue& catalogue, ConditionForm shape,
    std::span<const AtomicConditionAst> members, const FieldMap* action_fields, Keeper& keeper) {
  if (members.size() < 2) {
    const std::string_view word = shape == ConditionForm::All ? "all" : "any";
    return unexpected(
        placed_at(error_of(Kind::InvalidLogicalCondition, std::string(word)), Place::Condition));
  }
  std::vector<AtomicCondition>& compiled = keeper.scratch();
  compiled.clear();
  for (std::size_t m = 0; m < members.size(); ++m) {
    auto condition = compile_comparison(catalogue, members[m], action_fields, keeper);
    if (!condition) {
      CompileError error = std::move(condition).error();
      error.member = static_cast<std::uint32_t>(m);
      return unexpected(std::move(error));
    }
    compiled.push_back(*condition);
  }
  return keeper.storage().members(compiled);
}

Expected<CompiledCondition, CompileError> compile_condition(const SchemaCatalogue& catalogue,
                                                            const ConditionAst& when,
                                                            const FieldMap* action_fields,
                                                            Keeper& keeper) {
  const ConditionForm shape = form(when);
  if (shape == ConditionForm::Atomic) {
    auto condition = compile_comparison(catalogue, members(when)[0], action_fields, keeper);
    if (!condition) return unexpected(std::move(condition).error());
    return CompiledCondition{CompiledCondition::Atomic{*condition}};
  }
  auto compiled = compile_members(catalogue, shape, members(when), action_fields, keeper);
  if (!compiled) return unexpected(std::move(compiled).error());
  if (shape == ConditionForm::All) return CompiledCondition{CompiledCondition::All{*compiled}};
  return CompiledCondition{CompiledCondition::Any{*compiled}};
}

// Every list at its final size before the first rule is filed: grown by
// doubling, the largest list would hold up to twice its rules at once and keep
// the slack. A scope that fails its check fails compilation, so the lists made
// here for it never outlive the call.
// Gives the list that each rule is filed in, so that filing looks up no name.
std::vector<RuleList*> reserve_lists(CompiledPolicy& policy, const std::vector<RuleAst>& rules) {
  std::vector<RuleList*> targets;
  targets.reserve(rules.size());
  std::unordered_map<RuleList*, std::size_t> counts;  // the address is the hash
  for (const RuleAst& rule : rules) {
    RuleList* list = &policy.global_rules;
    if (const auto* action = std::get_if<ScopeAst::Action>(&rule.scope.value)) {
      list = &policy.action_rules[action->action];
    } else if (const auto* actor = std::get_if<ScopeAst::Actor>(&rule.scope.value)) {
      list = &policy.actor_rules[actor->actor];
    }
    targets.push_back(list);
    ++counts[list];
  }
  for (const auto& [list, count] : counts) list->reserve(count);
  return targets;
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
  const std::vector<RuleList*> lists = reserve_lists(policy, rules);
  reserve_storage(policy.storage, rules);
  Keeper keeper(policy.storage);
  for (std::size_t i = 0; i < rules.size(); ++i) {
    RuleAst& rule = rules[i];
    auto scope = check_scope(catalogue, rule.scope);
    if (!scope) return unexpected(in_rule(std::move(scope).error(), i));
    auto condition = compile_condition(catalogue, rule.when, scope->action_fields, keeper);
    if (!condition) return unexpected(in_rule(std::move(condition).error(), i));
    lists[i]->push_back(CompiledRule{keeper.text(rule.id), *condition, rule.effect});
  }
  return policy;
}

}  // namespace tamsel
