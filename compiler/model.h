// The compiled policy: plain, immutable values built once by the compiler. The
// declared order of every field and variant is the order of the canonical text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/names.h"

namespace tamsel {

enum class Domain : std::uint8_t { Action, Actor, Snapshot };
enum class Operator : std::uint8_t { Equals, NotEquals, GreaterThan, LessThan, In, NotIn };
enum class Effect : std::uint8_t { Allow, Block, RequireApproval };
enum class FieldType : std::uint8_t { String, Number, Boolean };

// Variants in order: String, Number, Boolean.
using FieldValue = std::variant<std::string, double, bool>;

// The variant names, as the canonical text and the error texts spell them.
std::string_view variant_name(Domain domain);
std::string_view variant_name(Operator op);
std::string_view variant_name(Effect effect);
std::string_view variant_name(FieldType type);

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
