// Short builders for policy and schema trees, shared by the compiler and
// governance tests.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "compiler/catalogue.h"
#include "compiler/compile.h"
#include "documents/ast.h"

namespace tamsel::testing {

inline SubjectAst subject(std::string domain, std::string field) {
  return SubjectAst{std::move(domain), std::move(field)};
}

inline ValueAst literal(LiteralValueAst value) {
  return ValueAst{ValueAst::Literal{std::move(value)}};
}
inline ValueAst literal(const char* text) { return literal(LiteralValueAst{std::string(text)}); }
inline ValueAst literal(double number) { return literal(LiteralValueAst{number}); }
inline ValueAst literal(bool flag) { return literal(LiteralValueAst{flag}); }

inline ValueAst field_ref(std::string domain, std::string field) {
  return ValueAst{ValueAst::Subject{subject(std::move(domain), std::move(field))}};
}

inline AtomicConditionAst compare(SubjectAst left, std::string op, ValueAst right) {
  return AtomicConditionAst{std::move(left), std::move(op), std::move(right)};
}

inline ConditionAst atomic(AtomicConditionAst condition) {
  return ConditionAst{ConditionAst::Atomic{std::move(condition)}};
}
inline ConditionAst all_of(std::vector<AtomicConditionAst> members) {
  return ConditionAst{ConditionAst::All{std::move(members)}};
}
inline ConditionAst any_of(std::vector<AtomicConditionAst> members) {
  return ConditionAst{ConditionAst::Any{std::move(members)}};
}

inline ScopeAst action_scope(std::string name) {
  return ScopeAst{ScopeAst::Action{std::move(name)}};
}
inline ScopeAst actor_scope(std::string name) { return ScopeAst{ScopeAst::Actor{std::move(name)}}; }
inline ScopeAst global_scope(bool flag) { return ScopeAst{ScopeAst::Global{flag}}; }

inline RuleAst rule(std::string id, ScopeAst scope, ConditionAst when,
                    EffectAst effect = EffectAst::Block) {
  return RuleAst{std::move(id), std::move(scope), std::move(when), effect};
}

// A comparison that compiles in any scope.
inline AtomicConditionAst valid_comparison() {
  return compare(subject("actor", "trust_level"), "less_than", literal(3.0));
}

using FieldList = std::initializer_list<std::pair<const char*, FieldTypeAst>>;

inline NameMap<FieldTypeAst> fields(FieldList list) {
  NameMap<FieldTypeAst> map;
  for (const auto& [name, type] : list) map.emplace(name, type);
  return map;
}

// refund and transfer share the field amount with different types; actor and
// snapshot share role with different types.
inline SchemaCatalogue sample_catalogue() {
  constexpr auto kString = FieldTypeAst::String;
  constexpr auto kNumber = FieldTypeAst::Number;
  constexpr auto kBoolean = FieldTypeAst::Boolean;
  SchemaAst schema;
  schema.actions.emplace("refund",
                         ActionSchemaAst{fields({{"amount", kNumber}, {"currency", kString}})});
  schema.actions.emplace("transfer",
                         ActionSchemaAst{fields({{"amount", kString}, {"note", kString}})});
  schema.actions.emplace("close_account", ActionSchemaAst{});
  schema.actor.fields = fields({{"role", kString}, {"trust_level", kNumber}, {"frozen", kBoolean}});
  schema.snapshot.fields =
      fields({{"maintenance_mode", kBoolean}, {"min_trust_level", kNumber}, {"role", kNumber}});
  return build_catalogue(std::move(schema));
}

}  // namespace tamsel::testing
