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

Expected<CompiledPolicy, CompileError> validate_and_compile(
    const std::vector<GovernanceRule>& governance_rules, PolicyAst policy,
    const SchemaCatalogue& catalogue);

}  // namespace tamsel
