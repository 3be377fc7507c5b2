// The governance document: rules about the policy, each a selector and a
// constraint whose form is one of five alternatives.
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

std::optional<std::vector<std::string>> match_text_list(BufferedValue value) {
  return match_list<std::string>(value, match_text);
}

// The first variant whose key holds a value of its kind wins; the others'
// keys are then ignored. A variant that does not match drops its notes.
std::optional<Constraint> first_constraint(BufferedValue value) {
  const ReadNotes::Count before = value.notes_taken();
  if (auto key = match_keyed(value, "exists")) {
    if (auto flag = match_boolean(*key)) return Constraint{Constraint::Exists{*flag}};
  }
  value.drop_notes_since(before);
  if (auto key = match_keyed(value, "min_count")) {
    if (auto count = match_unsigned(*key)) return Constraint{Constraint::MinCount{*count}};
  }
  value.drop_notes_since(before);
  if (auto key = match_keyed(value, "max_count")) {
    if (auto count = match_unsigned(*key)) return Constraint{Constraint::MaxCount{*count}};
  }
  value.drop_notes_since(before);
  if (auto key = match_keyed(value, "forbid")) {
    if (auto flag = match_boolean(*key)) return Constraint{Constraint::Forbid{*flag}};
  }
  value.drop_notes_since(before);
  if (auto key = match_keyed(value, "allowed_fields")) {
    if (auto fields = match_text_list(*key)) {
      return Constraint{Constraint::AllowedFields{std::move(*fields)}};
    }
  }
  return std::nullopt;
}

bool match_constraint(BufferedValue value, Constraint& out) {
  auto matched = first_constraint(value);
  if (matched) out = std::move(*matched);
  return matched.has_value();
}

// Every key by which match_constraint reads a mapping.
constexpr std::array<std::string_view, 5> kConstraintKeyNames{"exists", "min_count", "max_count",
                                                              "forbid", "allowed_fields"};
constexpr TopKeys kConstraintTop{kConstraintKeyNames, 1};

Status read_subject_filter(EventReader& reader, SubjectFilter& filter) {
  static constexpr std::array kFields{
      optional_field<&SubjectFilter::domain, read_text>("domain"),
      optional_field<&SubjectFilter::field, read_text>("field"),
  };
  return read_record(reader, "struct SubjectFilter", kFields, filter);
}

Status read_when_filter(EventReader& reader, WhenFilter& filter) {
  static constexpr std::array kFields{
      optional_field<&WhenFilter::subject, read_subject_filter>("subject"),
  };
  return read_record(reader, "struct WhenFilter", kFields, filter);
}

Status read_scope_filter(EventReader& reader, ScopeFilter& filter) {
  static constexpr std::array kFields{
      optional_field<&ScopeFilter::action, read_text>("action"),
      optional_field<&ScopeFilter::global, read_boolean>("global"),
  };
  return read_record(reader, "struct ScopeFilter", kFields, filter);
}

Status read_rule_filter(EventReader& reader, RuleFilter& filter) {
  static constexpr std::array kFields{
      optional_field<&RuleFilter::id, read_text>("id"),
      optional_field<&RuleFilter::scope, read_scope_filter>("scope"),
      optional_field<&RuleFilter::when, read_when_filter>("when"),
      optional_field<&RuleFilter::effect, read_text>("effect"),
  };
  return read_record(reader, "struct RuleFilter", kFields, filter);
}

Status read_selector(EventReader& reader, Selector& selector) {
  static constexpr std::array kFields{
      required_field<&Selector::where, read_rule_filter>("where"),
  };
  return read_record(reader, "struct Selector", kFields, selector);
}

Status read_applies_to(EventReader& reader, AppliesTo& applies_to) {
  static constexpr std::array kFields{
      required_field<&AppliesTo::actions, read_list<read_text>>("actions"),
  };
  return read_record(reader, "struct AppliesTo", kFields, applies_to);
}

Status read_constraint(EventReader& reader, Constraint& constraint) {
  return read_alternatives(reader, "Constraint", kConstraintTop, match_constraint, constraint);
}

Status read_governance_rule(EventReader& reader, GovernanceRule& rule) {
  if (Status noted = reader.note_rule(); !noted) return noted;
  static constexpr std::array kFields{
      required_field<&GovernanceRule::id, read_text>("id"),
      optional_field<&GovernanceRule::applies_to, read_applies_to>("applies_to"),
      required_field<&GovernanceRule::select, read_selector>("select"),
      required_field<&GovernanceRule::must, read_constraint>("must"),
      required_field<&GovernanceRule::error, read_text>("error"),
  };
  return read_record(reader, "struct GovernanceRule", kFields, rule);
}

Status read_governance_block(EventReader& reader, GovernanceBlock& block) {
  static constexpr std::array kFields{
      required_field<&GovernanceBlock::rules, read_list<read_governance_rule>>("rules"),
  };
  return read_record(reader, "struct GovernanceBlock", kFields, block);
}

Status read_governance_root(EventReader& reader, GovernanceAst& governance) {
  static constexpr std::array kFields{
      required_field<&GovernanceAst::version, read_u32>("version"),
      required_field<&GovernanceAst::governance, read_governance_block>("governance"),
  };
  return read_record(reader, "struct GovernanceAst", kFields, governance);
}

}  // namespace

Expected<GovernanceAst, DocumentError> read_governance(std::string_view text, ReadNotes* notes) {
  return read_tree<GovernanceAst>(text, read_governance_root, notes);
}

}  // namespace tamsel
