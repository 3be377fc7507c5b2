// A compiled policy laid out for evaluation: every field reference resolved to a
// slot of its domain, the comparisons of all rules in one contiguous array.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/names.h"
#include "compiler/model.h"
#include "engine/evaluation_input.h"

namespace tamsel {

struct Decision {
  Effect effect = Effect::Allow;
  // The deciding rule's id, viewing text owned by the plan; empty when no rule decided.
  std::optional<std::string_view> matched_rule;
};

class EvaluationPlan {
 public:
  // The slot of the action's "type" field, which every plan has.
  static constexpr FieldSlot kTypeSlot{Domain::Action, 0};

  explicit EvaluationPlan(const CompiledPolicy& policy);

  // The slot of a field name, or nothing when no rule reads that field.
  [[nodiscard]] std::optional<FieldSlot> slot_of(Domain domain, std::string_view field) const;
  // The field names of a domain's slots, in slot order.
  [[nodiscard]] const std::vector<std::string>& slot_names(Domain domain) const;
  // An input with every slot of this plan empty.
  [[nodiscard]] EvaluationInput make_input() const;

  // Action rules under the input's action type, then global rules; first match wins.
  [[nodiscard]] Decision evaluate(const EvaluationInput& input) const;

 private:
  struct Comparison {
    FieldSlot lhs;
    Operator op = Operator::Equals;
    std::variant<FieldValue, FieldSlot> rhs;
  };
  struct Rule {
    bool any = false;  // false: every comparison must hold (an atomic condition is a list of one)
    Effect effect = Effect::Allow;
    std::uint32_t first = 0;  // into comparisons_
    std::uint32_t count = 0;
    std::string rule_id;
  };
  using Rules = std::vector<Rule>;

  FieldSlot slot_for(const SubjectRef& subject);
  Rules plan_rules(const RuleList& rules);
  void plan_comparison(const AtomicCondition& condition);
  [[nodiscard]] std::optional<Decision> run(const Rules& rules, const EvaluationInput& input) const;
  [[nodiscard]] bool holds(const Rule& rule, const EvaluationInput& input) const;
  [[nodiscard]] static bool compare(const Comparison& comparison, const EvaluationInput& input);

  std::array<NameMap<std::uint32_t>, kDomainCount> slots_;
  std::array<std::vector<std::string>, kDomainCount> slot_names_;
  std::vector<Comparison> comparisons_;
  NameMap<Rules> action_rules_;
  Rules global_rules_;
};

}  // namespace tamsel
