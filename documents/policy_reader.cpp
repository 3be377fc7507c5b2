// The policy document: a version and the ordered rules, whose scopes and
// conditions are alternatives matched on buffered values.
#include <array>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "documents/buffered.h"
#include "documents/document.h"
#include "documents/readers.h"
#include "documents/rules.h"

namespace tamsel {
namespace {

template <std::size_t N>
using Found = std::array<std::optional<BufferedValue>, N>;

// Every key of the scope and condition alternatives, each written once: the
// matchers read them from here, and buffering keeps the values at the top of
// a scope or condition only under them.
constexpr std::array<std::string_view, 2> kSubjectKeys{"domain", "field"};
constexpr std::string_view kSubjectKey = "subject";
constexpr std::array<std::string_view, 3> kAtomicKeys{kSubjectKey, "operator", "value"};
constexpr std::string_view kAllKey = "all";
constexpr std::string_view kAnyKey = "any";
constexpr std::array<std::string_view, 5> kConditionKeys{kAtomicKeys[0], kAtomicKeys[1],
                                                         kAtomicKeys[2], kAllKey, kAnyKey};
constexpr std::string_view kActionKey = "action";
constexpr std::string_view kActorKey = "actor";
constexpr std::string_view kGlobalKey = "global";
constexpr std::array<std::string_view, 3> kScopeKeys{kActionKey, kActorKey, kGlobalKey};
constexpr std::string_view kLiteralKey = "literal";

std::optional<SubjectAst> match_subject(BufferedValue value) {
  Found<2> found;
  if (!match_record(value, kSubjectKeys, found, true)) return std::nullopt;
  auto domain = match_text(*found[0]);
  auto field = match_text(*found[1]);
  if (!domain || !field) return std::nullopt;
  return SubjectAst{std::move(*domain), std::move(*field)};
}

// Strings before numbers before booleans.
std::optional<LiteralValueAst> match_literal(BufferedValue value) {
  if (auto text = match_text(value)) return LiteralValueAst(std::move(*text));
  if (auto number = match_number(value)) return LiteralValueAst(*number);
  if (auto boolean = match_boolean(value)) return LiteralValueAst(*boolean);
  return std::nullopt;
}

std::optional<ValueAst> match_value(BufferedValue value) {
  const ReadNotes::Count before = value.notes_taken();
  if (auto literal = match_keyed(value, kLiteralKey)) {
    if (auto matched = match_literal(*literal))
      return ValueAst{ValueAst::Literal{std::move(*matched)}};
  }
  value.drop_notes_since(before);
  if (auto subject = match_keyed(value, kSubjectKey)) {
    if (auto matched = match_subject(*subject))
      return ValueAst{ValueAst::Subject{std::move(*matched)}};
  }
  return std::nullopt;
}

// The right side is noted at its subject, when it is one.
void note_sides(BufferedValue comparison, std::size_t at, const Found<3>& found,
                const ValueAst& right) {
  std::optional<BufferedValue> right_node = found[2];
  if (std::holds_alternative<ValueAst::Subject>(right.value)) {
    right_node = match_keyed(*found[2], kSubjectKey);
  }
  comparison.note_sides(at, *found[0], *right_node);
}

std::optional<AtomicConditionAst> match_atomic(BufferedValue value) {
  Found<3> found;
  // Noted first, so that it stands before the keys skipped inside it.
  const ReadNotes::Count before = value.notes_taken();
  value.note_comparison();
  if (match_record(value, kAtomicKeys, found, true)) {
    auto subject = match_subject(*found[0]);
    auto op = match_text(*found[1]);
    auto right = match_value(*found[2]);
    if (subject && op && right) {
      if (value.taking_notes()) note_sides(value, before.comparisons, found, *right);
      return AtomicConditionAst{std::move(*subject), std::move(*op), std::move(*right)};
    }
  }
  value.drop_notes_since(before);
  return std::nullopt;
}

std::optional<std::vector<AtomicConditionAst>> match_atomic_list(BufferedValue value,
                                                                 std::string_view key) {
  auto list = match_keyed(value, key);
  if (!list) return std::nullopt;
  return match_list<AtomicConditionAst>(*list, match_atomic);
}

// Each alternative that does not match drops its notes before the next is tried.
std::optional<ConditionAst> match_condition(BufferedValue value) {
  const ReadNotes::Count before = value.notes_taken();
  if (auto atomic = match_atomic(value))
    return ConditionAst{ConditionAst::Atomic{std::move(*atomic)}};
  value.drop_notes_since(before);
  if (auto all = match_atomic_list(value, kAllKey))
    return ConditionAst{ConditionAst::All{std::move(*all)}};
  value.drop_notes_since(before);
  if (auto any = match_atomic_list(value, kAnyKey))
    return ConditionAst{ConditionAst::Any{std::move(*any)}};
  return std::nullopt;
}

// Under these keys match_condition and match_scope read a mapping at the top
// of the value; the atomic form also reads three positions.
constexpr TopKeys kConditionTop{kConditionKeys, 3};
constexpr TopKeys kScopeTop{kScopeKeys, 1};

std::optional<ScopeAst> match_scope(BufferedValue value) {
  const ReadNotes::Count before = value.notes_taken();
  if (auto action = match_keyed(value, kActionKey)) {
    if (auto name = match_text(*action)) return ScopeAst{ScopeAst::Action{std::move(*name)}};
  }
  value.drop_notes_since(before);
  if (auto actor = match_keyed(value, kActorKey)) {
    if (auto name = match_text(*actor)) return ScopeAst{ScopeAst::Actor{std::move(*name)}};
  }
  value.drop_notes_since(before);
  if (auto global = match_keyed(value, kGlobalKey)) {
    if (auto flag = match_boolean(*global)) return ScopeAst{ScopeAst::Global{*flag}};
  }
  return std::nullopt;
}

// Notes the buffered value just read as the rule's scope or condition.
void note_buffered(EventReader& reader, NotedNode NotedRule::*part) {
  if (ReadNotes* notes = reader.notes())
    notes->rules.back().*part = {reader.scratch_events()[0], {}};
}

Status read_scope(EventReader& reader, ScopeAst& scope) {
  Status read = read_alternatives(reader, "ScopeAst", kScopeTop, match_scope, scope);
  if (read) note_buffered(reader, &NotedRule::scope);
  return read;
}

Status read_condition(EventReader& reader, ConditionAst& condition) {
  Status read =
      read_alternatives(reader, "ConditionAst", kConditionTop, match_condition, condition);
  if (read) note_buffered(reader, &NotedRule::when);
  return read;
}

Status read_rule(EventReader& reader, RuleAst& rule) {
  if (Status noted = reader.note_rule(); !noted) return noted;
  static constexpr std::array kFields{
      required_field<&RuleAst::id, read_text>("id"),
      required_field<&RuleAst::scope, read_scope>("scope"),
      required_field<&RuleAst::when, read_condition>("when"),
      required_field<&RuleAst::effect, read_word<EffectAst>>("effect"),
  };
  return read_record(reader, "struct RuleAst", kFields, rule);
}

Status read_policy_root(EventReader& reader, PolicyAst& policy) {
  static constexpr std::array kFields{
      required_field<&PolicyAst::version, read_u32>("version"),
      required_field<&PolicyAst::rules, read_list<read_rule>>("rules"),
  };
  return read_record(reader, "struct PolicyAst", kFields, policy);
}

}  // namespace

Expected<PolicyAst, DocumentError> read_policy(std::string_view text, ReadNotes* notes) {
  return read_tree<PolicyAst>(text, read_policy_root, notes);
}

}  // namespace tamsel
