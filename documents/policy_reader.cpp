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

// The matchers fill their result in place, so that no text of a condition is
// moved from one holder to the next; a matcher that fails leaves it partly
// filled, and the alternative tried next starts it afresh.

// A text into out, kept when the value is no text.
bool match_text_into(BufferedValue value, std::string& out) {
  if (value.kind() != BufferedKind::String) return false;
  out.assign(value.text());
  return true;
}

bool match_subject(BufferedValue value, SubjectAst& out) {
  Found<2> found;
  return match_record(value, kSubjectKeys, found, true) && match_text_into(*found[0], out.domain) &&
         match_text_into(*found[1], out.field);
}

// Strings before numbers before booleans.
bool match_literal(BufferedValue value, LiteralValueAst& out) {
  if (value.kind() == BufferedKind::String) {
    out.emplace<std::string>(value.text());
    return true;
  }
  if (auto number = match_number(value)) {
    out = *number;
    return true;
  }
  if (auto boolean = match_boolean(value)) {
    out = *boolean;
    return true;
  }
  return false;
}

bool match_value(BufferedValue value, ValueAst& out) {
  const ReadNotes::Count before = value.notes_taken();
  if (auto literal = match_keyed(value, kLiteralKey)) {
    if (match_literal(*literal, out.value.emplace<ValueAst::Literal>().literal)) return true;
  }
  value.drop_notes_since(before);
  if (auto subject = match_keyed(value, kSubjectKey)) {
    return match_subject(*subject, out.value.emplace<ValueAst::Subject>().subject);
  }
  return false;
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

bool match_atomic(BufferedValue value, AtomicConditionAst& out) {
  Found<3> found;
  // Noted first, so that it stands before the keys skipped inside it.
  const ReadNotes::Count before = value.notes_taken();
  value.note_comparison();
  if (match_record(value, kAtomicKeys, found, true) && match_subject(*found[0], out.subject) &&
      match_text_into(*found[1], out.op) && match_value(*found[2], out.value)) {
    if (value.taking_notes()) note_sides(value, before.comparisons, found, out.value);
    return true;
  }
  value.drop_notes_since(before);
  return false;
}

// The members of the list under key; each is matched in its place in out.
bool match_atomic_list(BufferedValue value, std::string_view key,
                       std::vector<AtomicConditionAst>& out) {
  auto list = match_keyed(value, key);
  if (!list || list->kind() != BufferedKind::Sequence) return false;
  out.reserve(list->count());
  BufferedValue item = list->first_child();
  for (std::uint32_t i = 0; i < list->count(); ++i, item = item.next_sibling()) {
    if (!match_atomic(item, out.emplace_back())) return false;
  }
  return true;
}

// Each alternative that does not match drops its notes before the next is tried.
bool match_condition(BufferedValue value, ConditionAst& out) {
  const ReadNotes::Count before = value.notes_taken();
  if (match_atomic(value, out.value.emplace<ConditionAst::Atomic>().condition)) return true;
  value.drop_notes_since(before);
  if (match_atomic_list(value, kAllKey, out.value.emplace<ConditionAst::All>().conditions)) {
    return true;
  }
  value.drop_notes_since(before);
  return match_atomic_list(value, kAnyKey, out.value.emplace<ConditionAst::Any>().conditions);
}

// Under these keys match_condition and match_scope read a mapping at the top
// of the value; the atomic form also reads three positions.
constexpr TopKeys kConditionTop{kConditionKeys, 3};
constexpr TopKeys kScopeTop{kScopeKeys, 1};

bool match_scope(BufferedValue value, ScopeAst& out) {
  const ReadNotes::Count before = value.notes_taken();
  if (auto action = match_keyed(value, kActionKey)) {
    if (match_text_into(*action, out.value.emplace<ScopeAst::Action>().action)) return true;
  }
  value.drop_notes_since(before);
  if (auto actor = match_keyed(value, kActorKey)) {
    if (match_text_into(*actor, out.value.emplace<ScopeAst::Actor>().actor)) return true;
  }
  value.drop_notes_since(before);
  if (auto global = match_keyed(value, kGlobalKey)) {
    if (auto flag = match_boolean(*global)) {
      out.value.emplace<ScopeAst::Global>(ScopeAst::Global{*flag});
      return true;
    }
  }
  return false;
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
