#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "compiler_test_support.h"
#include "governance/validate.h"

namespace tamsel {
namespace {

using namespace tamsel::testing;

GovernanceRule governance(std::string id, RuleFilter where, Constraint must,
                          std::string error = "broken",
                          std::optional<std::vector<std::string>> applies_to = std::nullopt) {
  GovernanceRule rule{std::move(id), std::nullopt, Selector{std::move(where)}, std::move(must),
                      std::move(error)};
  if (applies_to) rule.applies_to = AppliesTo{std::move(*applies_to)};
  return rule;
}

RuleFilter by_effect(std::string effect) {
  RuleFilter filter;
  filter.effect = std::move(effect);
  return filter;
}

RuleFilter by_subject(std::optional<std::string> domain, std::optional<std::string> field) {
  RuleFilter filter;
  filter.when = WhenFilter{SubjectFilter{std::move(domain), std::move(field)}};
  return filter;
}

RuleFilter by_scope(std::optional<std::string> action, std::optional<bool> global) {
  RuleFilter filter;
  filter.scope = ScopeFilter{std::move(action), global};
  return filter;
}

RuleFilter by_id(std::string id) {
  RuleFilter filter;
  filter.id = std::move(id);
  return filter;
}

// Rules written to exercise selection; several would not compile.
std::vector<RuleAst> selection_policy() {
  return {
      rule("a1", action_scope("refund"),
           atomic(compare(subject("action", "amount"), "greater_than", literal(1.0)))),
      rule("a2", action_scope("Refund"),
           atomic(compare(subject("actor", "role"), "equals", literal("x"))), EffectAst::Allow),
      rule("c1", actor_scope("agent"),
           all_of({compare(subject("actor", "trust_level"), "less_than", literal(3.0)),
                   compare(subject("snapshot", "min_trust_level"), "equals", literal(1.0))}),
           EffectAst::RequireApproval),
      rule("g1", global_scope(true),
           any_of({compare(subject("snapshot", "maintenance_mode"), "equals", literal(true)),
                   compare(subject("actor", "frozen"), "equals", field_ref("snapshot", "role"))})),
      rule("g0", global_scope(false), any_of({})),
      rule("r1", actor_scope("refund"),
           atomic(compare(subject("actor", "role"), "equals", field_ref("action", "amount"))),
           EffectAst::Allow),
  };
}

struct SelectCase {
  const char* name;
  RuleFilter where;
  std::string expected_ids;
};

std::string selected_ids(const RuleFilter& where, const std::vector<RuleAst>& rules) {
  std::string ids;
  const GovernanceRule rule = governance("g", where, Constraint{Constraint::Exists{true}});
  for (const RuleAst* selected : select_rules(rule, rules)) {
    ids += (ids.empty() ? "" : ",") + selected->id;
  }
  return ids;
}

TEST(GovernanceSelect, SelectsByEachFilterPart) {
  RuleFilter action_and_global = by_scope("refund", true);
  RuleFilter id_and_effect = by_id("a1");
  id_and_effect.effect = "allow";
  RuleFilter when_without_subject;
  when_without_subject.when = WhenFilter{};
  const SelectCase cases[] = {
      {"empty where", RuleFilter{}, "a1,a2,c1,g1,g0,r1"},
      {"id", by_id("g1"), "g1"},
      {"id case", by_id("G1"), ""},
      {"effect", by_effect("block"), "a1,g1,g0"},
      {"effect case", by_effect("Block"), ""},
      {"global true", by_scope(std::nullopt, true), "g1"},
      {"global false", by_scope(std::nullopt, false), "a1,a2,c1,g0,r1"},
      {"action", by_scope("refund", std::nullopt), "a1"},
      {"action and global true", action_and_global, ""},
      {"action and global false", by_scope("refund", false), "a1"},
      {"id and effect", id_and_effect, ""},
      {"when without subject", when_without_subject, "a1,a2,c1,g1,g0,r1"},
      {"subject without parts", by_subject(std::nullopt, std::nullopt), "a1,a2,c1,g1,r1"},
      {"domain", by_subject("actor", std::nullopt), "a2,c1,g1,r1"},
      {"domain case", by_subject("Actor", std::nullopt), ""},
      {"field, right sides ignored", by_subject(std::nullopt, "amount"), "a1"},
      {"field only on the right elsewhere", by_subject(std::nullopt, "role"), "a2,r1"},
      {"later member fits", by_subject("snapshot", "min_trust_level"), "c1"},
      {"domain and field in different members", by_subject("snapshot", "trust_level"), ""},
  };
  const std::vector<RuleAst> rules = selection_policy();
  for (const auto& c : cases) EXPECT_EQ(selected_ids(c.where, rules), c.expected_ids) << c.name;
}

struct GateCase {
  std::optional<std::vector<std::string>> actions;
  bool expected;
};

// Names that no policy here uses, to make lists long enough to be hashed.
std::vector<std::string> filler(std::vector<std::string> names) {
  for (int i = 0; i < 40; ++i) names.push_back("filler" + std::to_string(i));
  return names;
}

TEST(GovernanceSelect, AppliesToGate) {
  const GateCase cases[] = {
      {filler({"Refund"}), true},
      {filler({}), false},
      {filler({"refun", "refund ", "agent"}), false},
      {std::nullopt, true},
      {std::vector<std::string>{}, false},
      {std::vector<std::string>{"refund"}, true},
      {std::vector<std::string>{"Refund"}, true},
      {std::vector<std::string>{"agent"}, false},     // named only by an actor scope
      {std::vector<std::string>{"transfer"}, false},  // named by no scope
      {std::vector<std::string>{"x", "refund"}, true},
      {std::vector<std::string>{"refun", "refund ", "refundx"}, false},
      {std::vector<std::string>{"refund", "refund"}, true},
  };
  const std::vector<RuleAst> rules = selection_policy();
  for (const auto& c : cases) {
    const GovernanceRule rule =
        governance("g", RuleFilter{}, Constraint{Constraint::Exists{true}}, "e", c.actions);
    EXPECT_EQ(considered(rule, rules), c.expected);
    EXPECT_EQ(considered(rule, {}), !c.actions.has_value());
  }
}

// Rules that all compile against the sample catalogue.
std::vector<RuleAst> compiling_policy() {
  return {
      rule("big-refund", action_scope("refund"),
           atomic(compare(subject("action", "amount"), "greater_than", literal(1000.0)))),
      rule("review", actor_scope("agent"),
           all_of({compare(subject("actor", "trust_level"), "less_than", literal(3.0)),
                   compare(subject("snapshot", "maintenance_mode"), "equals", literal(false))}),
           EffectAst::RequireApproval),
      rule("maint", global_scope(true),
           atomic(compare(subject("snapshot", "maintenance_mode"), "equals", literal(true)))),
  };
}

struct ValidateCase {
  const char* name;
  std::vector<GovernanceRule> rules;
  std::string expected;  // "passes" or the error text
};

// "passes", or the error text of the violations found.
std::string outcome(const std::vector<GovernanceRule>& rules,
                    const std::vector<RuleAst>& policy_rules) {
  const auto violations = find_violations(policy_rules, rules);
  return violations.empty() ? "passes" : violations_message(violations);
}

std::string failed(const std::string& id) {
  return "governance validation failed: [GovernanceViolation { rule_id: \"" + id +
         "\", message: \"broken\" }]";
}

Constraint exists(bool flag) { return Constraint{Constraint::Exists{flag}}; }
Constraint min_count(std::uint64_t n) { return Constraint{Constraint::MinCount{n}}; }
Constraint max_count(std::uint64_t n) { return Constraint{Constraint::MaxCount{n}}; }
Constraint forbid(bool flag) { return Constraint{Constraint::Forbid{flag}}; }
Constraint allowed_fields(std::vector<std::string> fields) {
  return Constraint{Constraint::AllowedFields{std::move(fields)}};
}

TEST(GovernanceValidate, Constraints) {
  const std::vector<std::string> every_field = {"action.amount", "actor.trust_level",
                                                "snapshot.maintenance_mode"};
  const ValidateCase cases[] = {
      {"no governance rules", {}, "passes"},
      {"exists, present", {governance("e", by_effect("block"), exists(true))}, "passes"},
      {"exists, absent", {governance("e", by_effect("deny"), exists(true))}, failed("e")},
      {"exists false, absent", {governance("e", by_id("nope"), exists(false))}, "passes"},
      {"exists false, present", {governance("e", by_id("maint"), exists(false))}, failed("e")},
      {"min_count met exactly", {governance("m", by_effect("block"), min_count(2))}, "passes"},
      {"min_count short", {governance("m", by_effect("block"), min_count(3))}, failed("m")},
      {"min_count 0, nothing selected", {governance("m", by_id("x"), min_count(0))}, "passes"},
      {"empty where counts all", {governance("m", RuleFilter{}, min_count(4))}, failed("m")},
      {"max_count met exactly", {governance("x", by_effect("block"), max_count(2))}, "passes"},
      {"max_count exceeded", {governance("x", by_effect("block"), max_count(1))}, failed("x")},
      {"max_count 0 as forbid", {governance("x", by_id("review"), max_count(0))}, failed("x")},
      {"forbid, present", {governance("f", by_id("review"), forbid(true))}, failed("f")},
      {"forbid, absent", {governance("f", by_id("none"), forbid(true))}, "passes"},
      {"forbid false", {governance("f", RuleFilter{}, forbid(false))}, "passes"},
      {"allowed fields, all allowed",
       {governance("a", RuleFilter{}, allowed_fields(every_field))},
       "passes"},
      {"allowed fields, member outside",
       {governance("a", RuleFilter{},
                   allowed_fields({"action.amount", "actor.trust_level", "snapshot.maint"}))},
       failed("a")},
      {"allowed fields, whole texts only",
       {governance("a", by_id("maint"),
                   allowed_fields({"snapshot.maintenance_mod", "snapshot.maintenance_mode ",
                                   "snapshot", "maintenance_mode", "Snapshot.maintenance_mode"}))},
       failed("a")},
      {"allowed fields, long list",
       {governance("a", RuleFilter{}, allowed_fields(filler(every_field)))},
       "passes"},
      {"allowed fields, long list, member outside",
       {governance("a", RuleFilter{},
                   allowed_fields(filler({"action.amount", "actor.trust_level"})))},
       failed("a")},
      {"allowed fields, repeated entries",
       {governance("a", by_id("maint"),
                   allowed_fields({"snapshot.maintenance_mode", "snapshot.maintenance_mode"}))},
       "passes"},
      {"allowed fields, empty list",
       {governance("a", by_id("maint"), allowed_fields({}))},
       failed("a")},
      {"allowed fields, nothing selected",
       {governance("a", by_id("none"), allowed_fields({}))},
       "passes"},
      {"gate skips even exists",
       {governance("g", by_id("none"), exists(true), "broken", std::vector<std::string>{"review"})},
       "passes"},
      {"gate open selects from all rules",
       {governance("g", by_id("maint"), forbid(true), "broken",
                   std::vector<std::string>{"refund"})},
       failed("g")},
  };
  for (const auto& c : cases) EXPECT_EQ(outcome(c.rules, compiling_policy()), c.expected) << c.name;
}

TEST(GovernanceValidate, CollectsEveryViolationInOrder) {
  const std::vector<GovernanceRule> rules = {
      governance("first \"one\"", by_effect("block"), max_count(0), "no\nblocks"),
      governance("passes", RuleFilter{}, min_count(1)),
      governance("second", by_id("review"), forbid(true), "it's \\ forbidden"),
  };
  EXPECT_EQ(outcome(rules, compiling_policy()),
            "governance validation failed: [GovernanceViolation { rule_id: \"first \\\"one\\\"\", "
            "message: \"no\\nblocks\" }, GovernanceViolation { rule_id: \"second\", message: "
            "\"it's \\\\ forbidden\" }]");
}

}  // namespace
}  // namespace tamsel
