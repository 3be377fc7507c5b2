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

// A checked field reference with the type that the schema declares for it.
struct ResolvedSubject {
  SubjectRef subject;
  FieldType type = FieldType::String;
};

// scoped_action is the action of the rule's scope; none for actor and global rules,
// which see no action fields.
Expected<ResolvedSubject, CompileError> resolve_subject(
    const SchemaCatalogue& catalogue, const SubjectAst& subject,
    std::optional<std::string_view> scoped_action);

Expected<AtomicCondition, CompileError> compile_comparison(
    const SchemaCatalogue& catalogue, AtomicConditionAst comparison,
    std::optional<std::string_view> scoped_action);

Expected<CompiledPolicy, CompileError> compile_policy(const SchemaCatalogue& catalogue,
                                                      std::vector<RuleAst> rules);

}  // namespace tamsel
