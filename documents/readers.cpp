// Placeholder until the document readers land: every read fails, saying so.
#include "documents/readers.h"

namespace tamsel {
namespace {
DocumentError not_available() { return {"document reading is not available yet"}; }
}  // namespace

Expected<SchemaAst, DocumentError> read_schema(std::string_view /*text*/) {
  return unexpected(not_available());
}
Expected<PolicyAst, DocumentError> read_policy(std::string_view /*text*/) {
  return unexpected(not_available());
}
Expected<GovernanceAst, DocumentError> read_governance(std::string_view /*text*/) {
  return unexpected(not_available());
}
}  // namespace tamsel
