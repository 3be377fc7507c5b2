// Governance validation: checks the policy as written against the governance
// rules, then compiles it when no rule is violated.
#pragma once

#include <vector>

#include "common/expected.h"
#include "compiler/catalogue.h"
#include "compiler/compile_error.h"
#include "compiler/model.h"
#include "documents/ast.h"

namespace tamsel {

// The applies_to gate: a rule without it is considered; with it, only when some
// action-scoped policy rule names one of its actions.
bool considered(const GovernanceRule& governance_rule, const std::vector<RuleAst>& rules);

// The policy rules that pass the rule's "where" filter, in document order. The
// pointers refer into rules.
std::vector<const RuleAst*> select_rules(const GovernanceRule& governance_rule,
                                         const std::vector<RuleAst>& rules);

Expected<CompiledPolicy, CompileError> validate_and_compile(
    const std::vector<GovernanceRule>& governance_rules, PolicyAst policy,
    const SchemaCatalogue& catalogue);

}  // namespace tamsel
