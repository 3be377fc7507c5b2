// The document trees of the schema, policy and governance documents, exactly as
// written: the readers check form only, names are checked later.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "common/conditions.h"
#include "common/names.h"
#include "common/vocabulary.h"

namespace tamsel {

// ---- schema ----

// The schema's type keywords read straight into the model's enumeration.
using FieldTypeAst = FieldType;

struct ActionSchemaAst {
  NameMap<FieldTypeAst> fields;
};
struct ActorSchemaAst {
  NameMap<FieldTypeAst> fields;
};
struct SnapshotSchemaAst {
  NameMap<FieldTypeAst> fields;
};

struct SchemaAst {
  std::uint32_t version = 0;
  NameMap<ActionSchemaAst> actions;
  ActorSchemaAst actor;
  SnapshotSchemaAst snapshot;
};

// ---- policy ----

struct SubjectAst {
  std::string domain;
  std::string field;
};

// Alternatives in matching order: String, Number, Boolean.
using LiteralValueAst = std::variant<std::string, double, bool>;

struct ValueAst {
  struct Literal {
    LiteralValueAst literal;
  };
  struct Subject {
    SubjectAst subject;
  };
  std::variant<Literal, Subject> value;
};

struct AtomicConditionAst {
  SubjectAst subject;
  std::string op;  // the operator word as written
  ValueAst value;
};

struct ConditionAst {
  struct Atomic {
    AtomicConditionAst condition;
  };
  struct All {
    std::vector<AtomicConditionAst> conditions;
  };
  struct Any {
    std::vector<AtomicConditionAst> conditions;
  };
  std::variant<Atomic, All, Any> value;
};

// The alternatives' members carry no default initialisers, so that the types
// that hold them stay default-constructible; the variant value-initialises them.
struct ScopeAst {
  struct Action {
    std::string action;
  };
  struct Actor {
    std::string actor;
  };
  struct Global {
    bool global;
  };
  std::variant<Action, Actor, Global> value;
};

// The effect keywords read straight into the model's enumeration; operator and
// domain words stay texts, since the compiler reports unknown ones as written.
using EffectAst = Effect;

struct RuleAst {
  std::string id;
  ScopeAst scope;
  ConditionAst when;
  EffectAst effect = EffectAst::Allow;
};

struct PolicyAst {
  std::uint32_t version = 0;
  std::vector<RuleAst> rules;
};

// ---- governance ----

struct SubjectFilter {
  std::optional<std::string> domain;
  std::optional<std::string> field;
};

struct WhenFilter {
  std::optional<SubjectFilter> subject;
};

struct ScopeFilter {
  std::optional<std::string> action;
  std::optional<bool> global;
};

struct RuleFilter {
  std::optional<std::string> id;
  std::optional<ScopeFilter> scope;
  std::optional<WhenFilter> when;
  std::optional<std::string> effect;
};

struct Selector {
  RuleFilter where;
};

struct AppliesTo {
  std::vector<std::string> actions;
};

struct Constraint {
  struct Exists {
    bool exists;
  };
  struct MinCount {
    std::uint64_t min_count;
  };
  struct MaxCount {
    std::uint64_t max_count;
  };
  struct Forbid {
    bool forbid;
  };
  struct AllowedFields {
    std::vector<std::string> allowed_fields;
  };
  std::variant<Exists, MinCount, MaxCount, Forbid, AllowedFields> value;
};

struct GovernanceRule {
  std::string id;
  std::optional<AppliesTo> applies_to;
  Selector select;
  Constraint must;
  std::string error;
};

struct GovernanceBlock {
  std::vector<GovernanceRule> rules;
};

struct GovernanceAst {
  std::uint32_t version = 0;
  GovernanceBlock governance;
};

}  // namespace tamsel
