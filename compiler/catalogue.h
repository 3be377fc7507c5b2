// The typed vocabulary of a schema, alive only during construction.
#pragma once

#include <optional>
#include <string_view>

#include "common/names.h"
#include "compiler/model.h"
#include "documents/ast.h"

namespace tamsel {

using FieldMap = NameMap<FieldType>;

class SchemaCatalogue {
 public:
  [[nodiscard]] std::optional<FieldType> action_field_type(std::string_view action,
                                                           std::string_view field) const;
  [[nodiscard]] std::optional<FieldType> actor_field_type(std::string_view field) const;
  [[nodiscard]] std::optional<FieldType> snapshot_field_type(std::string_view field) const;

  // Lookup of an action's whole field map, or nullptr when the action is unknown.
  [[nodiscard]] const FieldMap* action_fields(std::string_view action) const;
  [[nodiscard]] const FieldMap& actor_fields() const { return actor_fields_; }
  [[nodiscard]] const FieldMap& snapshot_fields() const { return snapshot_fields_; }

 private:
  friend SchemaCatalogue build_catalogue(SchemaAst schema);
  NameMap<FieldMap> actions_;
  FieldMap actor_fields_;
  FieldMap snapshot_fields_;
};

SchemaCatalogue build_catalogue(SchemaAst schema);

}  // namespace tamsel
