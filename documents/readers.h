// The three document readers. Each reads one UTF-8 text (which may contain any
// bytes, NUL included) and gives its tree or the first error.
#pragma once

#include <string_view>

#include "common/expected.h"
#include "documents/ast.h"
#include "documents/document_error.h"
#include "documents/read_notes.h"

namespace tamsel {

// Each takes notes (see ReadNotes) when given somewhere to keep them.
Expected<SchemaAst, DocumentError> read_schema(std::string_view text, ReadNotes* notes = nullptr);
Expected<PolicyAst, DocumentError> read_policy(std::string_view text, ReadNotes* notes = nullptr);
Expected<GovernanceAst, DocumentError> read_governance(std::string_view text,
                                                       ReadNotes* notes = nullptr);

}  // namespace tamsel
