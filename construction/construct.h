// Construction, in this order, each step once: read the schema, build the
// catalogue, read the policy, read the governance document, find violations,
// compile. The first error ends it, and nothing built on the way survives the
// call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error_kind.h"
#include "common/expected.h"
#include "compiler/model.h"
#include "documents/document_error.h"

namespace tamsel {

enum class DocumentKind : std::uint8_t { Schema, Policy, Governance };

// The first error met: the document it belongs to (governance violations and
// compile errors belong to the policy), the one line that the caller shows,
// its kind and named operands, and every governance violation when those end
// construction. Where the fault stands is found only when notes are taken
// (positions 0-based); otherwise position is the first one the line gives.
struct ConstructionError {
  struct Violation {
    std::string rule_id;  // the governance rule's
    std::string message;  // its error text
    // Where it points: the policy rule that breaks it, or, when no one rule
    // does, the governance rule itself.
    DocumentKind document = DocumentKind::Policy;
    std::optional<std::uint32_t> rule = std::nullopt;  // the policy rule's index
    std::optional<Mark> position = std::nullopt;
  };

  DocumentKind document = DocumentKind::Schema;
  std::string message;
  // With notes: the node at fault (for a governance failure, the place of the
  // first violation located in the policy); else the message's first position.
  std::optional<Mark> position = std::nullopt;
  ErrorKind kind = ErrorKind::YamlSyntax;
  ErrorOperands operands = {};
  std::optional<std::uint32_t> rule = std::nullopt;  // the policy rule at fault, with notes
  std::vector<Violation> violations = {};
};

// What the tools learn beside the compiled policy; positions are 0-based.
struct ConstructionNotes {
  enum class Scope : std::uint8_t { Action, Actor, Global };
  struct Rule {
    Scope scope = Scope::Global;
    std::string name;               // the action or actor; empty for a global rule
    std::uint32_t filed_at = 0;     // its place in the compiled policy's list for its scope
    Mark position;                  // of the rule's node in the policy text
    std::vector<Mark> comparisons;  // of each comparison's node, in member order
    std::vector<FieldType> types;   // the type the schema declares for each comparison
  };
  struct SkippedKey {
    DocumentKind document = DocumentKind::Schema;
    std::string key;
    Mark position;
  };
  std::vector<Rule> rules;               // in document order
  std::vector<SkippedKey> skipped_keys;  // by document, then in document order
};

// The compiled rule that a noted rule became.
const CompiledRule& filed_rule(const CompiledPolicy& policy, const ConstructionNotes::Rule& rule);

// The compiled policy, or the first error. With notes given, a successful
// construction also fills them.
Expected<CompiledPolicy, ConstructionError> construct_policy(
    std::string_view schema_text, std::string_view policy_text,
    std::optional<std::string_view> governance_text, ConstructionNotes* notes = nullptr);

}  // namespace tamsel
