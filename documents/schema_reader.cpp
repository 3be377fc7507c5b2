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
  static constexpr std::array kFields{FieldRule{"fields"}};
  return read_record(reader, expected, kFields, [&](std::size_t) {
    return read_keyed_map(reader, block.fields,
                          [&](FieldTypeAst& type) { return read_word(reader, type); });
  });
}

Status read_schema_root(EventReader& reader, SchemaAst& schema) {
  static constexpr std::array kFields{FieldRule{"version"}, FieldRule{"actions"},
                                      FieldRule{"actor"}, FieldRule{"snapshot"}};
  return read_record(reader, "struct SchemaAst", kFields, [&](std::size_t field) -> Status {
    switch (field) {
      case 0:
        return read_u32(reader, schema.version);
      case 1:
        return read_keyed_map(reader, schema.actions, [&](ActionSchemaAst& action) {
          return read_fields_block(reader, "struct ActionSchemaAst", action);
        });
      case 2:
        return read_fields_block(reader, "struct ActorSchemaAst", schema.actor);
      default:
        return read_fields_block(reader, "struct SnapshotSchemaAst", schema.snapshot);
    }
  });
}

}  // namespace

Expected<SchemaAst, DocumentError> read_schema(std::string_view text) {
  return read_tree<SchemaAst>(text, read_schema_root);
}

}  // namespace tamsel
