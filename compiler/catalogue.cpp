#include "compiler/catalogue.h"

#include <utility>

namespace tamsel {
namespace {

std::optional<FieldType> lookup(const FieldMap& map, std::string_view field) {
  const auto it = map.find(field);
  if (it == map.end()) return std::nullopt;
  return it->second;
}

}  // namespace

SchemaCatalogue build_catalogue(SchemaAst schema) {
  SchemaCatalogue catalogue;
  catalogue.actions_.reserve(schema.actions.size());
  while (!schema.actions.empty()) {
    auto node = schema.actions.extract(schema.actions.begin());
    catalogue.actions_.insert_or_assign(std::move(node.key()), std::move(node.mapped().fields));
  }
  catalogue.actor_fields_ = std::move(schema.actor.fields);
  catalogue.snapshot_fields_ = std::move(schema.snapshot.fields);
  return catalogue;
}

const FieldMap* SchemaCatalogue::action_fields(std::string_view action) const {
  const auto it = actions_.find(action);
  return it == actions_.end() ? nullptr : &it->second;
}

std::optional<FieldType> SchemaCatalogue::action_field_type(std::string_view action,
                                                            std::string_view field) const {
  const FieldMap* fields = action_fields(action);
  if (fields == nullptr) return std::nullopt;
  return lookup(*fields, field);
}

std::optional<FieldType> SchemaCatalogue::actor_field_type(std::string_view field) const {
  return lookup(actor_fields_, field);
}

std::optional<FieldType> SchemaCatalogue::snapshot_field_type(std::string_view field) const {
  return lookup(snapshot_fields_, field);
}

}  // namespace tamsel
