// The compiled policy: plain, immutable values built once by the compiler. The
// declared order of every field and variant is the order of the canonical text.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "common/names.h"
#include "compiler/vocabulary.h"

namespace tamsel {

// Variants in order: String, Number, Boolean.
using FieldValue = std::variant<std::string, double, bool>;

struct SubjectRef {
  Domain domain = Domain::Action;
  std::string field;
};

struct Operand {
  struct Literal {
    FieldValue value;
  };
  struct Subject {
    SubjectRef subject;
  };
  std::variant<Literal, Subject> value;
};

struct AtomicCondition {
  SubjectRef lhs;
  Operator op = Operator::Equals;
  Operand rhs;
};

struct CompiledCondition {
  struct Atomic {
    AtomicCondition condition;
  };
  struct All {
    std::vector<AtomicCondition> conditions;  // at least two
  };
  struct Any {
    std::vector<AtomicCondition> conditions;  // at least two
  };
  std::variant<Atomic, All, Any> value;
};

struct CompiledRule {
  std::string rule_id;
  CompiledCondition condition;
  Effect effect = Effect::Allow;
};

using RuleList = std::vector<CompiledRule>;

struct CompiledPolicy {
  NameMap<RuleList> action_rules;
  NameMap<RuleList> actor_rules;
  RuleList global_rules;
};

}  // namespace tamsel
