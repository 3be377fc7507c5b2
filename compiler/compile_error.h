// The one error type of governance validation and compilation.
#pragma once

#include <string>
#include <vector>

namespace tamsel {

struct GovernanceViolation {
  std::string rule_id;
  std::string message;
};

struct CompileError {
  enum class Kind : unsigned char {
    UnknownAction,            // first = name
    InvalidScope,             //
    UnknownDomain,            // first = domain
    UnknownField,             // first = domain, second = field
    UnknownOperator,          // first = operator
    InvalidLogicalCondition,  //
    TypeMismatch,             // first = left, second = right
    UnsupportedOperator,      // first = operator, second = type
    GovernanceFailed,         // violations
  };
  Kind kind;
  std::string first;
  std::string second;
  std::vector<GovernanceViolation> violations;
};

// The error's text: the only way an error leaves the system.
std::string message(const CompileError& error);

}  // namespace tamsel
