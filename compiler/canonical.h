// The canonical text of a compiled policy: the text that the policy hash digests.
#pragma once

#include <string>

#include "compiler/model.h"

namespace tamsel {

// Entries of action_rules and actor_rules are written in ascending byte order of
// their keys, so equal documents always give equal texts.
std::string canonical_text(const CompiledPolicy& policy);

}  // namespace tamsel
