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

std::optional<BufferedValue> keyed(BufferedValue value, std::string_view key) {
  const std::array<std::string_view, 1> names{key};
  std::array<std::optional<BufferedValue>, 1> found;
  if (!match_record(value, names, found)) return std::nullopt;
  return found[0];
}

std::optional<std::vector<std::string>> match_text_list(BufferedValue value) {
  return match_list<std::string>(value, match_text);
}

// The first variant whose key holds a value of its kind wins; the others'
// keys are then ignored.
std::optional<Constraint> match_constraint(BufferedValue value) {
  if (auto key = keyed(value, "exists")) {
    if (auto flag = match_boolean(*key)) return Constraint{Constraint::Exists{*flag}};
  }
  if (auto key = keyed(value, "min_count")) {
    if (auto count = match_unsigned(*key)) return Constraint{Constraint::MinCount{*count}};
  }
  if (auto key = keyed(value, "max_count")) {
    if (auto count = match_unsigned(*key)) return Constraint{Constraint::MaxCount{*count}};
  }
  if (auto key = keyed(value, "forbid")) {
    if (auto flag = match_boolean(*key)) return Constraint{Constraint::Forbid{*flag}};
  }
  if (auto key = keyed(value, "allowed_fields")) {
    if (auto fields = match_text_list(*key)) {
      return Constraint{Constraint::AllowedFields{std::move(*fields)}};
    }
  }
  return std::nullopt;
}

// Every key by which match_constraint reads a mapping.
constexpr std::array<std::string_view, 5> kConstraintKeyNames{"exists", "min_count", "max_count",
                                                              "forbid", "allowed_fields"};
constexpr TopKeys kConstraintKeys{kConstraintKeyNames, 1};

Status read_optional_text(EventReader& reader, std::optional<std::string>& out) {
  return read_optional(reader, out, [&](std::string& text) { return read_text(reader, text); });
}

Status read_subject_filter(EventReader& reader, SubjectFilter& filter) {
  static constexpr std::array kFields{FieldRule{"domain", true}, FieldRule{"field", true}};
  return read_record(reader, "struct SubjectFilter", kFields, [&](std::size_t field) {
    return read_optional_text(reader, field == 0 ? filter.domain : filter.field);
  });
}

Status read_when_filter(EventReader& reader, WhenFilter& filter) {
  static constexpr std::array kFields{FieldRule{"subject", true}};
  return read_record(reader, "struct WhenFilter", kFields, [&](std::size_t) {
    return read_optional(reader, filter.subject, [&](SubjectFilter& subject) {
      return read_subject_filter(reader, subject);
    });
  });
}

Status read_scope_filter(EventReader& reader, ScopeFilter& filter) {
  static constexpr std::array kFields{FieldRule{"action", true}, FieldRule{"global", true}};
  return read_record(reader, "struct ScopeFilter", kFields, [&](std::size_t field) -> Status {
    if (field == 0) return read_optional_text(reader, filter.action);
    return read_optional(reader, filter.global,
                         [&](bool& global) { return read_boolean(reader, global); });
  });
}

Status read_rule_filter(EventReader& reader, RuleFilter& filter) {
  static constexpr std::array kFields{FieldRule{"id", true}, FieldRule{"scope", true},
                                      FieldRule{"when", true}, FieldRule{"effect", true}};
  return read_record(reader, "struct RuleFilter", kFields, [&](std::size_t field) -> Status {
    switch (field) {
      case 0:
        return read_optional_text(reader, filter.id);
      case 1:
        return read_optional(reader, filter.scope,
                             [&](ScopeFilter& scope) { return read_scope_filter(reader, scope); });
      case 2:
        return read_optional(reader, filter.when,
                             [&](WhenFilter& when) { return read_when_filter(reader, when); });
      default:
        return read_optional_text(reader, filter.effect);
    }
  });
}

Status read_selector(EventReader& reader, Selector& selector) {
  static constexpr std::array kFields{FieldRule{"where"}};
  return read_record(reader, "struct Selector", kFields,
                     [&](std::size_t) { return read_rule_filter(reader, selector.where); });
}

Status read_applies_to(EventReader& reader, AppliesTo& applies_to) {
  static constexpr std::array kFields{FieldRule{"actions"}};
  return read_record(reader, "struct AppliesTo", kFields, [&](std::size_t) {
    return read_list(reader, applies_to.actions,
                     [&](std::string& action) { return read_text(reader, action); });
  });
}

Status read_governance_rule(EventReader& reader, GovernanceRule& rule) {
  static constexpr std::array kFields{FieldRule{"id"}, FieldRule{"applies_to", true},
                                      FieldRule{"select"}, FieldRule{"must"}, FieldRule{"error"}};
  return read_record(reader, "struct GovernanceRule", kFields, [&](std::size_t field) -> Status {
    switch (field) {
      case 0:
        return read_text(reader, rule.id);
      case 1:
        return read_optional(reader, rule.applies_to, [&](AppliesTo& applies_to) {
          return read_applies_to(reader, applies_to);
        });
      case 2:
        return read_selector(reader, rule.select);
      case 3:
        return read_alternatives(reader, "Constraint", kConstraintKeys, match_constraint,
                                 rule.must);
      default:
        return read_text(reader, rule.error);
    }
  });
}

Status read_governance_block(EventReader& reader, GovernanceBlock& block) {
  static constexpr std::array kFields{FieldRule{"rules"}};
  return read_record(reader, "struct GovernanceBlock", kFields, [&](std::size_t) {
    return read_list(reader, block.rules,
                     [&](GovernanceRule& rule) { return read_governance_rule(reader, rule); });
  });
}

Status read_governance_root(EventReader& reader, GovernanceAst& governance) {
  static constexpr std::array kFields{FieldRule{"version"}, FieldRule{"governance"}};
  return read_record(reader, "struct GovernanceAst", kFields, [&](std::size_t field) -> Status {
    if (field == 0) return read_u32(reader, governance.version);
    return read_governance_block(reader, governance.governance);
  });
}

}  // namespace

Expected<GovernanceAst, DocumentError> read_governance(std::string_view text) {
  return read_tree<GovernanceAst>(text, read_governance_root);
}

}  // namespace tamsel
