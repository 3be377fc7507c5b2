#include "compiler/compile_error.h"

namespace tamsel {

std::string message(const CompileError& error) {
  using Kind = CompileError::Kind;
  const std::string& first = error.first;
  const std::string& second = error.second;
  switch (error.kind) {
    case Kind::UnknownAction:
      return "unknown action '" + first + "' in scope";
    case Kind::InvalidScope:
      return "invalid scope configuration";
    case Kind::UnknownDomain:
      return "unknown domain '" + first + "'";
    case Kind::UnknownField:
      return "unknown field '" + second + "' in domain '" + first + "'";
    case Kind::UnknownOperator:
      return "unknown operator '" + first + "'";
    case Kind::InvalidLogicalCondition:
      return "invalid logical condition: must contain at least two conditions";
    case Kind::TypeMismatch:
      return "type mismatch: left is '" + first + "', right is '" + second + "'";
    case Kind::UnsupportedOperator:
      return "operator '" + first + "' not supported for type '" + second + "'";
  }
  return "unknown compile error";  // unreachable: the switch covers every kind
}

}  // namespace tamsel
