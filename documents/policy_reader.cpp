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
  if (auto literal = match_keyed(value, "literal")) {
    if (auto matched = match_literal(*literal))
      return ValueAst{ValueAst::Literal{std::move(*matched)}};
  }
  if (auto subject = match_keyed(value, "subject")) {
    if (auto matched = match_subject(*subject))
      return ValueAst{ValueAst::Subject{std::move(*matched)}};
  }
  return std::nullopt;
}

std::optional<AtomicConditionAst> match_atomic(BufferedValue value) {
  Found<3> found;
  if (!match_record(value, kAtomicKeys, found, true)) return std::nullopt;
  auto subject = match_subject(*found[0]);
  auto op = match_text(*found[1]);
  auto right = match_value(*found[2]);
  if (!subject || !op || !right) return std::nullopt;
  return AtomicConditionAst{std::move(*subject), std::move(*op), std::move(*right)};
}

std::optional<std::vector<AtomicConditionAst>> match_atomic_list(BufferedValue value,
                                                                 std::string_view key) {
  auto list = match_keyed(value, key);
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

// Under these keys match_condition and match_scope read a mapping at the top
// of the value; the atomic form also reads three positions.
constexpr TopKeys kConditionTop{kConditionKeys, 3};
constexpr TopKeys kScopeTop{kScopeKeys, 1};

std::optional<ScopeAst> match_scope(BufferedValue value) {
  if (auto action = match_keyed(value, "action")) {
    if (auto name = match_text(*action)) return ScopeAst{ScopeAst::Action{std::move(*name)}};
  }
  if (auto actor = match_keyed(value, "actor")) {
    if (auto name = match_text(*actor)) return ScopeAst{ScopeAst::Actor{std::move(*name)}};
  }
  if (auto global = match_keyed(value, "global")) {
    if (auto flag = match_boolean(*global)) return ScopeAst{ScopeAst::Global{*flag}};
  }
  return std::nullopt;
}

Status read_scope(EventReader& reader, ScopeAst& scope) {
  if (read_scope_directly(reader, scope)) return Ok{};
  return read_alternatives(reader, "ScopeAst", kScopeTop, match_scope, scope);
}

Status read_condition(EventReader& reader, ConditionAst& condition) {
  if (read_condition_directly(reader, condition)) return Ok{};
  return read_alternatives(reader, "ConditionAst", kConditionTop, match_condition, condition);
}

Status read_rule(EventReader& reader, RuleAst& rule) {
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

Expected<PolicyAst, DocumentError> read_policy(std::string_view text) {
  return read_tree<PolicyAst>(text, read_policy_root);
}

}  // namespace tamsel
