// Evaluation step by step, for the tools: a plain first-match walk over the
// compiled policy's lists that records what it runs and compares. It reads the
// policy itself, not an EvaluationPlan, so that the plan can be checked
// against it; the two must always decide alike.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "compiler/model.h"
#include "engine/evaluation_input.h"

namespace tamsel {

// The value of a field of the input; a Missing value when there is none.
using FieldLookup = std::function<InputValue(const SubjectRef& subject)>;

// Why a comparison came out false, when that is not the operator's answer.
// The left side is looked at first.
enum class FalseReason : std::uint8_t { None, LeftMissing, RightMissing, KindsDiffer };

struct ComparisonStep {
  std::uint32_t member = 0;  // its place in the condition, 0 for an atomic one
  bool result = false;
  FalseReason reason = FalseReason::None;
  InputValue left;   // Missing when the field is
  InputValue right;  // a literal's value, or the right field's (Missing when it is)
};

enum class RuleListKind : std::uint8_t { Action, Global };

struct RuleStep {
  RuleListKind list = RuleListKind::Global;
  const CompiledRule* rule = nullptr;  // in the policy
  std::uint32_t position = 0;          // in its list
  bool result = false;
  std::vector<ComparisonStep> comparisons;  // those made, in order
};

struct Trace {
  Effect effect = Effect::Allow;
  const CompiledRule* matched = nullptr;        // none when no rule decided
  std::optional<std::string_view> action_type;  // the "type" field when it is a text
  bool action_list = false;                     // whether rules are filed under that type
  std::vector<RuleStep> steps;                  // the rules visited, in order
};

// The action's list when the type names one, then the global rules; the first
// rule whose condition holds decides, and nothing after it is visited.
Trace explain(const CompiledPolicy& policy, const FieldLookup& lookup);

}  // namespace tamsel
