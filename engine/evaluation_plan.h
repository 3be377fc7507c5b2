// A compiled policy laid out for evaluation: every field reference resolved to a
// slot, the rules of all lists in one array, each comparison specialised by
// operator and kind. Built once; evaluation only reads it.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/names.h"
#include "compiler/model.h"
#include "engine/evaluation_input.h"

namespace tamsel {

inline constexpr std::size_t kDomainCount = kDomains.size();

struct Decision {
  Effect effect = Effect::Allow;
  // The deciding rule (see EvaluationPlan::rule_id); empty when no rule decided.
  std::optional<std::uint32_t> rule;
};

// Remembers which rules of a text run the texts met across many evaluations
// lead to, so that a text seen again costs a cheap hash of its few bytes and
// not the keyed one of the run's map. A place holds its first rule and a text
// of up to 8 bytes: finding them then reads half a cache line and nothing it
// points to. A longer text is viewed where it was met, so the memo must live
// no longer than the inputs it has seen. Hostile texts that collide only fill
// a few places each and then fall back to the run's own map.
class TextRunMemo {
 public:
  TextRunMemo() : entries_(kEntries) {}

 private:
  friend class EvaluationPlan;
  static constexpr std::size_t kEntryBits = 12;
  static constexpr std::size_t kEntries = std::size_t{1} << kEntryBits;
  static constexpr std::size_t kProbes = 4;
  struct alignas(32) Entry {
    const void* run = nullptr;                          // null: free
    const std::vector<std::uint32_t>* rules = nullptr;  // null: no rule of the run
    std::uint32_t first_rule = 0;                       // (*rules)[0]
    std::uint32_t size = 0;                             // of the text
    std::uint64_t text = 0;  // up to 8 bytes: the text as one word; longer: where it is

    [[nodiscard]] std::string_view viewed() const {
      return {std::bit_cast<const char*>(static_cast<std::uintptr_t>(text)), size};
    }
  };
  static_assert(sizeof(Entry) == 32, "two places a cache line");
  std::vector<Entry> entries_;
};

class EvaluationPlan {
 public:
  // The slot of the action's "type" field, which every plan has.
  static constexpr FieldSlot kTypeSlot{0};

  struct NamedSlot {
    std::string name;
    FieldSlot slot;
  };

  // The plan views the policy's rule lists and texts instead of copying them,
  // so the policy must outlive it; it may move, since none of them moves with it.
  explicit EvaluationPlan(const CompiledPolicy& policy);
  explicit EvaluationPlan(CompiledPolicy&&) = delete;

  // The slot of a field name, or nothing when no rule reads that field.
  [[nodiscard]] std::optional<FieldSlot> slot_of(Domain domain, std::string_view field) const;
  // The named slots of a domain, in the order the rules first read them.
  [[nodiscard]] const std::vector<NamedSlot>& slots(Domain domain) const;
  [[nodiscard]] std::size_t slot_count() const noexcept { return slot_count_; }

  // The action names that have a rule list; list i is the rules of name i.
  [[nodiscard]] const std::vector<std::string>& action_names() const noexcept {
    return action_names_;
  }
  [[nodiscard]] std::optional<std::uint32_t> action_list(std::string_view action) const;

  [[nodiscard]] std::size_t rule_count() const noexcept { return rules_.size() - 1; }
  // The id of a rule, found through the policy's list that the rule came from.
  [[nodiscard]] std::string_view rule_id(std::uint32_t rule) const;

  // Action rules under the input's action type, then global rules; first match wins.
  [[nodiscard]] Decision evaluate(const EvaluationInput& input) const;
  // The same with the action's list already found (nothing: no list to run),
  // and a memo of text runs kept across the evaluations of one batch (or null).
  [[nodiscard]] Decision evaluate(const EvaluationInput& input,
                                  std::optional<std::uint32_t> action_list,
                                  TextRunMemo* memo = nullptr) const;
  // As evaluate(inputs[i], action_lists[i], &memo) for each input. When they
  // share a list that begins with a text run, the run's memo places are found
  // for a block of them before their rules are tested: their reads of the memo
  // then overlap instead of waiting one for another.
  void evaluate_all(std::span<const EvaluationInput> inputs,
                    std::span<const std::optional<std::uint32_t>> action_lists, TextRunMemo& memo,
                    std::span<Decision> decisions) const;

 private:
  // Each test knows its operator and the kind of its literal; the Field tests
  // compare two input fields, Never is an operator that no kind admits.
  enum class Test : std::uint8_t {
    Never,
    NumberEquals,
    NumberNotEquals,
    NumberGreater,
    NumberLess,
    TextEquals,
    TextNotEquals,
    TruthEquals,
    TruthNotEquals,
    FieldEquals,
    FieldNotEquals,
    FieldGreater,
    FieldLess,
  };
  // Each test reads one member of the union.
  struct Comparison {
    union {
      double number = 0.0;
      const char* text;  // the policy's literal, text_size bytes
      bool truth;
      std::uint32_t rhs;  // Field tests: the slot of the right side
    };
    FieldSlot lhs;
    std::uint32_t text_size = 0;
    Test test = Test::Never;

    [[nodiscard]] std::string_view literal_text() const { return {text, text_size}; }
  };
  // Rule r's comparisons are [rules_[r].first, rules_[r + 1].first): rules_
  // ends in a sentinel whose first is the number of comparisons.
  struct Rule {
    std::uint32_t first = 0;  // into comparisons_
    Effect effect = Effect::Allow;
    bool any = false;  // false: every comparison must hold (an atomic condition is a list of one)
  };
  static_assert(sizeof(Comparison) == 24 && sizeof(Rule) == 8, "one of each for most rules");
  // The policy's rules behind plan rules [first_rule, first_rule + its list's size).
  struct Source {
    std::uint32_t first_rule = 0;
    const CompiledRule* rules = nullptr;
  };
  // Consecutive rules that each require one field to equal a text literal: only
  // those whose literal is the field's value can hold, so only they are tested.
  struct TextRun {
    FieldSlot field;
    NameMap<std::vector<std::uint32_t>> rules_by_text;  // ascending rule indices
  };
  // Rules [begin, end) tested in order, or through text_runs_[run] when run is set.
  struct Step {
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
    std::optional<std::uint32_t> run;
  };
  struct List {
    std::uint32_t first_step = 0;
    std::uint32_t step_count = 0;
  };

  FieldSlot slot_for(const SubjectRef& subject);
  void reserve_for(const CompiledPolicy& policy);
  List plan_list(const RuleList& rules);
  void plan_comparison(const AtomicCondition& condition);
  [[nodiscard]] std::optional<std::pair<FieldSlot, std::string_view>> required_text(
      std::uint32_t rule) const;
  void plan_steps(std::uint32_t begin, std::uint32_t end);
  // The deciding rule of a list, or kNoRule: a plain number, cheaper to pass
  // back through the rule loops than an optional.
  static constexpr std::uint32_t kNoRule = UINT32_MAX;
  [[nodiscard]] std::uint32_t run(const List& list, const EvaluationInput& input,
                                  TextRunMemo* memo) const;
  [[nodiscard]] std::uint32_t run_text(const TextRun& run, const EvaluationInput& input) const;
  [[nodiscard]] std::uint32_t run_memoized(const TextRun& run, const EvaluationInput& input,
                                           TextRunMemo& memo) const;
  // The rules of a run that an input's text leads to: the first, and all of
  // them (null when none).
  struct RunRules {
    std::uint32_t first = kNoRule;
    const std::vector<std::uint32_t>* rules = nullptr;
  };
  static constexpr std::size_t kBlock = 64;  // inputs whose memo places are found together
  [[nodiscard]] static RunRules memo_rules(const TextRun& run, const EvaluationInput& input,
                                           TextRunMemo& memo);
  [[nodiscard]] std::uint32_t first_holding(const RunRules& found,
                                            const EvaluationInput& input) const;
  // The rules of the run that the text leads to, or null.
  [[nodiscard]] static const std::vector<std::uint32_t>* rules_for(const TextRun& run,
                                                                   std::string_view text);
  // The memo's place for the run's text, filled if it was free; null when its
  // places are taken by other texts (or it passes 4 GiB).
  [[nodiscard]] static const TextRunMemo::Entry* memo_entry(const TextRun& run,
                                                            std::string_view text,
                                                            TextRunMemo& memo);
  [[nodiscard]] bool holds(const Rule* rule, const EvaluationInput& input) const;
  // Whether a rule of a text run holds when the run's text is the field's value:
  // its comparisons but the one that text already meets.
  [[nodiscard]] bool holds_beside_text(std::uint32_t rule, const EvaluationInput& input) const;
  [[nodiscard]] static bool compare(const Comparison& comparison, const EvaluationInput& input);

  std::array<NameMap<std::uint32_t>, kDomainCount> slot_index_;
  std::array<std::vector<NamedSlot>, kDomainCount> slots_;
  std::size_t slot_count_ = 0;
  std::vector<Comparison> comparisons_;
  std::vector<Rule> rules_;
  std::vector<Source> sources_;  // ascending first_rule
  std::vector<TextRun> text_runs_;
  std::vector<Step> steps_;
  std::vector<std::string> action_names_;
  NameMap<std::uint32_t> action_index_;
  std::vector<List> action_lists_;
  List global_list_;
};

}  // namespace tamsel
