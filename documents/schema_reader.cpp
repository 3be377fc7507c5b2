// The schema document: versioned declarations of actions, actor and snapshot
// fields with their types.
#include <array>
#include <string_view>

#include "documents/document.h"
#include "documents/readers.h"
#include "documents/rules.h"

namespace tamsel {
namespace {

// ActionSchemaAst, ActorSchemaAst and SnapshotSchemaAst share one shape.
template <class Block>
Status read_fields_block(EventReader& reader, std::string_view expected, Block& block) {
  static constexpr std::array kFields{
      required_field<&Block::fields, read_keyed_map<read_word<FieldTypeAst>>>("fields"),
  };
  return read_record(reader, expected, kFields, block);
}

Status read_action(EventReader& reader, ActionSchemaAst& action) {
  return read_fields_block(reader, "struct ActionSchemaAst", action);
}

Status read_actor(EventReader& reader, ActorSchemaAst& actor) {
  return read_fields_block(reader, "struct ActorSchemaAst", actor);
}

Status read_snapshot(EventReader& reader, SnapshotSchemaAst& snapshot) {
  return read_fields_block(reader, "struct SnapshotSchemaAst", snapshot);
}

Status read_schema_root(EventReader& reader, SchemaAst& schema) {
  static constexpr std::array kFields{
      required_field<&SchemaAst::version, read_u32>("version"),
      required_field<&SchemaAst::actions, read_keyed_map<read_action>>("actions"),
      required_field<&SchemaAst::actor, read_actor>("actor"),
      required_field<&SchemaAst::snapshot, read_snapshot>("snapshot"),
  };
  return read_record(reader, "struct SchemaAst", kFields, schema);
}

}  // namespace

Expected<SchemaAst, DocumentError> read_schema(std::string_view text, ReadNotes* notes) {
  return read_tree<SchemaAst>(text, read_schema_root, notes);
}

}  // namespace tamsel
