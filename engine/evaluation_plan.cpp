#include "engine/evaluation_plan.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>
#include <variant>

namespace tamsel {
namespace {

using Kind = InputValue::Kind;

// Below this many rules a run of text tests is cheaper to walk than to look up.
constexpr std::size_t kShortestTextRun = 4;

std::size_t index_of(Domain domain) { return static_cast<std::size_t>(domain); }

// Two input fields under one operator: false when either is missing or the
// kinds differ; texts and booleans know equality only.
bool compare_fields(const InputValue& left, Operator op, const InputValue& right) {
  if (left.kind == Kind::Missing || left.kind != right.kind) return false;
  if (left.kind == Kind::Number) {
    switch (op) {
      case Operator::Equals:
        return left.number == right.number;
      case Operator::NotEquals:
        return left.number != right.number;  // true when either side is NaN
      case Operator::GreaterThan:
        return left.number > right.number;
      case Operator::LessThan:
        return left.number < right.number;
      case Operator::In:
      case Operator::NotIn:
        return false;
    }
    return false;
  }
  const bool same =
      left.kind == Kind::String ? left.text == right.text : left.boolean == right.boolean;
  if (op == Operator::Equals) return same;
  if (op == Operator::NotEquals) return !same;
  return false;
}

template <class T>
std::uint64_t load(const char* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// The words that together hold every byte of a text of `size` bytes: 8-byte
// words, the last overlapping the one before; under 8 bytes one word of two
// 4-byte halves, or of the first, middle and last byte. visit is given each
// word's reading, a function of the text; texts of one size give one sequence.
template <class Visit>
void each_word(std::size_t size, Visit visit) {
  if (size >= 8) {
    for (std::size_t at = 0; at + 8 < size; at += 8) {
      visit([at](const char* text) { return load<std::uint64_t>(text + at); });
    }
    visit([size](const char* text) { return load<std::uint64_t>(text + size - 8); });
  } else if (size >= 4) {
    visit([size](const char* text) {
      return load<std::uint32_t>(text) | (load<std::uint32_t>(text + size - 4) << 32U);
    });
  } else if (size > 0) {
    visit([size](const char* text) {
      return load<std::uint8_t>(text) | (load<std::uint8_t>(text + size / 2) << 8U) |
             (load<std::uint8_t>(text + size - 1) << 16U);
    });
  }
}

// Fibonacci hashing's multiplier: 2^64 over the golden ratio, odd.
constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15ULL;

}  // namespace

EvaluationPlan::EvaluationPlan(const CompiledPolicy& policy) {
  reserve_for(policy);
  rules_.emplace_back();                         // the sentinel
  slot_for(SubjectRef{"type", Domain::Action});  // always kTypeSlot
  for (const auto& [action, rules] : policy.action_rules) {
    action_index_.emplace(action, static_cast<std::uint32_t>(action_names_.size()));
    action_names_.push_back(action);
    action_lists_.push_back(plan_list(rules));
  }
  global_list_ = plan_list(policy.global_rules);
  // actor_rules never decide a result, so they get no plan.
}

// Exact sizes: grown by doubling, the largest arrays would hold up to twice
// their rules while the policy is built, and keep the slack afterwards.
void EvaluationPlan::reserve_for(const CompiledPolicy& policy) {
  std::size_t rules = 0;
  std::size_t comparisons = 0;
  const auto count = [&](const RuleList& list) {
    rules += list.size();
    for (const CompiledRule& rule : list) {
      std::visit(
          [&](const auto& condition) {
            if constexpr (requires { condition.conditions; }) {
              comparisons += condition.conditions.size();
            } else {
              ++comparisons;
            }
          },
          rule.condition.value);
    }
  };
  for (const auto& entry : policy.action_rules) count(entry.second);
  count(policy.global_rules);
  rules_.reserve(rules + 1);
  comparisons_.reserve(comparisons);
  sources_.reserve(policy.action_rules.size() + 1);
  action_names_.reserve(policy.action_rules.size());
  action_lists_.reserve(policy.action_rules.size());
}

FieldSlot EvaluationPlan::slot_for(const SubjectRef& subject) {
  auto& index = slot_index_[index_of(subject.domain)];
  auto found = index.find(subject.field);
  if (found != index.end()) return FieldSlot{found->second};
  const FieldSlot slot{static_cast<std::uint32_t>(slot_count_++)};
  index.emplace(subject.field, slot.index);
  slots_[index_of(subject.domain)].push_back(NamedSlot{std::string(subject.field), slot});
  return slot;
}

EvaluationPlan::List EvaluationPlan::plan_list(const RuleList& rules) {
  const auto begin = static_cast<std::uint32_t>(rule_count());
  sources_.push_back(Source{begin, rules.data()});
  for (const auto& rule : rules) {
    Rule& out = rules_.back();  // the sentinel becomes this rule
    out.effect = rule.effect;
    out.any = form(rule.condition) == ConditionForm::Any;
    for (const auto& member : members(rule.condition)) plan_comparison(member);
    rules_.push_back(Rule{static_cast<std::uint32_t>(comparisons_.size())});
  }
  const auto first_step = static_cast<std::uint32_t>(steps_.size());
  plan_steps(begin, static_cast<std::uint32_t>(rule_count()));
  return List{first_step, static_cast<std::uint32_t>(steps_.size()) - first_step};
}

void EvaluationPlan::plan_comparison(const AtomicCondition& condition) {
  // The test of each operator, in Operator order, for one kind of operand. Rows
  // are as long as the vocabulary: an operator added there and not here is Never.
  using OperatorTests = std::array<Test, kOperators.size()>;
  static_assert(Test{} == Test::Never, "an operator a row leaves out must never hold");
  Comparison& out = comparisons_.emplace_back();
  out.lhs = slot_for(condition.lhs);
  const auto op = static_cast<std::size_t>(condition.op);
  if (const auto* subject = std::get_if<Operand::Subject>(&condition.rhs.value)) {
    out.rhs = slot_for(subject->subject).index;
    constexpr OperatorTests kField{Test::FieldEquals, Test::FieldNotEquals, Test::FieldGreater,
                                   Test::FieldLess,   Test::Never,          Test::Never};
    out.test = kField[op];
    return;
  }
  const FieldValue& literal = std::get<Operand::Literal>(condition.rhs.value).value;
  if (const auto* number = std::get_if<double>(&literal)) {
    constexpr OperatorTests kNumber{Test::NumberEquals, Test::NumberNotEquals, Test::NumberGreater,
                                    Test::NumberLess,   Test::Never,           Test::Never};
    out.test = kNumber[op];
    out.number = *number;
  } else if (const auto* text = std::get_if<std::string_view>(&literal)) {
    constexpr OperatorTests kText{Test::TextEquals, Test::TextNotEquals, Test::Never,
                                  Test::Never,      Test::Never,         Test::Never};
    out.test = kText[op];
    out.text = text->data();  // a view: the policy outlives the plan
    out.text_size = static_cast<std::uint32_t>(text->size());
  } else {
    constexpr OperatorTests kTruth{Test::TruthEquals, Test::TruthNotEquals, Test::Never,
                                   Test::Never,       Test::Never,          Test::Never};
    out.test = kTruth[op];
    out.truth = std::get<bool>(literal);
  }
}

// The field and text of a comparison that must hold for the rule to hold: the
// first TextEquals of an atomic or an "all" condition.
std::optional<std::pair<FieldSlot, std::string_view>> EvaluationPlan::required_text(
    std::uint32_t rule) const {
  const std::uint32_t begin = rules_[rule].first;
  const std::uint32_t end = rules_[rule + 1].first;
  if (rules_[rule].any && end - begin > 1) return std::nullopt;
  for (std::uint32_t c = begin; c < end; ++c) {
    if (comparisons_[c].test == Test::TextEquals) {
      return std::pair{comparisons_[c].lhs, comparisons_[c].literal_text()};
    }
  }
  return std::nullopt;
}

// Splits rules [begin, end) into steps: runs of at least kShortestTextRun rules
// that require the same field to equal a text, and plain ranges between them.
void EvaluationPlan::plan_steps(std::uint32_t begin, std::uint32_t end) {
  std::uint32_t plain = begin;  // the first rule not yet in a step
  std::uint32_t at = begin;
  while (at < end) {
    const auto required = required_text(at);
    std::uint32_t stop = at + 1;
    while (required && stop < end) {
      const auto next = required_text(stop);
      if (!next || next->first.index != required->first.index) break;
      ++stop;
    }
    if (!required || stop - at < kShortestTextRun) {
      ++at;
      continue;
    }
    if (plain < at) steps_.push_back(Step{plain, at, std::nullopt});
    TextRun& run = text_runs_.emplace_back();
    run.field = required->first;
    for (std::uint32_t rule = at; rule < stop; ++rule) {
      run.rules_by_text[std::string(required_text(rule)->second)].push_back(rule);
    }
    steps_.push_back(Step{at, stop, static_cast<std::uint32_t>(text_runs_.size() - 1)});
    plain = at = stop;
  }
  if (plain < end) steps_.push_back(Step{plain, end, std::nullopt});
}

std::optional<FieldSlot> EvaluationPlan::slot_of(Domain domain, std::string_view field) const {
  const auto& index = slot_index_[index_of(domain)];
  auto found = index.find(field);
  if (found == index.end()) return std::nullopt;
  return FieldSlot{found->second};
}

const std::vector<EvaluationPlan::NamedSlot>& EvaluationPlan::slots(Domain domain) const {
  return slots_[index_of(domain)];
}

std::string_view EvaluationPlan::rule_id(std::uint32_t rule) const {
  const auto after = std::upper_bound(
      sources_.begin(), sources_.end(), rule,
      [](std::uint32_t wanted, const Source& source) { return wanted < source.first_rule; });
  const Source& source = *std::prev(after);
  return source.rules[rule - source.first_rule].rule_id;
}

std::optional<std::uint32_t> EvaluationPlan::action_list(std::string_view action) const {
  auto found = action_index_.find(action);
  if (found == action_index_.end()) return std::nullopt;
  return found->second;
}

Decision EvaluationPlan::evaluate(const EvaluationInput& input) const {
  const InputValue& type = input.at(kTypeSlot);
  return evaluate(input, type.kind == Kind::String ? action_list(type.text) : std::nullopt);
}

Decision EvaluationPlan::evaluate(const EvaluationInput& input,
                                  std::optional<std::uint32_t> action_list,
                                  TextRunMemo* memo) const {
  std::uint32_t decided = kNoRule;
  if (action_list) decided = run(action_lists_[*action_list], input, memo);
  // Most policies have no global rules: skip the call then.
  if (decided == kNoRule && global_list_.step_count != 0) {
    decided = run(global_list_, input, memo);
  }
  if (decided == kNoRule) return {};
  return Decision{rules_[decided].effect, decided};
}

std::uint32_t EvaluationPlan::run(const List& list, const EvaluationInput& input,
                                  TextRunMemo* memo) const {
  const Step* step = steps_.data() + list.first_step;
  for (const Step* const end = step + list.step_count; step != end; ++step) {
    if (step->run) {
      const TextRun& text_run = text_runs_[*step->run];
      const std::uint32_t decided =
          memo != nullptr ? run_memoized(text_run, input, *memo) : run_text(text_run, input);
      if (decided != kNoRule) return decided;
      continue;
    }
    const Rule* const rules = rules_.data();
    for (const Rule *rule = rules + step->begin, *const stop = rules + step->end; rule != stop;
         ++rule) {
      if (holds(rule, input)) return static_cast<std::uint32_t>(rule - rules);
    }
  }
  return kNoRule;
}

const std::vector<std::uint32_t>* EvaluationPlan::rules_for(const TextRun& run,
                                                            std::string_view text) {
  auto found = run.rules_by_text.find(text);
  return found == run.rules_by_text.end() ? nullptr : &found->second;
}

const TextRunMemo::Entry* EvaluationPlan::memo_entry(const TextRun& run, std::string_view text,
                                                     TextRunMemo& memo) {
  if (text.size() > UINT32_MAX) return nullptr;
  // A text of up to 8 bytes is one word, which the place holds; a longer one is viewed.
  const bool held = text.size() <= sizeof(std::uint64_t);
  std::uint64_t hash = reinterpret_cast<std::uintptr_t>(&run) ^ text.size();
  std::uint64_t last = 0;  // the text's last word: all of it when held
  each_word(text.size(), [&](auto word) {
    last = word(text.data());
    hash = (hash ^ last) * kGolden;
    hash ^= hash >> 32;
  });
  const std::uint64_t key = held ? last : std::bit_cast<std::uintptr_t>(text.data());
  const std::size_t place = (hash * kGolden) >> (64 - TextRunMemo::kEntryBits);
  for (std::size_t probe = 0; probe < TextRunMemo::kProbes; ++probe) {
    auto& entry = memo.entries_[(place + probe) & (TextRunMemo::kEntries - 1)];
    if (entry.run == nullptr) {
      entry.run = &run;
      entry.rules = rules_for(run, text);
      entry.first_rule = entry.rules != nullptr ? entry.rules->front() : 0;
      entry.size = static_cast<std::uint32_t>(text.size());
      entry.text = key;
      return &entry;
    }
    if (entry.run == &run && entry.size == text.size() &&
        (held ? entry.text == key : text == entry.viewed())) {
      return &entry;
    }
  }
  return nullptr;
}

std::uint32_t EvaluationPlan::run_text(const TextRun& run, const EvaluationInput& input) const {
  const InputValue& value = input.at(run.field);
  if (value.kind != Kind::String) return kNoRule;  // no rule of the run can hold
  const std::vector<std::uint32_t>* rules = rules_for(run, value.text);
  if (rules == nullptr) return kNoRule;
  for (const std::uint32_t rule : *rules) {
    if (holds(rules_.data() + rule, input)) return rule;
  }
  return kNoRule;
}

EvaluationPlan::RunRules EvaluationPlan::memo_rules(const TextRun& run,
                                                    const EvaluationInput& input,
                                                    TextRunMemo& memo) {
  const InputValue& value = input.at(run.field);
  if (value.kind != Kind::String) return {};  // no rule of the run can hold
  if (const TextRunMemo::Entry* entry = memo_entry(run, value.text, memo)) {
    return {entry->first_rule, entry->rules};
  }
  const std::vector<std::uint32_t>* rules = rules_for(run, value.text);
  return rules != nullptr ? RunRules{rules->front(), rules} : RunRules{};
}

// Most texts lead to one rule, which the memo's place holds: the list is read only past it.
std::uint32_t EvaluationPlan::first_holding(const RunRules& found,
                                            const EvaluationInput& input) const {
  if (found.rules == nullptr) return kNoRule;
  if (holds_beside_text(found.first, input)) return found.first;
  for (auto rule = found.rules->begin() + 1; rule != found.rules->end(); ++rule) {
    if (holds_beside_text(*rule, input)) return *rule;
  }
  return kNoRule;
}

std::uint32_t EvaluationPlan::run_memoized(const TextRun& run, const EvaluationInput& input,
                                           TextRunMemo& memo) const {
  return first_holding(memo_rules(run, input, memo), input);
}

void EvaluationPlan::evaluate_all(std::span<const EvaluationInput> inputs,
                                  std::span<const std::optional<std::uint32_t>> action_lists,
                                  TextRunMemo& memo, std::span<Decision> decisions) const {
  const std::optional<std::uint32_t> list = inputs.empty() ? std::nullopt : action_lists[0];
  const bool shared = list && std::all_of(action_lists.begin(), action_lists.end(),
                                          [&](const auto& other) { return other == list; });
  const List* const lead = shared ? &action_lists_[*list] : nullptr;
  if (lead == nullptr || lead->step_count == 0 || !steps_[lead->first_step].run) {
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      decisions[i] = evaluate(inputs[i], action_lists[i], &memo);
    }
    return;
  }
  const TextRun& text_run = text_runs_[*steps_[lead->first_step].run];
  const List rest{lead->first_step + 1, lead->step_count - 1};
  std::array<RunRules, kBlock> found;
  for (std::size_t from = 0; from < inputs.size(); from += kBlock) {
    const std::size_t count = std::min(kBlock, inputs.size() - from);
    for (std::size_t i = 0; i < count; ++i) found[i] = memo_rules(text_run, inputs[from + i], memo);
    for (std::size_t i = 0; i < count; ++i) {
      const EvaluationInput& input = inputs[from + i];
      std::uint32_t decided = first_holding(found[i], input);
      if (decided == kNoRule) decided = run(rest, input, &memo);
      if (decided == kNoRule && global_list_.step_count != 0) {
        decided = run(global_list_, input, &memo);
      }
      decisions[from + i] =
          decided == kNoRule ? Decision{} : Decision{rules_[decided].effect, decided};
    }
  }
}

// The entry after rule, a later rule or the sentinel, ends its comparisons.
bool EvaluationPlan::holds(const Rule* rule, const EvaluationInput& input) const {
  const Comparison* c = comparisons_.data() + rule[0].first;
  const Comparison* const end = comparisons_.data() + rule[1].first;
  if (rule->any) {
    for (; c != end; ++c) {
      if (compare(*c, input)) return true;
    }
    return false;
  }
  for (; c != end; ++c) {
    if (!compare(*c, input)) return false;
  }
  return true;
}

// A rule of a run is an atomic condition or an "all" whose first TextEquals
// is on the run's field (required_text): that one holds, every other must.
bool EvaluationPlan::holds_beside_text(std::uint32_t rule, const EvaluationInput& input) const {
  const Comparison* c = comparisons_.data() + rules_[rule].first;
  const Comparison* const end = comparisons_.data() + rules_[rule + 1].first;
  for (; c->test != Test::TextEquals; ++c) {
    if (!compare(*c, input)) return false;
  }
  for (++c; c != end; ++c) {
    if (!compare(*c, input)) return false;
  }
  return true;
}

bool EvaluationPlan::compare(const Comparison& c, const EvaluationInput& input) {
  const InputValue& left = input.at(c.lhs);
  switch (c.test) {
    case Test::Never:
      return false;
    case Test::NumberEquals:
      return left.kind == Kind::Number && left.number == c.number;
    case Test::NumberNotEquals:
      return left.kind == Kind::Number && left.number != c.number;  // true with a NaN
    case Test::NumberGreater:
      return left.kind == Kind::Number && left.number > c.number;
    case Test::NumberLess:
      return left.kind == Kind::Number && left.number < c.number;
    case Test::TextEquals:
      return left.kind == Kind::String && left.text == c.literal_text();
    case Test::TextNotEquals:
      return left.kind == Kind::String && left.text != c.literal_text();
    case Test::TruthEquals:
      return left.kind == Kind::Boolean && left.boolean == c.truth;
    case Test::TruthNotEquals:
      return left.kind == Kind::Boolean && left.boolean != c.truth;
    case Test::FieldEquals:
      return compare_fields(left, Operator::Equals, input.at(FieldSlot{c.rhs}));
    case Test::FieldNotEquals:
      return compare_fields(left, Operator::NotEquals, input.at(FieldSlot{c.rhs}));
    case Test::FieldGreater:
      return compare_fields(left, Operator::GreaterThan, input.at(FieldSlot{c.rhs}));
    case Test::FieldLess:
      return compare_fields(left, Operator::LessThan, input.at(FieldSlot{c.rhs}));
  }
  return false;
}

}  // namespace tamsel
