// The policy document: a version and the ordered rules, whose scopes and
// conditions are alternatives matched on buffered values.
#include <array>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "documents/buffered.h"
#include "documents/direct_alternatives.h"
#include "documents/document.h"
#include "documents/readers.h"
#include "documents/rules.h"

namespace tamsel {
namespace {

template <std::size_t N>
using Found = std::array<std::optional<BufferedValue>, N>;

// One-key forms such as {action: NAME} or {literal: VALUE}.
std::optional<BufferedValue> keyed(BufferedValue value, std::string_view key) {
  const std::array<std::string_view, 1> names{key};
  Found<1> found;
  if (!match_record(value, names, found)) return std::nullopt;
  return found[0];
}

std::optional<SubjectAst> match_subject(BufferedValue value) {
  static constexpr std::array<std::string_view, 2> kNames{"domain", "field"};
  Found<2> found;
  if (!match_record(value, kNames, found, true)) return std::nullopt;
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
  if (auto literal = keyed(value, "literal")) {
    if (auto matched = match_literal(*literal))
      return ValueAst{ValueAst::Literal{std::move(*matched)}};
  }
  if (auto subject = keyed(value, "subject")) {
    if (auto matched = match_subject(*subject))
      return ValueAst{ValueAst::Subject{std::move(*matched)}};
  }
  return std::nullopt;
}

std::optional<AtomicConditionAst> match_atomic(BufferedValue value) {
  static constexpr std::array<std::string_view, 3> kNames{"subject", "operator", "value"};
  Found<3> found;
  if (!match_record(value, kNames, found, true)) return std::nullopt;
  auto subject = match_subject(*found[0]);
  auto op = match_text(*found[1]);
  auto right = match_value(*found[2]);
  if (!subject || !op || !right) return std::nullopt;
  return AtomicConditionAst{std::move(*subject), std::move(*op), std::move(*right)};
}

std::optional<std::vector<AtomicConditionAst>> match_atomic_list(BufferedValue value,
                                                                 std::string_view key) {
  auto list = keyed(value, key);
  if (!list) return std::nullopt;
  return match_list<AtomicConditionAst>(*list, match_atomic);
}

std::optional<ConditionAst> match_condition(BufferedValue value) {
  if (auto atomic = match_atomic(value))
    return ConditionAst{ConditionAst::Atomic{std::move(*atomic)}};
  if (auto all = match_atomic_list(value, "all"))
    return ConditionAst{ConditionAst::All{std::move(*all)}};
  if (auto any = match_atomic_list(value, "any"))
    return ConditionAst{ConditionAst::Any{std::move(*any)}};
  return std::nullopt;
}

// Every key by which match_condition or match_scope reads a mapping at the
// top of the value; the atomic form reads three positions.
constexpr std::array<std::string_view, 5> kConditionKeyNames{"subject", "operator", "value", "all",
                                                             "any"};
constexpr TopKeys kConditionKeys{kConditionKeyNames, 3};
constexpr std::array<std::string_view, 3> kScopeKeyNames{"action", "actor", "global"};
constexpr TopKeys kScopeKeys{kScopeKeyNames, 1};

std::optional<ScopeAst> match_scope(BufferedValue value) {
  if (auto action = keyed(value, "action")) {
    if (auto name = match_text(*action)) return ScopeAst{ScopeAst::Action{std::move(*name)}};
  }
  if (auto actor = keyed(value, "actor")) {
    if (auto name = match_text(*actor)) return ScopeAst{ScopeAst::Actor{std::move(*name)}};
  }
  if (auto global = keyed(value, "global")) {
    if (auto flag = match_boolean(*global)) return ScopeAst{ScopeAst::Global{*flag}};
  }
  return std::nullopt;
}

Status read_rule(EventReader& reader, RuleAst& rule) {
  static constexpr std::array kFields{FieldRule{"id"}, FieldRule{"scope"}, FieldRule{"when"},
                                      FieldRule{"effect"}};
  return read_record(reader, "struct RuleAst", kFields, [&](std::size_t field) -> Status {
    switch (field) {
      case 0:
        return read_text(reader, rule.id);
      case 1:
        if (read_scope_directly(reader, rule.scope)) return Ok{};
        return read_alternatives(reader, "ScopeAst", kScopeKeys, match_scope, rule.scope);
      case 2:
        if (read_condition_directly(reader, rule.when)) return Ok{};
        return read_alternatives(reader, "ConditionAst", kConditionKeys, match_condition,
                                 rule.when);
      default:
        return read_word(reader, rule.effect);
    }
  });
}

Status read_policy_root(EventReader& reader, PolicyAst& policy) {
  static constexpr std::array kFields{FieldRule{"version"}, FieldRule{"rules"}};
  return read_record(reader, "struct PolicyAst", kFields, [&](std::size_t field) -> Status {
    if (field == 0) return read_u32(reader, policy.version);
    return read_list(reader, policy.rules, [&](RuleAst& rule) { return read_rule(reader, rule); });
  });
}

}  // namespace

Expected<PolicyAst, DocumentError> read_policy(std::string_view text) {
  return read_tree<PolicyAst>(text, read_policy_root);
}

}  // namespace tamsel
