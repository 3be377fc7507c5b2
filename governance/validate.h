// Governance validation: checks the policy as written against the governance
// rules and gives every rule it breaks.
#pragma once

#include <string>
#include <vector>

#include "documents/ast.h"

namespace tamsel {

struct GovernanceViolation {
  std::string rule_id;
  std::string message;
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
