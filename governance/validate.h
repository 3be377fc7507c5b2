// Governance validation: checks the policy as written against the governance
// rules and gives every rule it breaks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "documents/ast.h"

namespace tamsel {

struct GovernanceViolation {
  std::string rule_id;
  std::string message;
  std::uint32_t governance_rule = 0;  // the broken rule's index in the governance document
  // The policy rule that breaks it: the first selected rule that a forbidding
  // constraint admits no more of, or the first that reads a field not allowed.
  // None when too few rules are selected, which no one rule causes.
  std::optional<std::uint32_t> policy_rule = std::nullopt;
};

// The applies_to gate: a rule without it is considered; with it, only when some
// action-scoped policy rule names one of its actions.
bool considered(const GovernanceRule& governance_rule, const std::vector<RuleAst>& rules);

// The policy rules that pass the rule's "where" filter, in document order. The
// pointers refer into rules.
std::vector<const RuleAst*> select_rules(const GovernanceRule& governance_rule,
                                         const std::vector<RuleAst>& rules);

// One violation for each governance rule that the policy's rules break, in the
// order of the governance rules; empty when the policy passes.
std::vector<GovernanceViolation> find_violations(
    const std::vector<RuleAst>& rules, const std::vector<GovernanceRule>& governance_rules);

// The error text of a policy that breaks governance:
// governance validation failed: [GovernanceViolation { rule_id: "…", message: "…" }, …]
std::string violations_message(const std::vector<GovernanceViolation>& violations);

}  // namespace tamsel
