#include "compiler/catalogue.h"

#include <utility>

namespace tamsel {
namespace {

FieldType to_field_type(FieldTypeAst type) {
  switch (type) {
    case FieldTypeAst::String:
      return FieldType::String;
    case FieldTypeAst::Number:
      return FieldType::Number;
    case FieldTypeAst::Boolean:
      return FieldType::Boolean;
  }
  return FieldType::String;  // unreachable: the switch covers every keyword
}

FieldMap to_field_map(NameMap<FieldTypeAst>& fields) {
  FieldMap map;
  map.reserve(fields.size());
  while (!fields.empty()) {
    auto node = fields.extract(fields.begin());
    map.insert_or_assign(std::move(node.key()), to_field_type(node.mapped()));
  }
  return map;
}

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
    FieldMap fields = to_field_map(node.mapped().fields);
    catalogue.actions_.insert_or_assign(std::move(node.key()), std::move(fields));
  }
  catalogue.actor_fields_ = to_field_map(schema.actor.fields);
  catalogue.snapshot_fields_ = to_field_map(schema.snapshot.fields);
  return catalogue;
}

bool SchemaCatalogue::action_exists(std::string_view action) const {
  return actions_.find(action) != actions_.end();
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

bool SchemaCatalogue::actor_field_exists(std::string_view field) const {
  return actor_fields_.find(field) != actor_fields_.end();
}

bool SchemaCatalogue::snapshot_field_exists(std::string_view field) const {
  return snapshot_fields_.find(field) != snapshot_fields_.end();
}

}  // namespace tamsel
