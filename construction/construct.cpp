#include "construction/construct.h"

#include <utility>

#include "compiler/catalogue.h"
#include "compiler/compile.h"
#include "documents/readers.h"
#include "governance/validate.h"

namespace tamsel {
namespace {

Expected<CompiledPolicy, std::string> compiled_or_message(
    Expected<CompiledPolicy, CompileError> compiled) {
  if (!compiled) return unexpected(message(compiled.error()));
  return std::move(*compiled);
}

}  // namespace

Expected<CompiledPolicy, std::string> construct_policy(
    std::string_view schema_text, std::string_view policy_text,
    std::optional<std::string_view> governance_text) {
  auto schema = read_schema(schema_text);
  if (!schema) return unexpected(std::move(schema.error().message));
  const SchemaCatalogue catalogue = build_catalogue(std::move(*schema));
  auto policy = read_policy(policy_text);
  if (!policy) return unexpected(std::move(policy.error().message));
  if (!governance_text)
    return compiled_or_message(compile_policy(catalogue, std::move(policy->rules)));
  // The governance text is read only once the schema and the policy are known good.
  auto governance = read_governance(*governance_text);
  if (!governance) return unexpected(std::move(governance.error().message));
  return compiled_or_message(
      validate_and_compile(governance->governance.rules, std::move(*policy), catalogue));
}

}  // namespace tamsel
