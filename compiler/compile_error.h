// The error of compilation, which ends at the first one.
#pragma once

#include <cstdint>
#include <string>

namespace tamsel {

struct CompileError {
  enum class Kind : unsigned char {
    UnknownAction,            // first = name
    InvalidScope,             //
    UnknownDomain,            // first = domain
    UnknownField,             // first = domain, second = field
    UnknownOperator,          // first = operator
    InvalidLogicalCondition,  // first = "all" or "any" (not part of the text)
    TypeMismatch,             // first = left, second = right
    UnsupportedOperator,      // first = operator, second = type
  };
  // The node at fault within its rule.
  enum class Place : unsigned char {
    Scope,
    Condition,   // the "all" or "any" mapping
    Comparison,  // member `member` of the condition
    Left,        // that comparison's left subject
    Right,       // that comparison's right side
  };
  Kind kind;
  std::string first;
  std::string second;
  std::uint32_t rule = 0;  // the rule's index in the policy document
  Place place = Place::Scope;
  std::uint32_t member = 0;
};

// The error's text: the only way an error leaves the system.
std::string message(const CompileError& error);

}  // namespace tamsel
