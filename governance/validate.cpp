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

// The first selected rule that reads a field the list does not allow, or null.
const RuleAst* first_reading_other_fields(const std::vector<std::string>& allowed,
                                          const std::vector<const RuleAst*>& selection) {
  const NameLookup allowed_names(allowed);
  std::string text;
  for (const RuleAst* rule : selection) {
    for (const AtomicConditionAst& condition : members(rule->when)) {
      text.assign(condition.subject.domain).append(".").append(condition.subject.field);
      if (!allowed_names.contains(text)) return rule;
    }
  }
  return nullptr;
}

// Whether the constraint is broken and, when one rule breaks it, that rule.
struct Verdict {
  bool violated = false;
  const RuleAst* culprit = nullptr;
};

// Too few selected rules: no one rule is at fault.
Verdict too_few(bool violated) { return {violated, nullptr}; }

// More than `most` selected rules: the first one beyond the bound is at fault.
Verdict too_many(const std::vector<const RuleAst*>& selection, std::uint64_t most) {
  if (selection.size() <= most) return {};
  return {true, selection[static_cast<std::size_t>(most)]};
}

Verdict verdict(const Constraint& must, const std::vector<const RuleAst*>& selection) {
  const std::uint64_t count = selection.size();
  if (const auto* exists = std::get_if<Constraint::Exists>(&must.value)) {
    return exists->exists ? too_few(count == 0) : too_many(selection, 0);
  }
  if (const auto* min = std::get_if<Constraint::MinCount>(&must.value)) {
    return too_few(count < min->min_count);
  }
  if (const auto* max = std::get_if<Constraint::MaxCount>(&must.value)) {
    return too_many(selection, max->max_count);
  }
  if (const auto* forbid = std::get_if<Constraint::Forbid>(&must.value)) {
    return forbid->forbid ? too_many(selection, 0) : Verdict{};
  }
  const auto& allowed = std::get<Constraint::AllowedFields>(must.value).allowed_fields;
  const RuleAst* culprit = first_reading_other_fields(allowed, selection);
  return {culprit != nullptr, culprit};
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
  for (std::size_t g = 0; g < governance_rules.size(); ++g) {
    const GovernanceRule& governance_rule = governance_rules[g];
    if (!considered(governance_rule, rules)) continue;
    const Verdict found = verdict(governance_rule.must, select_rules(governance_rule, rules));
    if (!found.violated) continue;
    GovernanceViolation& violation = violations.emplace_back(GovernanceViolation{
        governance_rule.id, governance_rule.error, static_cast<std::uint32_t>(g)});
    if (found.culprit != nullptr) {
      violation.policy_rule = static_cast<std::uint32_t>(found.culprit - rules.data());
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
