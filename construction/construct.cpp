#include "construction/construct.h"

#include <algorithm>
#include <array>
#include <map>
#include <span>
#include <stdexcept>
#include <utility>
#include <variant>

#include "compiler/catalogue.h"
#include "compiler/compile.h"
#include "documents/readers.h"
#include "governance/validate.h"

namespace tamsel {
namespace {

using Scope = ConstructionNotes::Scope;

ConstructionError policy_failed(std::string message, ErrorKind kind, ErrorOperands operands) {
  return {DocumentKind::Policy, std::move(message), std::nullopt, kind, std::move(operands)};
}

// The notes of all three documents, taken while reading when asked for.
struct Reading {
  std::array<ReadNotes, 3> notes;
  bool taking = false;
  ReadNotes* of(DocumentKind document) {
    return taking ? &notes[static_cast<std::size_t>(document)] : nullptr;
  }
  [[nodiscard]] const ReadNotes& policy() const {
    return notes[static_cast<std::size_t>(DocumentKind::Policy)];
  }
  [[nodiscard]] const ReadNotes& governance() const {
    return notes[static_cast<std::size_t>(DocumentKind::Governance)];
  }
};

ConstructionError document_failed(DocumentKind document, DocumentError error,
                                  const Reading& reading) {
  ConstructionError failed{document, std::move(error.message), error.position, error.kind,
                           std::move(error.operands)};
  if (reading.taking && document == DocumentKind::Policy) failed.rule = error.rule;
  return failed;
}

// The lower-case word of a vocabulary entry given by its variant name.
template <HasVocabulary Enum>
std::string word_of_name(std::string_view name) {
  for (const Spelling<Enum>& entry : vocabulary(Enum{})) {
    if (entry.name == name) return std::string(entry.word);
  }
  return std::string(name);
}

ErrorKind kind_of(CompileError::Kind kind) {
  using Kind = CompileError::Kind;
  switch (kind) {
    case Kind::UnknownAction:
      return ErrorKind::UnknownAction;
    case Kind::InvalidScope:
      return ErrorKind::InvalidScope;
    case Kind::UnknownDomain:
      return ErrorKind::UnknownDomain;
    case Kind::UnknownField:
      return ErrorKind::UnknownField;
    case Kind::UnknownOperator:
      return ErrorKind::UnknownOperator;
    case Kind::InvalidLogicalCondition:
      return ErrorKind::TooFewMembers;
    case Kind::TypeMismatch:
      return ErrorKind::TypeMismatch;
    case Kind::UnsupportedOperator:
      break;
  }
  return ErrorKind::OperatorNotAdmitted;
}

// The payload by name; types and operators in the documents' words.
ErrorOperands operands_of(const CompileError& error) {
  using Kind = CompileError::Kind;
  switch (error.kind) {
    case Kind::UnknownAction:
      return {{"action", error.first}};
    case Kind::InvalidScope:
      return {};
    case Kind::UnknownDomain:
      return {{"domain", error.first}};
    case Kind::UnknownField:
      return {{"domain", error.first}, {"field", error.second}};
    case Kind::UnknownOperator:
      return {{"operator", error.first}};
    case Kind::InvalidLogicalCondition:
      return {{"condition", error.first}};
    case Kind::TypeMismatch:
      return {{"left_type", word_of_name<FieldType>(error.first)},
              {"right_type", word_of_name<FieldType>(error.second)}};
    case Kind::UnsupportedOperator:
      break;
  }
  return {{"operator", word_of_name<Operator>(error.first)}, {"type", error.second}};
}

// The node of the rule that the error names, among those noted while reading.
Mark place_of(const CompileError& error, const ReadNotes& read) {
  using Place = CompileError::Place;
  const NotedRule& rule = read.rules.at(error.rule);
  if (error.place == Place::Scope) return rule.scope.position;
  if (error.place == Place::Condition) return rule.when.position;
  const NotedComparison& comparison = read.comparisons.at(rule.first_comparison + error.member);
  if (error.place == Place::Left) return comparison.left.position;
  if (error.place == Place::Right) return comparison.right.position;
  return comparison.node.position;
}

ConstructionError compile_failed(const CompileError& error, const Reading& reading) {
  ConstructionError failed = policy_failed(message(error), kind_of(error.kind), operands_of(error));
  if (reading.taking) {
    failed.rule = error.rule;
    failed.position = place_of(error, reading.policy());
  }
  return failed;
}

ConstructionError::Violation violation_of(const GovernanceViolation& violation,
                                          const Reading& reading) {
  ConstructionError::Violation out{violation.rule_id, violation.message};
  if (violation.policy_rule) {
    if (reading.taking) {
      out.rule = violation.policy_rule;
      out.position = reading.policy().rules.at(*violation.policy_rule).node.position;
    }
  } else {
    out.document = DocumentKind::Governance;
    if (reading.taking) {
      out.position = reading.governance().rules.at(violation.governance_rule).node.position;
    }
  }
  return out;
}

ConstructionError governance_failed(const std::vector<GovernanceViolation>& violations,
                                    const Reading& reading) {
  ConstructionError failed =
      policy_failed(violations_message(violations), ErrorKind::GovernanceViolation,
                    {{"governance_rule", violations.front().rule_id},
                     {"governance_message", violations.front().message}});
  for (const GovernanceViolation& violation : violations) {
    failed.violations.push_back(violation_of(violation, reading));
  }
  // The error's place is in its own document, the policy's.
  for (const ConstructionError::Violation& violation : failed.violations) {
    if (violation.document != DocumentKind::Policy) continue;
    failed.rule = violation.rule;
    failed.position = violation.position;
    break;
  }
  return failed;
}

// The scope of each rule as written, before compilation takes the rules.
std::vector<std::pair<Scope, std::string>> scopes_of(const std::vector<RuleAst>& rules) {
  std::vector<std::pair<Scope, std::string>> scopes;
  scopes.reserve(rules.size());
  for (const RuleAst& rule : rules) {
    if (const auto* action = std::get_if<ScopeAst::Action>(&rule.scope.value)) {
      scopes.emplace_back(Scope::Action, action->action);
    } else if (const auto* actor = std::get_if<ScopeAst::Actor>(&rule.scope.value)) {
      scopes.emplace_back(Scope::Actor, actor->actor);
    } else {
      scopes.emplace_back(Scope::Global, std::string());
    }
  }
  return scopes;
}

FieldType declared_type(const SchemaCatalogue& catalogue, const ConstructionNotes::Rule& rule,
                        const SubjectRef& subject) {
  std::optional<FieldType> type;
  switch (subject.domain) {
    case Domain::Action:
      type = catalogue.action_field_type(rule.name, subject.field);
      break;
    case Domain::Actor:
      type = catalogue.actor_field_type(subject.field);
      break;
    case Domain::Snapshot:
      type = catalogue.snapshot_field_type(subject.field);
      break;
  }
  // Compilation admitted the field, so the schema declares it.
  if (!type) throw std::logic_error("a compiled comparison reads a field the schema lacks");
  return *type;
}

// Each rule's list and place there, its positions and its comparisons' types.
std::vector<ConstructionNotes::Rule> noted_rules(
    const std::vector<std::pair<Scope, std::string>>& scopes, const ReadNotes& read,
    const CompiledPolicy& policy, const SchemaCatalogue& catalogue) {
  if (read.rules.size() != scopes.size()) {
    throw std::logic_error("the policy's rules and the rules noted while reading differ");
  }
  std::vector<ConstructionNotes::Rule> rules;
  std::map<std::pair<Scope, std::string>, std::uint32_t> filed;
  for (std::size_t i = 0; i < scopes.size(); ++i) {
    ConstructionNotes::Rule& rule = rules.emplace_back();
    rule.scope = scopes[i].first;
    rule.name = scopes[i].second;
    rule.filed_at = filed[scopes[i]]++;
    rule.position = read.rules[i].node.position;
    const std::size_t first = read.rules[i].first_comparison;
    const std::size_t end =
        i + 1 < read.rules.size() ? read.rules[i + 1].first_comparison : read.comparisons.size();
    const auto compared = members(filed_rule(policy, rule).condition);
    if (end - first != compared.size()) {
      throw std::logic_error("a rule's comparisons and those noted while reading differ");
    }
    for (std::size_t m = 0; m < compared.size(); ++m) {
      rule.comparisons.push_back(read.comparisons[first + m].node.position);
      rule.types.push_back(declared_type(catalogue, rule, compared[m].lhs));
    }
  }
  return rules;
}

// Keys in document order, each once: a key inside an aliased node is read,
// and noted, as often as the node is named.
std::vector<ConstructionNotes::SkippedKey> skipped_keys(Reading& reading) {
  std::vector<ConstructionNotes::SkippedKey> keys;
  for (const DocumentKind document :
       {DocumentKind::Schema, DocumentKind::Policy, DocumentKind::Governance}) {
    std::vector<NotedKey>& noted = reading.notes[static_cast<std::size_t>(document)].skipped_keys;
    std::stable_sort(noted.begin(), noted.end(), [](const NotedKey& a, const NotedKey& b) {
      return a.node.event < b.node.event;
    });
    for (std::size_t i = 0; i < noted.size(); ++i) {
      if (i > 0 && noted[i].node.event == noted[i - 1].node.event) continue;
      keys.push_back({document, std::move(noted[i].text), noted[i].node.position});
    }
  }
  return keys;
}

}  // namespace

const CompiledRule& filed_rule(const CompiledPolicy& policy, const ConstructionNotes::Rule& rule) {
  switch (rule.scope) {
    case Scope::Action:
      return policy.action_rules.find(rule.name)->second[rule.filed_at];
    case Scope::Actor:
      return policy.actor_rules.find(rule.name)->second[rule.filed_at];
    case Scope::Global:
      break;
  }
  return policy.global_rules[rule.filed_at];
}

Expected<CompiledPolicy, ConstructionError> construct_policy(
    std::string_view schema_text, std::string_view policy_text,
    std::optional<std::string_view> governance_text, ConstructionNotes* notes) {
  Reading reading;
  reading.taking = notes != nullptr;
  auto schema = read_schema(schema_text, reading.of(DocumentKind::Schema));
  if (!schema) {
    return unexpected(document_failed(DocumentKind::Schema, std::move(schema).error(), reading));
  }
  const SchemaCatalogue catalogue = build_catalogue(std::move(*schema));
  auto policy = read_policy(policy_text, reading.of(DocumentKind::Policy));
  if (!policy) {
    return unexpected(document_failed(DocumentKind::Policy, std::move(policy).error(), reading));
  }
  // The governance text is read only once the schema and the policy are known good.
  std::vector<GovernanceRule> governance_rules;
  if (governance_text) {
    auto governance = read_governance(*governance_text, reading.of(DocumentKind::Governance));
    if (!governance) {
      return unexpected(
          document_failed(DocumentKind::Governance, std::move(governance).error(), reading));
    }
    governance_rules = std::move(governance->governance.rules);
  }
  // A policy that breaks governance is not compiled: its violations hide its compile errors.
  const auto violations = find_violations(policy->rules, governance_rules);
  if (!violations.empty()) return unexpected(governance_failed(violations, reading));
  std::vector<std::pair<Scope, std::string>> scopes;
  if (notes != nullptr) scopes = scopes_of(policy->rules);
  auto compiled = compile_policy(catalogue, std::move(policy->rules));
  if (!compiled) return unexpected(compile_failed(compiled.error(), reading));
  if (notes != nullptr) {
    notes->rules =
        noted_rules(scopes, reading.notes[static_cast<std::size_t>(DocumentKind::Policy)],
                    *compiled, catalogue);
    notes->skipped_keys = skipped_keys(reading);
  }
  return std::move(*compiled);
}

}  // namespace tamsel
