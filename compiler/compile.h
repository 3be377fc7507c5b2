// Compilation of a policy's rules against a schema catalogue.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "common/expected.h"
#include "compiler/catalogue.h"
#include "compiler/compile_error.h"
#include "compiler/model.h"
#include "documents/ast.h"

namespace tamsel {

// The rules compiled against the catalogue, in document order within each
// list; the first error ends compilation and nothing of the policy is kept.
Expected<CompiledPolicy, CompileError> compile_policy(const SchemaCatalogue& catalogue,
                                                      std::vector<RuleAst> rules);

}  // namespace tamsel
