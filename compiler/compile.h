// Compilation of a policy's rules against a schema catalogue.
#pragma once

#include <vector>

#include "common/expected.h"
#include "compiler/catalogue.h"
#include "compiler/compile_error.h"
#include "compiler/model.h"
#include "documents/ast.h"

namespace tamsel {

Expected<CompiledPolicy, CompileError> compile_policy(const SchemaCatalogue& catalogue,
                                                      std::vector<RuleAst> rules);

}  // namespace tamsel
