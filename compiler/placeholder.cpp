// Placeholder until compilation lands: every stage fails, saying so.
#include "common/names.h"
#include "compiler/canonical.h"
#include "compiler/catalogue.h"
#include "compiler/compile.h"
#include "governance/validate.h"

namespace tamsel {

SchemaCatalogue build_catalogue(SchemaAst /*schema*/) { return {}; }

std::string message(const CompileError& /*error*/) { return "compilation is not available yet"; }

Expected<CompiledPolicy, CompileError> compile_policy(const SchemaCatalogue& /*catalogue*/,
                                                      std::vector<RuleAst> /*rules*/) {
  return unexpected(CompileError{CompileError::Kind::InvalidScope, {}, {}, {}});
}

Expected<CompiledPolicy, CompileError> validate_and_compile(
    const std::vector<GovernanceRule>& /*governance_rules*/, PolicyAst /*policy*/,
    const SchemaCatalogue& /*catalogue*/) {
  return unexpected(CompileError{CompileError::Kind::InvalidScope, {}, {}, {}});
}

std::string canonical_text(const CompiledPolicy& /*policy*/) { return {}; }

}  // namespace tamsel
