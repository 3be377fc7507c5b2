// The common forms of a scope and a condition, read straight from the events
// instead of through a buffered value. Buffering checks the whole value before
// any alternative is tried, so a value can only be read directly when nothing
// in it could make buffering or matching come out otherwise: these readers
// accept untagged nodes without aliases, mappings holding only the keys of
// exactly one alternative, each once, and scalars of the kind that alternative
// wants. For anything else they give false with the reader back where it
// started, and the buffered reading decides.
#pragma once

#include <array>
#include <string_view>

#include "documents/ast.h"
#include "documents/reader.h"

namespace tamsel {

// The keys that the direct and the buffered readings both read: a subject's,
// an atomic condition's, those of all condition alternatives (the atomic
// form's three first) and those of the scope alternatives.
inline constexpr std::array<std::string_view, 2> kSubjectKeys{"domain", "field"};
inline constexpr std::array<std::string_view, 3> kAtomicKeys{"subject", "operator", "value"};
inline constexpr std::array<std::string_view, 5> kConditionKeys{"subject", "operator", "value",
                                                                "all", "any"};
inline constexpr std::array<std::string_view, 3> kScopeKeys{"action", "actor", "global"};

bool read_scope_directly(EventReader& reader, ScopeAst& out);
bool read_condition_directly(EventReader& reader, ConditionAst& out);

}  // namespace tamsel
