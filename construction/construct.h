// Construction: the three texts through reading, the schema catalogue,
// governance and compilation, in that order. The first error ends it, and
// nothing built on the way survives the call.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/expected.h"
#include "compiler/model.h"

namespace tamsel {

// The compiled policy, or the message of the first error met: a document
// error's or a compile error's, the one line that the caller shows.
Expected<CompiledPolicy, std::string> construct_policy(
    std::string_view schema_text, std::string_view policy_text,
    std::optional<std::string_view> governance_text);

}  // namespace tamsel
