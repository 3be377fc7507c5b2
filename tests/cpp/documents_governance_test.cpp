#include <gtest/gtest.h>

#include <string>

#include "tests/cpp/documents_test_util.h"

namespace tamsel {
namespace {

using testing::cat;

struct Case {
  std::string text;
  std::string expected;
};

std::string show_optional(const char* name, const std::optional<std::string>& value) {
  return value ? cat(" ", name, "=", *value) : std::string();
}

std::string show_constraint(const Constraint& must) {
  if (const auto* exists = std::get_if<Constraint::Exists>(&must.value)) {
    return exists->exists ? "exists" : "exists:false";
  }
  if (const auto* min = std::get_if<Constraint::MinCount>(&must.value)) {
    return cat("min:", std::to_string(min->min_count));
  }
  if (const auto* max = std::get_if<Constraint::MaxCount>(&must.value)) {
    return cat("max:", std::to_string(max->max_count));
  }
  if (const auto* forbid = std::get_if<Constraint::Forbid>(&must.value)) {
    return forbid->forbid ? "forbid" : "forbid:false";
  }
  std::string shown = "fields:";
  for (const auto& field : std::get<Constraint::AllowedFields>(must.value).allowed_fields) {
    shown += cat(field, ",");
  }
  return shown;
}

std::string show_rule(const GovernanceRule& rule) {
  std::string shown = rule.id;
  if (rule.applies_to) {
    shown += " applies:";
    for (const auto& action : rule.applies_to->actions) shown += cat(action, ",");
  }
  const RuleFilter& where = rule.select.where;
  shown += " where{";
  shown += show_optional("id", where.id);
  if (where.scope) {
    shown += show_optional("action", where.scope->action);
    if (where.scope->global) shown += *where.scope->global ? " global" : " global:false";
  }
  if (where.when && where.when->subject) {
    shown += show_optional("domain", where.when->subject->domain);
    shown += show_optional("field", where.when->subject->field);
  }
  shown += show_optional("effect", where.effect);
  return cat(shown, " } ", show_constraint(rule.must), " '", rule.error, "'");
}

std::string show_governance(std::string_view text) {
  auto governance = read_governance(text);
  if (!governance) return governance.error().message;
  std::string shown = cat("v", std::to_string(governance->version), ":");
  for (const auto& rule : governance->governance.rules) shown += cat(" ", show_rule(rule), ";");
  return shown;
}

std::string one_rule(const std::string& body) {
  return cat("version: 1\ngovernance:\n  rules:\n    - ", body, "\n");
}

std::string with_must(const std::string& must) {
  return one_rule(cat("{id: g, select: {where: {}}, error: e, must: ", must, "}"));
}

TEST(DocumentsGovernance, ReadsRules) {
  const Case cases[] = {
      {"version: 1\ngovernance:\n  rules: []\n", "v1:"},
      {"version: 1\ngovernance:\n  rules:\n    - id: refund-block\n      select:\n        where:\n"
       "          scope:\n            action: refund\n          effect: block\n      must:\n"
       "        exists: true\n      error: needs a block\n    - id: fields\n"
       "      applies_to:\n        actions: [refund]\n      select:\n        where:\n"
       "          when: {subject: {domain: action, field: amount}}\n      must:\n"
       "        allowed_fields: [action.amount, actor.role]\n      error: only these\n",
       "v1: refund-block where{ action=refund effect=block } exists 'needs a block'; fields "
       "applies:refund, where{ domain=action field=amount } fields:action.amount,actor.role, "
       "'only these';"},
      {one_rule("{id: g, applies_to: {actions: []}, select: {where: {id: ~, scope: {global: "
                "false}, x: 1}}, must: {forbid: true}, error: e}"),
       "v1: g applies: where{ global:false } forbid 'e';"},
      {one_rule("{id: g, applies_to: , select: {where: {effect: Block, when: }}, must: {forbid: "
                "false}, error: e}"),
       "v1: g where{ effect=Block } forbid:false 'e';"},
  };
  for (const Case& c : cases) EXPECT_EQ(show_governance(c.text), c.expected) << c.text;
}

TEST(DocumentsGovernance, MatchesTheFirstFittingConstraint) {
  const Case cases[] = {
      {"{exists: true, forbid: true}", "exists"},
      {"{min_count: 2, max_count: 5}", "min:2"},
      {"{min_count: -1, max_count: 5}", "max:5"},
      {"{min_count: 1.5, max_count: 0x10}", "max:16"},
      {"{max_count: 18446744073709551615}", "max:18446744073709551615"},
      {"{min_count: -0}", "min:0"},
      {"{exists: yes, forbid: false}", "forbid:false"},
      {"{exists: true, exists: true, forbid: true}", "forbid"},
      {"{allowed_fields: []}", "fields:"},
      {"{allowed_fields: [a.b, 'c.d']}", "fields:a.b,c.d,"},
      {"{0: true}", "exists"},
      {"{allowed_fields: [a.b, 5]}", "Constraint"},
      {"{exists: \"true\"}", "Constraint"},
      {"{}", "Constraint"},
      {"~", "Constraint"},
      {"[exists]", "Constraint"},
      {"{other: 1}", "Constraint"},
  };
  for (const Case& c : cases) {
    const std::string expected =
        c.expected == "Constraint"
            ? "governance.rules[0]: data did not match any variant of untagged enum Constraint "
              "at line 4 column 7"
            : cat("v1: g where{ } ", c.expected, " 'e';");
    EXPECT_EQ(show_governance(with_must(c.text)), expected) << c.text;
  }
  EXPECT_EQ(show_governance(with_must("{max_count: 18446744073709551616}")),
            "governance.rules[0].must.max_count: invalid type: integer `18446744073709551616` as "
            "u128, expected any value at line 4 column 64");
}

TEST(DocumentsGovernance, ReportsEachFormError) {
  const Case cases[] = {
      {"", "missing field `version`"},
      {"version: 1\n", "missing field `governance`"},
      {"version: 1\ngovernance: {}\n", "governance: missing field `rules` at line 2 column 13"},
      {"version: 1\ngovernance: []\n",
       "governance: invalid type: sequence, expected struct GovernanceBlock at line 2 column 13"},
      {"[]", "invalid type: sequence, expected struct GovernanceAst"},
      {one_rule("{select: {where: {}}, must: {exists: true}, error: e}"),
       "governance.rules[0]: missing field `id` at line 4 column 7"},
      {one_rule("{id: g, must: {exists: true}, error: e}"),
       "governance.rules[0]: missing field `select` at line 4 column 7"},
      {one_rule("{id: g, select: {where: {}}, error: e}"),
       "governance.rules[0]: missing field `must` at line 4 column 7"},
      {one_rule("{id: g, select: {where: {}}, must: {exists: true}}"),
       "governance.rules[0]: missing field `error` at line 4 column 7"},
      {one_rule("{id: g, select: {}}"),
       "governance.rules[0].select: missing field `where` at line 4 column 23"},
      {one_rule("{id: g, applies_to: {}}"),
       "governance.rules[0].applies_to: missing field `actions` at line 4 column 27"},
      {one_rule("{id: g, id: h}"), "governance.rules[0]: duplicate field `id` at line 4 column 7"},
      {one_rule("{id: g, select: {where: {id: a, id: b}}}"),
       "governance.rules[0].select.where: duplicate field `id` at line 4 column 31"},
      {one_rule("{id: g, select: {where: 5}}"),
       "governance.rules[0].select.where: invalid type: integer `5`, expected struct RuleFilter "
       "at line 4 column 31"},
      {one_rule("{id: g, select: 5}"),
       "governance.rules[0].select: invalid type: integer `5`, expected struct Selector at line 4 "
       "column 23"},
      {one_rule("{id: g, applies_to: 5}"),
       "governance.rules[0].applies_to: invalid type: integer `5`, expected struct AppliesTo at "
       "line 4 column 27"},
      {one_rule("{id: g, select: {where: {scope: [a]}}}"),
       "governance.rules[0].select.where.scope: invalid type: sequence, expected struct "
       "ScopeFilter at line 4 column 39"},
      {one_rule("{id: g, select: {where: {when: 1}}}"),
       "governance.rules[0].select.where.when: invalid type: integer `1`, expected struct "
       "WhenFilter at line 4 column 38"},
      {one_rule("{id: g, select: {where: {when: {subject: x}}}}"),
       "governance.rules[0].select.where.when.subject: invalid type: string \"x\", expected struct "
       "SubjectFilter at line 4 column 48"},
      {one_rule("{id: g, select: {where: {scope: {global: 1}}}}"),
       "governance.rules[0].select.where.scope.global: invalid type: integer `1`, expected a "
       "boolean at line 4 column 48"},
      {one_rule("{id: g, select: {where: {scope: {action: !!null x}}}}"),
       "governance.rules[0].select.where.scope.action: invalid value: string \"x\", expected null "
       "at line 4 column 48"},
      {one_rule("{id: g, applies_to: {actions: [a, [b]]}}"),
       "governance.rules[0].applies_to.actions[1]: invalid type: sequence, expected a string at "
       "line 4 column 41"},
  };
  for (const Case& c : cases) EXPECT_EQ(show_governance(c.text), c.expected) << c.text;
}

}  // namespace
}  // namespace tamsel
