#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compiler/canonical.h"
#include "compiler/compile.h"
#include "compiler_test_support.h"

namespace tamsel {
namespace {

using namespace tamsel::testing;

struct CompileCase {
  const char* name;
  std::vector<RuleAst> rules;
  std::string expected;  // the error text, or the canonical text of the result
};

std::string outcome(const SchemaCatalogue& catalogue, std::vector<RuleAst> rules) {
  auto compiled = compile_policy(catalogue, std::move(rules));
  return compiled ? canonical_text(*compiled) : message(compiled.error());
}

void run_cases(const std::vector<CompileCase>& cases) {
  const SchemaCatalogue catalogue = sample_catalogue();
  for (const CompileCase& c : cases) {
    EXPECT_EQ(outcome(catalogue, c.rules), c.expected) << c.name;
  }
}

AtomicConditionAst bad_domain() { return compare(subject("x", "f"), "equals", literal(1.0)); }

TEST(CompilePolicy, ScopeChecks) {
  run_cases({
      {"unknown action",
       {rule("r", action_scope("Refund"), atomic(valid_comparison()))},
       "unknown action 'Refund' in scope"},
      {"unknown action before condition",
       {rule("r", action_scope("nope"), any_of({}))},
       "unknown action 'nope' in scope"},
      {"global false",
       {rule("r", global_scope(false), atomic(valid_comparison()))},
       "invalid scope configuration"},
      {"global false before condition",
       {rule("r", global_scope(false), atomic(bad_domain()))},
       "invalid scope configuration"},
      {"first failing rule decides",
       {rule("a", global_scope(true), atomic(valid_comparison())),
        rule("b", action_scope("gone"), atomic(valid_comparison())),
        rule("c", global_scope(false), atomic(valid_comparison()))},
       "unknown action 'gone' in scope"},
  });
}

TEST(CompilePolicy, LogicalConditionChecks) {
  run_cases({
      {"empty all",
       {rule("r", global_scope(true), all_of({}))},
       "invalid logical condition: must contain at least two conditions"},
      {"any of one bad member",
       {rule("r", global_scope(true), any_of({bad_domain()}))},
       "invalid logical condition: must contain at least two conditions"},
      {"middle member decides",
       {rule("r", global_scope(true),
             any_of({valid_comparison(), bad_domain(),
                     compare(subject("actor", "role"), "bogus", literal("x"))}))},
       "unknown domain 'x'"},
  });
}

TEST(CompilePolicy, SubjectChecks) {
  const auto global = [](AtomicConditionAst c) {
    return rule("r", global_scope(true), atomic(std::move(c)));
  };
  const auto refund = [](AtomicConditionAst c) {
    return rule("r", action_scope("refund"), atomic(std::move(c)));
  };
  run_cases({
      {"empty domain",
       {global(compare(subject("", "f"), "equals", literal(1.0)))},
       "unknown domain ''"},
      {"domain case",
       {global(compare(subject("Actor", "role"), "equals", literal("a")))},
       "unknown domain 'Actor'"},
      {"global sees no action field",
       {global(compare(subject("action", "amount"), "equals", literal(1.0)))},
       "unknown field 'amount' in domain 'action'"},
      {"actor rule sees no action field",
       {rule("r", actor_scope("bot"),
             atomic(compare(subject("action", "amount"), "equals", literal(1.0))))},
       "unknown field 'amount' in domain 'action'"},
      {"field of another action",
       {refund(compare(subject("action", "note"), "equals", literal("n")))},
       "unknown field 'note' in domain 'action'"},
      {"unknown actor field",
       {global(compare(subject("actor", "maintenance_mode"), "equals", literal(true)))},
       "unknown field 'maintenance_mode' in domain 'actor'"},
      {"unknown snapshot field",
       {global(compare(subject("snapshot", "frozen"), "equals", literal(true)))},
       "unknown field 'frozen' in domain 'snapshot'"},
      {"right side resolved too",
       {global(compare(subject("actor", "trust_level"), "less_than",
                       field_ref("snapshot", "trust_level")))},
       "unknown field 'trust_level' in domain 'snapshot'"},
      {"right side domain",
       {global(compare(subject("actor", "role"), "equals", field_ref("", "")))},
       "unknown domain ''"},
  });
}

TEST(CompilePolicy, ComparisonCheckOrder) {
  const auto global = [](AtomicConditionAst c) {
    return rule("r", global_scope(true), atomic(std::move(c)));
  };
  run_cases({
      {"left before operator",
       {global(compare(subject("x", "f"), "bogus", field_ref("y", "g")))},
       "unknown domain 'x'"},
      {"operator before right",
       {global(compare(subject("actor", "role"), "Equals", field_ref("y", "g")))},
       "unknown operator 'Equals'"},
      {"operator untrimmed",
       {global(compare(subject("actor", "role"), " equals", literal("a")))},
       "unknown operator ' equals'"},
      {"number against text",
       {global(compare(subject("actor", "trust_level"), "equals", literal("3")))},
       "type mismatch: left is 'Number', right is 'String'"},
      {"types before admission",
       {global(compare(subject("actor", "role"), "greater_than", literal(1.0)))},
       "type mismatch: left is 'String', right is 'Number'"},
      {"in with mismatched types",
       {global(compare(subject("actor", "frozen"), "in", literal(1.0)))},
       "type mismatch: left is 'Boolean', right is 'Number'"},
      {"same name, other domain",
       {global(compare(subject("actor", "role"), "equals", field_ref("snapshot", "role")))},
       "type mismatch: left is 'String', right is 'Number'"},
      {"greater_than on text",
       {global(compare(subject("actor", "role"), "greater_than", literal("a")))},
       "operator 'GreaterThan' not supported for type 'string'"},
      {"less_than on boolean",
       {global(compare(subject("actor", "frozen"), "less_than", literal(false)))},
       "operator 'LessThan' not supported for type 'boolean'"},
      {"in on text",
       {global(compare(subject("actor", "role"), "in", literal("a")))},
       "operator 'In' not supported for type 'string'"},
      {"not_in on number",
       {global(compare(subject("actor", "trust_level"), "not_in", literal(1.0)))},
       "operator 'NotIn' not supported for type 'number'"},
      {"action field types per action",
       {rule("r", action_scope("transfer"),
             atomic(compare(subject("action", "amount"), "greater_than", literal(1.0))))},
       "type mismatch: left is 'String', right is 'Number'"},
  });
}

TEST(CompilePolicy, FilesRulesInDocumentOrder) {
  const std::string empty_maps = "CompiledPolicy { action_rules: {}, actor_rules: {}, ";
  run_cases({
      {"empty policy", {}, empty_maps + "global_rules: [] }"},
      {"two rules under one action, same id",
       {rule("r", action_scope("refund"),
             atomic(compare(subject("action", "amount"), "greater_than", literal(1000.0)))),
        rule("r", action_scope("refund"),
             atomic(compare(subject("action", "currency"), "not_equals", literal("EUR"))),
             EffectAst::RequireApproval)},
       "CompiledPolicy { action_rules: {\"refund\": [CompiledRule { rule_id: \"r\", condition: "
       "Atomic(AtomicCondition { lhs: SubjectRef { domain: Action, field: \"amount\" }, "
       "operator: GreaterThan, rhs: Literal(Number(1000.0)) }), effect: Block }, CompiledRule { "
       "rule_id: \"r\", condition: Atomic(AtomicCondition { lhs: SubjectRef { domain: Action, "
       "field: \"currency\" }, operator: NotEquals, rhs: Literal(String(\"EUR\")) }), effect: "
       "RequireApproval }]}, actor_rules: {}, global_rules: [] }"},
      {"actor scope of any name, field to field",
       {rule("", actor_scope(""),
             any_of({compare(subject("actor", "trust_level"), "less_than",
                             field_ref("snapshot", "min_trust_level")),
                     compare(subject("actor", "frozen"), "equals", literal(true))}),
             EffectAst::Allow)},
       "CompiledPolicy { action_rules: {}, actor_rules: {\"\": [CompiledRule { rule_id: \"\", "
       "condition: Any([AtomicCondition { lhs: SubjectRef { domain: Actor, field: "
       "\"trust_level\" }, operator: LessThan, rhs: Subject(SubjectRef { domain: Snapshot, "
       "field: \"min_trust_level\" }) }, AtomicCondition { lhs: SubjectRef { domain: Actor, "
       "field: \"frozen\" }, operator: Equals, rhs: Literal(Boolean(true)) }]), effect: Allow "
       "}]}, global_rules: [] }"},
      {"own action's field of a shared name",
       {rule("t", action_scope("transfer"),
             atomic(compare(subject("action", "amount"), "equals", literal("all"))))},
       "CompiledPolicy { action_rules: {\"transfer\": [CompiledRule { rule_id: \"t\", "
       "condition: Atomic(AtomicCondition { lhs: SubjectRef { domain: Action, field: "
       "\"amount\" }, operator: Equals, rhs: Literal(String(\"all\")) }), effect: Block }]}, "
       "actor_rules: {}, global_rules: [] }"},
      {"global all of two",
       {rule("g", global_scope(true),
             all_of({compare(subject("snapshot", "maintenance_mode"), "equals", literal(false)),
                     compare(subject("snapshot", "role"), "greater_than", literal(3.0))}))},
       empty_maps +
           "global_rules: [CompiledRule { rule_id: \"g\", condition: All([AtomicCondition { "
           "lhs: SubjectRef { domain: Snapshot, field: \"maintenance_mode\" }, operator: Equals, "
           "rhs: Literal(Boolean(false)) }, AtomicCondition { lhs: SubjectRef { domain: "
           "Snapshot, field: \"role\" }, operator: GreaterThan, rhs: Literal(Number(3.0)) }]), "
           "effect: Block }] }"},
  });
}

TEST(CompilePolicy, SchemaWithoutActions) {
  const SchemaCatalogue catalogue = build_catalogue(SchemaAst{});
  EXPECT_EQ(outcome(catalogue, {rule("r", action_scope("refund"), all_of({}))}),
            "unknown action 'refund' in scope");
  EXPECT_EQ(
      outcome(catalogue, {rule("r", actor_scope("a"),
                               atomic(compare(subject("actor", "x"), "equals", literal(1.0))))}),
      "unknown field 'x' in domain 'actor'");
}

}  // namespace
}  // namespace tamsel
