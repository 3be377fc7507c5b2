// The construction pipeline: the three texts in, a compiled policy or the first
// error's text out. Nothing built on the way survives the call.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/expected.h"
#include "compiler/model.h"

namespace tamsel::python {

Expected<CompiledPolicy, std::string> construct_policy(
    std::string_view schema_text, std::string_view policy_text,
    std::optional<std::string_view> governance_text);

}  // namespace tamsel::python
