#include "compiler/compile_error.h"

#include "common/quote.h"

namespace tamsel {
namespace {

// The debug form of the violation list: [GovernanceViolation { rule_id: "…", message: "…" }, …]
void append_violations(std::string& out, const std::vector<GovernanceViolation>& violations) {
  out += '[';
  bool first = true;
  for (const GovernanceViolation& violation : violations) {
    if (!first) out += ", ";
    first = false;
    out += "GovernanceViolation { rule_id: ";
    append_quoted(out, violation.rule_id);
    out += ", message: ";
    append_quoted(out, violation.message);
    out += " }";
  }
  out += ']';
}

}  // namespace

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
    case Kind::GovernanceFailed: {
      std::string text = "governance validation failed: ";
      append_violations(text, error.violations);
      return text;
    }
  }
  return "unknown compile error";  // unreachable: the switch covers every kind
}

}  // namespace tamsel
