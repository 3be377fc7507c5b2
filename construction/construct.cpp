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

ConstructionError document_failed(DocumentKind document, DocumentError error) {
  return {document, std::move(error.message), error.position};
}

// Governance violations and compile errors belong to the policy as a whole.
ConstructionError policy_failed(std::string message) {
  return {DocumentKind::Policy, std::move(message), std::nullopt};
}

// The notes of all three documents, taken while reading when asked for.
struct Reading {
  std::array<ReadNotes, 3> notes;
  bool taking = false;
  ReadNotes* of(DocumentKind document) {
    return taking ? &notes[static_cast<std::size_t>(document)] : nullptr;
  }
};

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
      rule.comparisons.push_back(read.comparisons[first + m].position);
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
  if (!schema) return unexpected(document_failed(DocumentKind::Schema, std::move(schema).error()));
  const SchemaCatalogue catalogue = build_catalogue(std::move(*schema));
  auto policy = read_policy(policy_text, reading.of(DocumentKind::Policy));
  if (!policy) return unexpected(document_failed(DocumentKind::Policy, std::move(policy).error()));
  // The governance text is read only once the schema and the policy are known good.
  std::vector<GovernanceRule> governance_rules;
  if (governance_text) {
    auto governance = read_governance(*governance_text, reading.of(DocumentKind::Governance));
    if (!governance) {
      return unexpected(document_failed(DocumentKind::Governance, std::move(governance).error()));
    }
    governance_rules = std::move(governance->governance.rules);
  }
  // A policy that breaks governance is not compiled: its violations hide its compile errors.
  const auto violations = find_violations(policy->rules, governance_rules);
  if (!violations.empty()) return unexpected(policy_failed(violations_message(violations)));
  std::vector<std::pair<Scope, std::string>> scopes;
  if (notes != nullptr) scopes = scopes_of(policy->rules);
  auto compiled = compile_policy(catalogue, std::move(policy->rules));
  if (!compiled) return unexpected(policy_failed(message(compiled.error())));
  if (notes != nullptr) {
    notes->rules =
        noted_rules(scopes, reading.notes[static_cast<std::size_t>(DocumentKind::Policy)],
                    *compiled, catalogue);
    notes->skipped_keys = skipped_keys(reading);
  }
  return std::move(*compiled);
}

}  // namespace tamsel
