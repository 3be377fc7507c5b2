// The kinds of error that construction can end with, and their named operands:
// what the tools are told beside the one line of text, so that they never read
// the text again to learn what went wrong.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tamsel {

enum class ErrorKind : std::uint8_t {
  // Reading a document.
  YamlSyntax,
  UnknownAnchor,
  RecursionLimit,
  RepetitionLimit,
  EndOfInput,
  FurtherDocument,
  DocumentTooLarge,
  MissingField,
  DuplicateField,
  InvalidType,
  InvalidValue,
  UnknownVariant,
  NoVariantMatched,
  TaggedAlternative,
  // Compiling the policy.
  UnknownAction,
  InvalidScope,
  UnknownDomain,
  UnknownField,
  UnknownOperator,
  TooFewMembers,
  TypeMismatch,
  OperatorNotAdmitted,
  // Governance.
  GovernanceViolation,
};

// The tools' names for the kinds, in declared order.
inline constexpr std::array<std::string_view, 23> kErrorKindWords{
    "yaml_syntax",        "unknown_anchor",        "recursion_limit",      "repetition_limit",
    "end_of_input",       "further_document",      "document_too_large",   "missing_field",
    "duplicate_field",    "invalid_type",          "invalid_value",        "unknown_variant",
    "no_variant_matched", "tagged_alternative",    "unknown_action",       "invalid_scope",
    "unknown_domain",     "unknown_field",         "unknown_operator",     "too_few_members",
    "type_mismatch",      "operator_not_admitted", "governance_violation",
};
static_assert(kErrorKindWords.size() ==
              static_cast<std::size_t>(ErrorKind::GovernanceViolation) + 1);

constexpr std::string_view error_kind_word(ErrorKind kind) {
  return kErrorKindWords[static_cast<std::size_t>(kind)];
}

// One named value of an error, such as the field that no domain declares. The
// name is a literal: it lives as long as the program.
struct ErrorOperand {
  std::string_view name;
  std::string value;
};
using ErrorOperands = std::vector<ErrorOperand>;

}  // namespace tamsel
