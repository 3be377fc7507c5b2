// The error of compilation, which ends at the first one.
#pragma once

#include <string>

namespace tamsel {

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
  };
  Kind kind;
  std::string first;
  std::string second;
};

// The error's text: the only way an error leaves the system.
std::string message(const CompileError& error);

}  // namespace tamsel
