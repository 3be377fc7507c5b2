// The compiled policy: plain, immutable values built once by the compiler. The
// declared order of every variant is the order of the canonical text, which
// names each field itself, so members are laid out to waste no padding.
//
// Texts and member lists view storage that the policy owns: a policy of many
// rules holds few allocations, and nothing it views moves when it moves.
#pragma once

#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "common/arena.h"
#include "common/conditions.h"
#include "common/names.h"
#include "common/vocabulary.h"

namespace tamsel {

// Variants in order: String, Number, Boolean.
using FieldValue = std::variant<std::string_view, double, bool>;

struct SubjectRef {
  std::string_view field;
  Domain domain = Domain::Action;
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

// [[no_unique_address]] lets the next member live in the tail padding of the
// one it marks: op beside lhs's domain, and a rule's effect beside its
// condition's variant index.
struct AtomicCondition {
  [[no_unique_address]] SubjectRef lhs;
  Operator op = Operator::Equals;
  Operand rhs;
};

struct CompiledCondition {
  struct Atomic {
    AtomicCondition condition;
  };
  struct All {
    std::span<const AtomicCondition> conditions;  // at least two
  };
  struct Any {
    std::span<const AtomicCondition> conditions;  // at least two
  };
  [[no_unique_address]] std::variant<Atomic, All, Any> value;
};

struct CompiledRule {
  std::string_view rule_id;
  [[no_unique_address]] CompiledCondition condition;
  Effect effect = Effect::Allow;
};

#if defined(_LIBCPP_VERSION)
// libc++ (the portable wheels' standard library) gives the operand's variant
// eight more bytes than libstdc++ does, for its inner variant's tail padding
// is not reused.
static_assert(sizeof(AtomicCondition) <= 64 && sizeof(CompiledRule) <= 96,
              "the compiled model is laid out without padding between members");
#else
static_assert(sizeof(AtomicCondition) <= 56 && sizeof(CompiledRule) <= 80,
              "the compiled model is laid out without padding between members");
#endif

using RuleList = std::vector<CompiledRule>;

// What the rules of one policy view: their texts and the members of their
// "all" and "any" conditions. It moves only, as its arenas do: a copy's rules
// would view the original's storage.
class PolicyStorage {
 public:
  void reserve(std::size_t text_bytes, std::size_t members) {
    texts_.reserve(text_bytes);
    members_.reserve(members);
  }
  std::string_view text(std::string_view text) { return texts_.keep(text); }
  std::span<const AtomicCondition> members(std::span<const AtomicCondition> members) {
    return members_.keep(members);
  }

 private:
  TextArena texts_;
  Arena<AtomicCondition> members_;
};

// Moves only: the rules view storage, which a copy would have to re-point.
struct CompiledPolicy {
  NameMap<RuleList> action_rules;
  NameMap<RuleList> actor_rules;
  RuleList global_rules;
  PolicyStorage storage;
};

}  // namespace tamsel
