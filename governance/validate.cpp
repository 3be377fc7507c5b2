#include "governance/validate.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "common/names.h"
#include "common/quote.h"

namespace tamsel {
namespace {

const std::string* scoped_action(const RuleAst& rule) {
  const auto* action = std::get_if<ScopeAst::Action>(&rule.scope.value);
  return action == nullptr ? nullptr : &action->action;
}

bool passes_scope(const ScopeFilter& filter, const ScopeAst& scope) {
  const auto* global = std::get_if<ScopeAst::Global>(&scope.value);
  if (filter.global) {
    const bool scope_global = global != nullptr && global->global;
    if (scope_global != *filter.global) return false;
  }
  if (filter.action) {
    const auto* action = std::get_if<ScopeAst::Action>(&scope.value);
    if (action == nullptr || action->action != *filter.action) return false;
  }
  return true;
}

bool fits(const SubjectFilter& filter, const AtomicConditionAst& condition) {
  return (!filter.domain || condition.subject.domain == *filter.domain) &&
         (!filter.field || condition.subject.field == *filter.field);
}

bool passes_when(const WhenFilter& filter, const ConditionAst& when) {
  if (!filter.subject) return true;
  const auto conditions = members(when);
  return std::any_of(conditions.begin(), conditions.end(),
                     [&](const AtomicConditionAst& c) { return fits(*filter.subject, c); });
}

bool selected(const RuleFilter& where, const RuleAst& rule) {
  if (where.id && rule.id != *where.id) return false;
  if (where.effect && document_word(rule.effect) != *where.effect) return false;
  if (where.scope && !passes_scope(*where.scope, rule.scope)) return false;
  if (where.when && !passes_when(*where.when, rule.when)) return false;
  return true;
}

// Membership in a governance rule's list of names, hashed once when the list
// is long, so that a test costs the list plus the policy rather than their
// product; a short list is scanned, which is cheaper than hashing.
class NameLookup {
 public:
  explicit NameLookup(const std::vector<std::string>& names) : names_(names) {
    if (hashed()) set_.insert(names.begin(), names.end());
  }
  [[nodiscard]] bool contains(std::string_view name) const {
    if (hashed()) return set_.contains(name);
    return std::find(names_.begin(), names_.end(), name) != names_.end();
  }

 private:
  static constexpr std::size_t kScanned = 16;
  [[nodiscard]] bool hashed() const { return names_.size() > kScanned; }

  const std::vector<std::string>& names_;
  NameViewSet set_;
};

bool reads_only_allowed_fields(const std::vector<std::string>& allowed,
                               const std::vector<const RuleAst*>& selection) {
  const NameLookup allowed_names(allowed);
  std::string text;
  for (const RuleAst* rule : selection) {
    for (const AtomicConditionAst& condition : members(rule->when)) {
      text.assign(condition.subject.domain).append(".").append(condition.subject.field);
      if (!allowed_names.contains(text)) return false;
    }
  }
  return true;
}

bool violated(const Constraint& must, const std::vector<const RuleAst*>& selection) {
  const std::uint64_t count = selection.size();
  if (const auto* exists = std::get_if<Constraint::Exists>(&must.value)) {
    return exists->exists ? count == 0 : count > 0;
  }
  if (const auto* min = std::get_if<Constraint::MinCount>(&must.value)) {
    return count < min->min_count;
  }
  if (const auto* max = std::get_if<Constraint::MaxCount>(&must.value)) {
    return count > max->max_count;
  }
  if (const auto* forbid = std::get_if<Constraint::Forbid>(&must.value)) {
    return forbid->forbid && count > 0;
  }
  const auto& allowed = std::get<Constraint::AllowedFields>(must.value).allowed_fields;
  return count > 0 && !reads_only_allowed_fields(allowed, selection);
}

}  // namespace

bool considered(const GovernanceRule& governance_rule, const std::vector<RuleAst>& rules) {
  if (!governance_rule.applies_to) return true;
  const NameLookup actions(governance_rule.applies_to->actions);
  return std::any_of(rules.begin(), rules.end(), [&](const RuleAst& rule) {
    const std::string* action = scoped_action(rule);
    return action != nullptr && actions.contains(*action);
  });
}

std::vector<const RuleAst*> select_rules(const GovernanceRule& governance_rule,
                                         const std::vector<RuleAst>& rules) {
  std::vector<const RuleAst*> selection;
  for (const RuleAst& rule : rules) {
    if (selected(governance_rule.select.where, rule)) selection.push_back(&rule);
  }
  return selection;
}

std::vector<GovernanceViolation> find_violations(
    const std::vector<RuleAst>& rules, const std::vector<GovernanceRule>& governance_rules) {
  std::vector<GovernanceViolation> violations;
  for (const GovernanceRule& governance_rule : governance_rules) {
    if (!considered(governance_rule, rules)) continue;
    if (violated(governance_rule.must, select_rules(governance_rule, rules))) {
      violations.push_back(GovernanceViolation{governance_rule.id, governance_rule.error});
    }
  }
  return violations;
}

std::string violations_message(const std::vector<GovernanceViolation>& violations) {
  std::string text = "governance validation failed: [";
  bool first = true;
  for (const GovernanceViolation& violation : violations) {
    if (!first) text += ", ";
    first = false;
    text += "GovernanceViolation { rule_id: ";
    append_quoted(text, violation.rule_id);
    text += ", message: ";
    append_quoted(text, violation.message);
    text += " }";
  }
  text += ']';
  return text;
}

}  // namespace tamsel
